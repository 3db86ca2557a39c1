// The simulated Bluetooth stack: the world's devices with their connections, SDP queries that
// complete on a timer thread, and RFCOMM channels each delivering its phone's bytes from a thread
// of its own.
#include "BluetoothSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/bluetooth/BluetoothCancel.h"
#include "BluetoothWorld.h"
#include "ReplyScript.h"
#include "ThreadSignals.h"

namespace {

using Clock = std::chrono::steady_clock;

struct SimDevice final : OpaqueIOBluetoothObjectRef {
    const WorldDevice* world = nullptr;
    // Guarded by the backend's mutex.
    bool connected = false;
    int64_t connectFailuresLeft = 0;
    bool authenticated = false;
    int64_t channelOpenFailuresLeft = 0;
    int64_t writeFailuresLeft = 0;
    int64_t queries = 0;
    // Set by the timer thread, read by the host's.
    std::atomic<const BluetoothRefList*> services{nullptr};
};

struct SimChannel final : OpaqueIOBluetoothObjectRef {
    SimDevice* device = nullptr;
    uint8_t id = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::string out; // what the phone has still to deliver
    bool stop = false;
    bool open = true;
    IOBluetoothRFCOMMDataListener listener = nullptr;
    void* refCon = nullptr;
    pmsim::ReplyScript script;
    std::thread thread;
    // A socket phone: the connection to the program that plays it, and what ends the delivery's
    // wait on it.
    int fd = -1;
    int wake = -1;
    ~SimChannel()
    {
        for (int d : {fd, wake}) {
            if (d >= 0) {
                close(d);
            }
        }
    }
};

struct SimToken final : OpaqueIOBluetoothObjectRef {};

// Consumes one of a limited number of failures; -1 fails for ever.
bool takeFailure(int64_t& left)
{
    if (left == 0) {
        return false;
    }
    if (left > 0) {
        --left;
    }
    return true;
}

class SimBluetooth final : public BluetoothPlatform {
  public:
    SimBluetooth(std::unique_ptr<BluetoothWorld> world, int traceFd)
        : m_world(std::move(world)), m_traceFd(traceFd)
    {
        for (const WorldDevice& d : m_world->devices) {
            auto device = std::make_unique<SimDevice>();
            device->world = &d;
            device->connected = d.connected;
            device->connectFailuresLeft = d.connectFailures;
            device->channelOpenFailuresLeft = d.channelOpenFailures;
            device->writeFailuresLeft = d.writeFailures;
            m_devices.push_back(std::move(device));
        }
        if (m_world->panel) {
            m_panelResult.push_back(find(*m_world->panel));
        }
        SignalsBlockedForNewThread quiet;
        m_timer = std::thread([this] { runTimer(); });
    }

    ~SimBluetooth() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_timerWake.notify_all();
        m_timer.join();
        std::map<BluetoothRef, SimChannel*> channels;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            channels.swap(m_channels);
        }
        for (const auto& [ref, channel] : channels) {
            stopChannel(*channel);
            delete channel;
        }
        if (m_traceFd >= 0) {
            close(m_traceFd);
        }
    }

    BluetoothRef IOBluetoothDeviceCreateWithAddress(const BluetoothDeviceAddress* a) override
    {
        if (a == nullptr) {
            trace("IOBluetoothDeviceCreateWithAddress");
            return nullptr;
        }
        trace("IOBluetoothDeviceCreateWithAddress " + BluetoothAddressText(*a));
        return find(*a);
    }

    void IOBluetoothObjectRelease(BluetoothRef object) override
    {
        SimChannel* channel = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_channels.find(object);
            if (it != m_channels.end()) {
                channel = it->second;
                m_channels.erase(it);
            }
        }
        if (channel != nullptr) {
            trace("IOBluetoothObjectRelease " + std::to_string(channel->id));
            stopChannel(*channel);
            delete channel;
            return;
        }
        SimDevice* device = asDevice(object);
        trace(device != nullptr ? "IOBluetoothObjectRelease " + device->world->addressText
                                : std::string("IOBluetoothObjectRelease"));
    }

    const BluetoothDeviceAddress* IOBluetoothDeviceGetAddress(BluetoothRef object) override
    {
        SimDevice* device = traceDevice("IOBluetoothDeviceGetAddress", object);
        return device != nullptr ? &device->world->address : nullptr;
    }

    bool IOBluetoothDeviceIsConnected(BluetoothRef object) override
    {
        SimDevice* device = traceDevice("IOBluetoothDeviceIsConnected", object);
        std::lock_guard<std::mutex> lock(m_mutex);
        return device != nullptr && device->connected;
    }

    IOReturn IOBluetoothDeviceOpenConnection(BluetoothRef object, IOBluetoothConnectionCallback,
                                             void*) override
    {
        SimDevice* device = traceDevice("IOBluetoothDeviceOpenConnection", object);
        if (device == nullptr) {
            return kIOReturnNotFound;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (takeFailure(device->connectFailuresLeft)) {
            return kIOReturnError;
        }
        device->connected = true;
        return kIOReturnSuccess;
    }

    IOReturn IOBluetoothDeviceCloseConnection(BluetoothRef object) override
    {
        SimDevice* device = traceDevice("IOBluetoothDeviceCloseConnection", object);
        if (device == nullptr) {
            return kIOReturnNotFound;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        device->connected = false;
        return kIOReturnSuccess;
    }

    IOReturn IOBluetoothDeviceRequestAuthentication(BluetoothRef object) override
    {
        SimDevice* device = traceDevice("IOBluetoothDeviceRequestAuthentication", object);
        if (device == nullptr) {
            return kIOReturnNotFound;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        device->authenticated = true;
        return kIOReturnSuccess;
    }

    IOReturn IOBluetoothDevicePerformSDPQuery(BluetoothRef object,
                                              IOBluetoothSDPQueryCallback callback,
                                              void* refCon) override
    {
        SimDevice* device = traceDevice("IOBluetoothDevicePerformSDPQuery", object);
        if (device == nullptr) {
            return kIOReturnNotFound;
        }
        if (device->world->sdpStartFails) {
            return kIOReturnError;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        int64_t query = ++device->queries;
        if (device->world->sdpDelayMs >= 0) {
            Pending pending{device, callback, refCon, query < device->world->sdpFromQuery};
            m_pending.emplace(Clock::now() + std::chrono::milliseconds(device->world->sdpDelayMs),
                              pending);
            m_timerWake.notify_all();
        }
        return kIOReturnSuccess;
    }

    const BluetoothRefList* IOBluetoothDeviceGetServices(BluetoothRef object) override
    {
        SimDevice* device = traceDevice("IOBluetoothDeviceGetServices", object);
        return device != nullptr ? device->services.load() : nullptr;
    }

    IOReturn IOBluetoothSDPServiceRecordGetRFCOMMChannelID(BluetoothRef record,
                                                           uint8_t* channelID) override
    {
        trace("IOBluetoothSDPServiceRecordGetRFCOMMChannelID");
        return BluetoothRecordRFCOMMChannelID(record, channelID);
    }

    const BluetoothAttributeList* IOBluetoothSDPServiceRecordGetAttributes(BluetoothRef r) override
    {
        trace("IOBluetoothSDPServiceRecordGetAttributes");
        return BluetoothRecordAttributes(r);
    }

    uint8_t IOBluetoothSDPDataElementGetTypeDescriptor(BluetoothRef e) override
    {
        trace("IOBluetoothSDPDataElementGetTypeDescriptor");
        return BluetoothElementType(e);
    }

    int64_t IOBluetoothSDPDataElementGetNumberValue(BluetoothRef e) override
    {
        trace("IOBluetoothSDPDataElementGetNumberValue");
        return BluetoothElementNumber(e);
    }

    const std::string* IOBluetoothSDPDataElementGetStringValue(BluetoothRef e) override
    {
        trace("IOBluetoothSDPDataElementGetStringValue");
        return BluetoothElementString(e);
    }

    const BluetoothRefList* IOBluetoothSDPDataElementGetArrayValue(BluetoothRef e) override
    {
        trace("IOBluetoothSDPDataElementGetArrayValue");
        return BluetoothElementArray(e);
    }

    BluetoothRef IOBluetoothSDPDataElementGetUUIDValue(BluetoothRef e) override
    {
        trace("IOBluetoothSDPDataElementGetUUIDValue");
        return BluetoothElementUUID(e);
    }

    std::span<const uint8_t> IOBluetoothSDPUUIDGetBytes(BluetoothRef uuid) override
    {
        trace("IOBluetoothSDPUUIDGetBytes");
        return BluetoothUUIDBytes(uuid);
    }

    IOReturn IOBluetoothDeviceOpenRFCOMMChannel(BluetoothRef object, uint8_t channelID,
                                                BluetoothRef* channel) override
    {
        SimDevice* device = asDevice(object);
        trace("IOBluetoothDeviceOpenRFCOMMChannel " +
              (device != nullptr ? device->world->addressText + " " : std::string()) +
              std::to_string(channelID));
        if (channel != nullptr) {
            *channel = nullptr;
        }
        if (device == nullptr || channel == nullptr) {
            return kIOReturnNotFound;
        }
        bool offered = false;
        for (BluetoothRef r : device->world->records) {
            offered = offered || (r != nullptr && static_cast<BluetoothRecord*>(r)->rfcomm == channelID);
        }
        if (!offered) {
            return kIOReturnNotFound;
        }
        auto* opened = new SimChannel;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if ((device->world->needsPairing && !device->authenticated) ||
                takeFailure(device->channelOpenFailuresLeft)) {
                delete opened;
                return kIOReturnError;
            }
            m_channels.emplace(opened, opened);
        }
        opened->device = device;
        opened->id = channelID;
        const WorldDevice& w = *device->world;
        if (w.phone == WorldDevice::Socket && !connectPhone(*opened, w.socket)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_channels.erase(opened);
            delete opened;
            return kIOReturnError; // nobody plays the phone
        }
        if (w.phone == WorldDevice::Replies) {
            for (const auto& [request, reply] : w.replies) {
                opened->script.Add(request, reply);
            }
        } else if (w.phone == WorldDevice::Send) {
            opened->out.reserve(w.send.size() * w.repeat);
            for (uint32_t i = 0; i < w.repeat; ++i) {
                opened->out += w.send;
            }
        }
        {
            SignalsBlockedForNewThread quiet;
            opened->thread = std::thread([this, opened] { deliver(*opened); });
        }
        *channel = opened;
        return kIOReturnSuccess;
    }

    IOReturn IOBluetoothRFCOMMChannelRegisterIncomingDataListener(
        BluetoothRef object, IOBluetoothRFCOMMDataListener listener, void* refCon) override
    {
        SimChannel* channel = traceChannel("IOBluetoothRFCOMMChannelRegisterIncomingDataListener",
                                           object, "");
        if (channel == nullptr) {
            return kIOReturnNotOpen;
        }
        std::lock_guard<std::mutex> lock(channel->mutex);
        channel->listener = listener;
        channel->refCon = refCon;
        channel->changed.notify_all();
        return kIOReturnSuccess;
    }

    IOReturn IOBluetoothRFCOMMChannelWriteSimple(BluetoothRef object, const void* data,
                                                 uint16_t length, bool,
                                                 uint32_t* numBytesSent) override
    {
        SimChannel* channel = traceChannel("IOBluetoothRFCOMMChannelWriteSimple", object,
                                           " " + std::to_string(length));
        if (channel == nullptr || (data == nullptr && length != 0)) {
            return kIOReturnNotOpen;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (takeFailure(channel->device->writeFailuresLeft)) {
                return kIOReturnError;
            }
        }
        const char* bytes = static_cast<const char*>(data);
        const WorldDevice& w = *channel->device->world;
        if (w.phone == WorldDevice::Socket) {
            return writePhone(*channel, bytes, length, numBytesSent);
        }
        std::lock_guard<std::mutex> lock(channel->mutex);
        if (!channel->open) {
            return kIOReturnNotOpen;
        }
        if (w.phone == WorldDevice::Echo && w.echo) {
            channel->out.append(bytes, length);
        } else if (w.phone == WorldDevice::Replies) {
            channel->out += channel->script.Feed(bytes, length);
        }
        channel->changed.notify_all();
        if (numBytesSent != nullptr) {
            *numBytesSent = length;
        }
        return kIOReturnSuccess;
    }

    IOReturn IOBluetoothRFCOMMSetSerialParameters(BluetoothRef object, uint32_t speed,
                                                  uint8_t dataBits, uint8_t parity,
                                                  uint8_t stopBits) override
    {
        SimChannel* channel = traceChannel(
            "IOBluetoothRFCOMMSetSerialParameters", object,
            " " + std::to_string(speed) + " " + std::to_string(dataBits) + " " +
                std::to_string(parity) + " " + std::to_string(stopBits));
        return channel != nullptr ? kIOReturnSuccess : kIOReturnNotOpen;
    }

    IOReturn IOBluetoothRFCOMMChannelCloseChannel(BluetoothRef object) override
    {
        SimChannel* channel = traceChannel("IOBluetoothRFCOMMChannelCloseChannel", object, "");
        if (channel == nullptr) {
            return kIOReturnNotOpen;
        }
        stopChannel(*channel);
        return kIOReturnSuccess;
    }

    BluetoothRef IOBluetoothGetDeviceSelectorController() override
    {
        trace("IOBluetoothGetDeviceSelectorController");
        return &m_controller;
    }

    const BluetoothRefList*
    IOBluetoothDeviceSelectorRunPanelWithAttributes(BluetoothRef controller,
                                                    const IOBluetoothDeviceSearchAttributes*) override
    {
        trace("IOBluetoothDeviceSelectorRunPanelWithAttributes");
        if (controller != &m_controller || m_panelResult.empty()) {
            return nullptr;
        }
        return &m_panelResult;
    }

    WindowRef FrontWindow() override
    {
        trace("FrontWindow");
        return m_world->frontWindow ? &m_window : nullptr;
    }

    void HideWindow(WindowRef) override { trace("HideWindow"); }
    void ShowWindow(WindowRef) override { trace("ShowWindow"); }

    OSStatus GetStandardAlertDefaultParams(AlertStdCFStringAlertParamRec* params,
                                           uint32_t version) override
    {
        trace("GetStandardAlertDefaultParams");
        if (params == nullptr || version != kStdCFStringAlertVersionOne) {
            return -50;
        }
        *params = {version, false, false, kAlertStdAlertOKButton, 0};
        return 0;
    }

    OSStatus CreateStandardAlert(int16_t, const char* error, const char*,
                                 const AlertStdCFStringAlertParamRec*, DialogRef* dialog) override
    {
        trace("CreateStandardAlert");
        if (dialog == nullptr) {
            return -50;
        }
        *dialog = nullptr;
        if (m_world->alert == BluetoothWorld::None || error == nullptr) {
            return -1;
        }
        *dialog = &m_dialog;
        return 0;
    }

    OSStatus RunStandardAlert(DialogRef dialog, void*, int16_t* itemHit) override
    {
        trace("RunStandardAlert");
        if (dialog != &m_dialog || itemHit == nullptr) {
            return -50;
        }
        // The user's time to answer; a close on another thread takes the alert away, as Cancel.
        bool answered = BluetoothWait(-1, 0, BluetoothWaitClock::now() +
                                                 std::chrono::milliseconds(m_world->alertMs)) == 0;
        *itemHit = answered && m_world->alert == BluetoothWorld::Ok ? kAlertStdAlertOKButton
                                                                    : kAlertStdAlertCancelButton;
        return 0;
    }

  private:
    struct Pending {
        SimDevice* device;
        IOBluetoothSDPQueryCallback callback;
        void* refCon;
        bool empty; // completes with no records
    };

    void trace(const std::string& line)
    {
        if (m_traceFd < 0) {
            return;
        }
        std::string text = line + "\n";
        // One write per line: with O_APPEND, lines of several threads never interleave.
        ssize_t r = write(m_traceFd, text.data(), text.size());
        (void)r;
    }

    SimDevice* find(const BluetoothDeviceAddress& a)
    {
        for (auto& device : m_devices) {
            if (std::memcmp(device->world->address.data, a.data, sizeof a.data) == 0) {
                return device.get();
            }
        }
        return nullptr;
    }

    SimDevice* asDevice(BluetoothRef object)
    {
        for (auto& device : m_devices) {
            if (device.get() == object) {
                return device.get();
            }
        }
        return nullptr;
    }

    SimDevice* traceDevice(const char* name, BluetoothRef object)
    {
        SimDevice* device = asDevice(object);
        trace(device != nullptr ? std::string(name) + " " + device->world->addressText
                                : std::string(name));
        return device;
    }

    SimChannel* traceChannel(const char* name, BluetoothRef object, const std::string& rest)
    {
        SimChannel* channel = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_channels.find(object);
            if (it != m_channels.end()) {
                channel = it->second;
            }
        }
        trace(std::string(name) + (channel != nullptr ? " " + std::to_string(channel->id) : "") +
              rest);
        return channel;
    }

    // After this no listener call of the channel runs or starts; a socket phone sees the end of
    // its connection.
    void stopChannel(SimChannel& channel)
    {
        {
            std::lock_guard<std::mutex> lock(channel.mutex);
            channel.stop = true;
            channel.open = false;
        }
        channel.changed.notify_all();
        if (channel.wake >= 0) {
            uint64_t one = 1;
            while (write(channel.wake, &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
        if (channel.thread.joinable() && channel.thread.get_id() != std::this_thread::get_id()) {
            channel.thread.join();
        }
        if (channel.fd >= 0) {
            shutdown(channel.fd, SHUT_RDWR);
        }
    }

    // Connects the channel to the program listening at path, which plays the phone.
    static bool connectPhone(SimChannel& channel, const std::string& path)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        channel.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        channel.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        return channel.fd >= 0 && channel.wake >= 0 &&
               connect(channel.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }

    // A write to a socket phone waits for room as a real channel does, at most 10 s, and ends at
    // once when a close on another thread asks it to.
    static IOReturn writePhone(SimChannel& channel, const char* bytes, uint16_t length,
                               uint32_t* numBytesSent)
    {
        {
            std::lock_guard<std::mutex> lock(channel.mutex);
            if (!channel.open) {
                return kIOReturnNotOpen;
            }
        }
        uint32_t sent = 0;
        const auto deadline = BluetoothWaitClock::now() + std::chrono::seconds(10);
        while (sent < length) {
            ssize_t n = send(channel.fd, bytes + sent, length - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<uint32_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (!(n < 0 && errno == EAGAIN &&
                         BluetoothWait(channel.fd, POLLOUT, deadline) > 0)) {
                break; // the phone hung up, did not read in time, or a close ended the wait
            }
        }
        if (numBytesSent != nullptr) {
            *numBytesSent = sent;
        }
        return sent > 0 || length == 0 ? kIOReturnSuccess : kIOReturnError;
    }

    // What a socket phone writes goes to the listener in pieces of at most the device's chunk;
    // while the listener holds a piece, nothing more is read, so the phone's writes wait.
    void deliverSocket(SimChannel& channel)
    {
        std::string piece(channel.device->world->chunk, '\0');
        bool hungUp = false;
        for (;;) {
            IOBluetoothRFCOMMDataListener listener;
            void* refCon;
            {
                std::unique_lock<std::mutex> lock(channel.mutex);
                channel.changed.wait(
                    lock, [&] { return channel.stop || (!hungUp && channel.listener != nullptr); });
                if (channel.stop) {
                    return;
                }
                listener = channel.listener;
                refCon = channel.refCon;
            }
            pollfd fds[2] = {{channel.fd, POLLIN, 0}, {channel.wake, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) {
                continue; // interrupted, or told to stop: looked at above
            }
            ssize_t n = read(channel.fd, piece.data(), piece.size());
            if (n > 0) {
                listener(&channel, piece.data(), static_cast<uint16_t>(n), refCon);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                hungUp = true; // nothing more will come
            }
        }
    }

    void deliver(SimChannel& channel)
    {
        if (channel.fd >= 0) {
            deliverSocket(channel);
            return;
        }
        const size_t chunk = channel.device->world->chunk;
        std::string piece;
        std::unique_lock<std::mutex> lock(channel.mutex);
        for (;;) {
            channel.changed.wait(lock, [&] {
                return channel.stop || (!channel.out.empty() && channel.listener != nullptr);
            });
            if (channel.stop) {
                return;
            }
            size_t n = std::min(chunk, channel.out.size());
            piece.assign(channel.out, 0, n);
            channel.out.erase(0, n);
            IOBluetoothRFCOMMDataListener listener = channel.listener;
            void* refCon = channel.refCon;
            lock.unlock();
            listener(&channel, piece.data(), static_cast<uint16_t>(n), refCon);
            lock.lock();
        }
    }

    void runTimer()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_stop) {
                return;
            }
            if (m_pending.empty()) {
                m_timerWake.wait(lock);
                continue;
            }
            auto due = m_pending.begin()->first;
            if (Clock::now() < due) {
                m_timerWake.wait_until(lock, due);
                continue;
            }
            Pending p = m_pending.begin()->second;
            m_pending.erase(m_pending.begin());
            p.device->services.store(p.empty ? nullptr : &p.device->world->records);
            lock.unlock();
            if (p.callback != nullptr) {
                p.callback(p.refCon, p.device, kIOReturnSuccess);
            }
            lock.lock();
        }
    }

    std::unique_ptr<BluetoothWorld> m_world;
    int m_traceFd;
    std::vector<std::unique_ptr<SimDevice>> m_devices;
    BluetoothRefList m_panelResult;
    SimToken m_controller, m_window, m_dialog;

    std::mutex m_mutex;
    std::condition_variable m_timerWake;
    bool m_stop = false;
    std::multimap<Clock::time_point, Pending> m_pending;
    std::map<BluetoothRef, SimChannel*> m_channels; // the open channels, by their reference
    std::thread m_timer;
};

// The world file, read whole; false with the reason when it is no readable regular file.
bool readWorldFile(const char* path, std::string& text, std::string& error)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "not a regular file";
        return false;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

int openTrace(const std::string& path, std::string& error)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = "at /trace: cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "at /trace: " + path + " is not a regular file";
        return -1;
    }
    return fd;
}

} // namespace

BluetoothPlatform* LoadBluetoothWorld(const char* path) noexcept
{
    try {
        std::string text, error;
        auto world = std::make_unique<BluetoothWorld>();
        if (readWorldFile(path, text, error) && ParseBluetoothWorld(text, *world, error)) {
            int traceFd = world->trace.empty() ? -1 : openTrace(world->trace, error);
            if (world->trace.empty() || traceFd >= 0) {
                return new SimBluetooth(std::move(world), traceFd);
            }
        }
        fprintf(stderr, "portmdl: Bluetooth world %s: %s; Bluetooth is off\n", path,
                error.c_str());
    } catch (const std::exception& e) {
        fprintf(stderr, "portmdl: Bluetooth world %s: %s; Bluetooth is off\n", path, e.what());
    }
    return nullptr;
}
