// BlueZ's device objects over sd-bus: the object manager's list read property by property, typed
// reads that skip what is not of the expected type, and method calls with time-outs.
#include "BluezDevices.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/bluetooth/BluetoothAddress.h"
#include "platform/bluetooth/BluetoothCancel.h"

namespace {

const char kService[] = "org.bluez";
const char kDeviceInterface[] = "org.bluez.Device1";
constexpr uint64_t kListTimeoutUsec = 5 * 1000 * 1000;
constexpr uint64_t kConnectTimeoutUsec = 20 * 1000 * 1000;
constexpr uint64_t kPairTimeoutUsec = 60 * 1000 * 1000;

class Locked {
  public:
    explicit Locked(pthread_mutex_t& m) : m_m(m) { pthread_mutex_lock(&m_m); }
    ~Locked() { pthread_mutex_unlock(&m_m); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    pthread_mutex_t& m_m;
};

// Reads a variant holding the basic type; a variant of another type is skipped. > 0 read, 0
// skipped, < 0 a broken message.
int readVariant(sd_bus_message* m, char type, void* value)
{
    const char contents[2] = {type, '\0'};
    int r = sd_bus_message_enter_container(m, 'v', contents);
    if (r == -ENXIO) {
        r = sd_bus_message_skip(m, "v");
        return r < 0 ? r : 0;
    }
    if (r < 0) {
        return r;
    }
    r = sd_bus_message_read_basic(m, type, value);
    if (r < 0) {
        return r;
    }
    r = sd_bus_message_exit_container(m);
    return r < 0 ? r : 1;
}

// One Device1 property dictionary into device; false when it does not describe a usable device.
int readDeviceProperties(sd_bus_message* m, BluezDevice& device, bool& hasAddress)
{
    std::string name, alias;
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read_basic(m, 's', &key)) < 0) {
            return r;
        }
        const char* text = nullptr;
        int flag = 0;
        if (std::strcmp(key, "Address") == 0) {
            r = readVariant(m, 's', &text);
            hasAddress = r > 0 && ParseBluetoothAddress(text, device.address);
        } else if (std::strcmp(key, "Name") == 0 || std::strcmp(key, "Alias") == 0) {
            r = readVariant(m, 's', &text);
            if (r > 0) {
                (key[0] == 'N' ? name : alias) = text;
            }
        } else if (std::strcmp(key, "Paired") == 0 || std::strcmp(key, "Connected") == 0) {
            r = readVariant(m, 'b', &flag);
            if (r > 0) {
                (key[0] == 'P' ? device.paired : device.connected) = flag != 0;
            }
        } else {
            r = sd_bus_message_skip(m, "v");
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
            return r;
        }
    }
    if (r < 0) {
        return r;
    }
    device.name = !alias.empty() ? alias : name;
    return sd_bus_message_exit_container(m);
}

// The reply of GetManagedObjects: a{oa{sa{sv}}}.
int readManagedObjects(sd_bus_message* m, std::vector<BluezDevice>& devices)
{
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    if (r < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read_basic(m, 'o', &path)) < 0 ||
            (r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}")) < 0) {
            return r;
        }
        BluezDevice device;
        device.path = path;
        bool isDevice = false, hasAddress = false;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* interface = nullptr;
            if ((r = sd_bus_message_read_basic(m, 's', &interface)) < 0) {
                return r;
            }
            if (std::strcmp(interface, kDeviceInterface) == 0) {
                isDevice = true;
                r = readDeviceProperties(m, device, hasAddress);
            } else {
                r = sd_bus_message_skip(m, "a{sv}");
            }
            if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
                return r;
            }
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 ||
            (r = sd_bus_message_exit_container(m)) < 0) {
            return r;
        }
        if (isDevice && hasAddress) {
            devices.push_back(std::move(device));
        }
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(m);
}

// A method call's answer, filled in by the bus when it arrives (or when sd-bus gives up on it).
struct Answer {
    bool arrived = false;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int errnoValue = 0;
};

int takeAnswer(sd_bus_message* m, void* userdata, sd_bus_error* /*unused*/)
{
    auto* answer = static_cast<Answer*>(userdata);
    answer->arrived = true;
    if (const sd_bus_error* e = sd_bus_message_get_error(m); e != nullptr) {
        sd_bus_error_copy(&answer->error, e);
        answer->errnoValue = sd_bus_message_get_errno(m);
    } else {
        answer->reply = sd_bus_message_ref(m);
    }
    return 0;
}

uint64_t monotonicUsec()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// As sd_bus_call, but a close on another thread (the calling thread's cancel descriptor) ends the
// wait at once: -ECANCELED, and an answer arriving later is dropped with the call's slot. The
// bus's own time-out still ends a call nobody answers; a caught signal resumes the wait.
int callCancellable(sd_bus* bus, sd_bus_message* call, uint64_t timeoutUsec, sd_bus_error* error,
                    sd_bus_message** reply)
{
    Answer answer;
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_async(bus, &slot, call, takeAnswer, &answer, timeoutUsec);
    if (r < 0) {
        return r;
    }
    // A bound of our own besides the bus's, should the bus never report its time-out.
    const auto deadline =
        BluetoothWaitClock::now() + std::chrono::microseconds(timeoutUsec) + std::chrono::seconds(1);
    while (!answer.arrived) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            break;
        }
        if (r > 0) {
            continue; // more may be ready at once
        }
        auto until = deadline;
        uint64_t busUsec = 0;
        if (sd_bus_get_timeout(bus, &busUsec) >= 0 && busUsec != UINT64_MAX) {
            uint64_t now = monotonicUsec();
            auto busLeft = std::chrono::microseconds(busUsec > now ? busUsec - now : 0);
            until = std::min(until, BluetoothWaitClock::now() + busLeft);
        }
        int events = sd_bus_get_events(bus);
        if (events < 0) {
            r = events;
            break;
        }
        r = BluetoothWait(sd_bus_get_fd(bus), static_cast<short>(events), until);
        if (r < 0) {
            break; // cancelled, or the bus's descriptor failed
        }
        if (r == 0 && BluetoothWaitClock::now() >= deadline) {
            r = -ETIMEDOUT;
            break;
        }
    }
    sd_bus_slot_unref(slot);
    if (!answer.arrived) {
        return r < 0 ? r : -EIO;
    }
    if (answer.reply == nullptr) {
        sd_bus_error_move(error, &answer.error);
        return answer.errnoValue > 0 ? -answer.errnoValue : -EIO;
    }
    *reply = answer.reply;
    return 1;
}

} // namespace

BluezDevices::BluezDevices()
{
    if (sd_bus_open_system(&m_bus) < 0) {
        m_bus = nullptr;
    }
}

BluezDevices::~BluezDevices()
{
    sd_bus_flush_close_unref(m_bus);
}

std::optional<std::vector<BluezDevice>> BluezDevices::List()
{
    Locked lock(m_mutex);
    if (m_bus == nullptr) {
        return std::nullopt;
    }
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::vector<BluezDevice> devices;
    int r = sd_bus_message_new_method_call(m_bus, &call, kService, "/",
                                           "org.freedesktop.DBus.ObjectManager",
                                           "GetManagedObjects");
    if (r >= 0) {
        r = callCancellable(m_bus, call, kListTimeoutUsec, &error, &reply);
    }
    if (r >= 0) {
        r = readManagedObjects(reply, devices);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    if (r < 0) {
        return std::nullopt;
    }
    return devices;
}

std::optional<BluezDevice> BluezDevices::Find(const BluetoothDeviceAddress& address)
{
    auto devices = List();
    if (devices) {
        for (BluezDevice& d : *devices) {
            if (std::memcmp(d.address.data, address.data, sizeof address.data) == 0) {
                return d;
            }
        }
    }
    return std::nullopt;
}

std::optional<bool> BluezDevices::IsConnected(const std::string& path)
{
    Locked lock(m_mutex);
    if (m_bus == nullptr) {
        return std::nullopt;
    }
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int connected = 0;
    int r = sd_bus_message_new_method_call(m_bus, &call, kService, path.c_str(),
                                           "org.freedesktop.DBus.Properties", "Get");
    if (r >= 0) {
        r = sd_bus_message_append(call, "ss", kDeviceInterface, "Connected");
    }
    if (r >= 0) {
        r = callCancellable(m_bus, call, kListTimeoutUsec, &error, &reply);
    }
    if (r >= 0) {
        r = readVariant(reply, 'b', &connected);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    if (r <= 0) {
        return std::nullopt; // no answer, or not a boolean
    }
    return connected != 0;
}

int BluezDevices::call(const std::string& path, const char* method, uint64_t timeoutUsec,
                       const char* alreadyDone)
{
    Locked lock(m_mutex);
    if (m_bus == nullptr) {
        return -ENOTCONN;
    }
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(m_bus, &call, kService, path.c_str(), kDeviceInterface,
                                           method);
    if (r >= 0) {
        r = callCancellable(m_bus, call, timeoutUsec, &error, &reply);
    }
    if (r < 0 && sd_bus_error_is_set(&error)) {
        if (alreadyDone != nullptr && std::strcmp(error.name, alreadyDone) == 0) {
            r = 0; // the state asked for is there already
        } else if (std::strcmp(error.name, "org.bluez.Error.NotAvailable") == 0) {
            r = -ENOPROTOOPT;
        } else if (std::strncmp(error.name, "org.bluez.Error.", 16) == 0) {
            r = -EIO;
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return r < 0 ? r : 0;
}

int BluezDevices::Connect(const std::string& path)
{
    return call(path, "Connect", kConnectTimeoutUsec, "org.bluez.Error.AlreadyConnected");
}

int BluezDevices::Disconnect(const std::string& path)
{
    return call(path, "Disconnect", kConnectTimeoutUsec, "org.bluez.Error.NotConnected");
}

int BluezDevices::Pair(const std::string& path)
{
    return call(path, "Pair", kPairTimeoutUsec, "org.bluez.Error.AlreadyExists");
}
