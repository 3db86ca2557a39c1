// The BlueZ backend behind the Bluetooth platform interface.
#include "BluezBluetooth.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/bluetooth/BluetoothRecords.h"
#include "platform/bluetooth/BluetoothAddress.h"
#include "platform/bluetooth/BluetoothCancel.h"
#include "BluezDevices.h"
#include "BluezRecords.h"
#include "ThreadSignals.h"

namespace {

constexpr int kConnectWaitMs = 15000; // an RFCOMM or SDP connection that takes longer fails
constexpr int kWriteWaitMs = 10000;   // a write the phone does not take within this fails
constexpr size_t kReadChunk = 1024;

bdaddr_t toBdaddr(const BluetoothDeviceAddress& a)
{
    bdaddr_t b;
    for (int i = 0; i < 6; ++i) {
        b.b[i] = a.data[5 - i]; // BlueZ holds the address reversed
    }
    return b;
}

// Waits for a non-blocking connect to finish; 0, or an errno value (ECANCELED: a close on another
// thread ended the wait).
int finishConnect(int fd)
{
    const auto deadline = BluetoothWaitClock::now() + std::chrono::milliseconds(kConnectWaitMs);
    int r = BluetoothWait(fd, POLLOUT, deadline);
    if (r == 0) {
        return ETIMEDOUT;
    }
    if (r < 0) {
        return -r;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

struct BluezDeviceRef final : OpaqueIOBluetoothObjectRef {
    BluetoothDeviceAddress address{};
    std::string path;
    std::atomic<const BluetoothRefList*> services{nullptr};
};

struct BluezChannel final : OpaqueIOBluetoothObjectRef {
    int fd = -1;
    int wake[2] = {-1, -1};
    std::thread reader;
    std::mutex mutex;
    IOBluetoothRFCOMMDataListener listener = nullptr;
    void* refCon = nullptr;
    bool closed = false;

    ~BluezChannel()
    {
        for (int d : {fd, wake[0], wake[1]}) {
            if (d >= 0) {
                close(d);
            }
        }
    }

    void read()
    {
        unsigned char buffer[kReadChunk];
        for (;;) {
            pollfd p[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (p[1].revents != 0) {
                return; // closing
            }
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                return; // the phone closed the channel
            }
            listener(this, buffer, static_cast<uint16_t>(n), refCon);
        }
    }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closed = true;
        }
        if (wake[1] >= 0) {
            char b = 1;
            ssize_t r = write(wake[1], &b, 1);
            (void)r;
        }
        if (reader.joinable() && reader.get_id() != std::this_thread::get_id()) {
            reader.join();
        }
        if (fd >= 0) {
            shutdown(fd, SHUT_RDWR);
        }
    }
};

class BluezBluetooth final : public BluetoothWithoutDesktop {
  public:
    ~BluezBluetooth() override
    {
        std::vector<Query> queries;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            queries.swap(m_queries);
        }
        for (Query& q : queries) {
            q.thread.join();
        }
        for (BluezChannel* channel : m_channels) { // left open by their owners
            channel->stop();
            delete channel;
        }
    }

    BluetoothRef IOBluetoothDeviceCreateWithAddress(const BluetoothDeviceAddress* a) override
    {
        if (a == nullptr) {
            return nullptr;
        }
        std::optional<BluezDevice> known = m_bluez.Find(*a);
        return known ? reference(*known) : nullptr;
    }

    void IOBluetoothObjectRelease(BluetoothRef object) override
    {
        // Devices belong to the backend; a channel is closed and freed.
        BluezChannel* channel = findChannel(object, true);
        if (channel != nullptr) {
            channel->stop();
            delete channel;
        }
    }

    const BluetoothDeviceAddress* IOBluetoothDeviceGetAddress(BluetoothRef object) override
    {
        BluezDeviceRef* device = findDevice(object);
        return device != nullptr ? &device->address : nullptr;
    }

    bool IOBluetoothDeviceIsConnected(BluetoothRef object) override
    {
        BluezDeviceRef* device = findDevice(object);
        return device != nullptr && m_bluez.IsConnected(device->path).value_or(false);
    }

    IOReturn IOBluetoothDeviceOpenConnection(BluetoothRef object, IOBluetoothConnectionCallback,
                                             void*) override
    {
        BluezDeviceRef* device = findDevice(object);
        if (device == nullptr) {
            return kIOReturnNotFound;
        }
        int r = m_bluez.Connect(device->path);
        // BlueZ connects profiles, not the baseband: for a phone whose profiles the computer does
        // not implement (a serial port is none of BlueZ's) it answers "not available". The phone
        // is connected as the RFCOMM opens will connect it: a link to its SDP server.
        if (r == -ENOPROTOOPT) {
            r = reachable(device->address) ? 0 : r;
        }
        return r == 0 ? kIOReturnSuccess : kIOReturnError;
    }

    IOReturn IOBluetoothDeviceCloseConnection(BluetoothRef object) override
    {
        BluezDeviceRef* device = findDevice(object);
        if (device == nullptr) {
            return kIOReturnNotFound;
        }
        return m_bluez.Disconnect(device->path) == 0 ? kIOReturnSuccess : kIOReturnError;
    }

    IOReturn IOBluetoothDeviceRequestAuthentication(BluetoothRef object) override
    {
        BluezDeviceRef* device = findDevice(object);
        if (device == nullptr) {
            return kIOReturnNotFound;
        }
        return m_bluez.Pair(device->path) == 0 ? kIOReturnSuccess : kIOReturnError;
    }

    IOReturn IOBluetoothDevicePerformSDPQuery(BluetoothRef object,
                                              IOBluetoothSDPQueryCallback callback,
                                              void* refCon) override
    {
        BluezDeviceRef* device = findDevice(object);
        if (device == nullptr) {
            return kIOReturnNotFound;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        // Queries that ended are joined here, so that their threads do not pile up.
        for (auto it = m_queries.begin(); it != m_queries.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = m_queries.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        SignalsBlockedForNewThread quiet;
        m_queries.push_back({std::thread([this, device, callback, refCon, done] {
                                 IOReturn status = query(*device);
                                 if (callback != nullptr) {
                                     callback(refCon, device, status);
                                 }
                                 done->store(true);
                             }),
                             done});
        return kIOReturnSuccess;
    }

    const BluetoothRefList* IOBluetoothDeviceGetServices(BluetoothRef object) override
    {
        BluezDeviceRef* device = findDevice(object);
        return device != nullptr ? device->services.load() : nullptr;
    }

    IOReturn IOBluetoothSDPServiceRecordGetRFCOMMChannelID(BluetoothRef record,
                                                           uint8_t* channelID) override
    {
        return BluetoothRecordRFCOMMChannelID(record, channelID);
    }
    const BluetoothAttributeList* IOBluetoothSDPServiceRecordGetAttributes(BluetoothRef r) override
    {
        return BluetoothRecordAttributes(r);
    }
    uint8_t IOBluetoothSDPDataElementGetTypeDescriptor(BluetoothRef e) override
    {
        return BluetoothElementType(e);
    }
    int64_t IOBluetoothSDPDataElementGetNumberValue(BluetoothRef e) override
    {
        return BluetoothElementNumber(e);
    }
    const std::string* IOBluetoothSDPDataElementGetStringValue(BluetoothRef e) override
    {
        return BluetoothElementString(e);
    }
    const BluetoothRefList* IOBluetoothSDPDataElementGetArrayValue(BluetoothRef e) override
    {
        return BluetoothElementArray(e);
    }
    BluetoothRef IOBluetoothSDPDataElementGetUUIDValue(BluetoothRef e) override
    {
        return BluetoothElementUUID(e);
    }
    std::span<const uint8_t> IOBluetoothSDPUUIDGetBytes(BluetoothRef uuid) override
    {
        return BluetoothUUIDBytes(uuid);
    }

    IOReturn IOBluetoothDeviceOpenRFCOMMChannel(BluetoothRef object, uint8_t channelID,
                                                BluetoothRef* channel) override
    {
        if (channel != nullptr) {
            *channel = nullptr;
        }
        BluezDeviceRef* device = findDevice(object);
        if (device == nullptr || channel == nullptr) {
            return kIOReturnNotFound;
        }
        auto opened = std::make_unique<BluezChannel>();
        opened->fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            BTPROTO_RFCOMM);
        if (opened->fd < 0 || pipe2(opened->wake, O_CLOEXEC) != 0) {
            return kIOReturnNotOpen; // no Bluetooth in this kernel, most likely
        }
        sockaddr_rc peer{};
        peer.rc_family = AF_BLUETOOTH;
        peer.rc_bdaddr = toBdaddr(device->address);
        peer.rc_channel = channelID;
        int r = connect(opened->fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        int error = r == 0 ? 0 : errno == EINPROGRESS ? finishConnect(opened->fd) : errno;
        if (error != 0) {
            return kIOReturnError;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_channels.push_back(opened.get());
        *channel = opened.release();
        return kIOReturnSuccess;
    }

    IOReturn IOBluetoothRFCOMMChannelRegisterIncomingDataListener(
        BluetoothRef object, IOBluetoothRFCOMMDataListener listener, void* refCon) override
    {
        BluezChannel* channel = findChannel(object, false);
        if (channel == nullptr || listener == nullptr) {
            return kIOReturnNotOpen;
        }
        std::lock_guard<std::mutex> lock(channel->mutex);
        if (channel->closed || channel->reader.joinable()) {
            return kIOReturnNotOpen;
        }
        channel->listener = listener;
        channel->refCon = refCon;
        SignalsBlockedForNewThread quiet;
        channel->reader = std::thread([channel] { channel->read(); });
        return kIOReturnSuccess;
    }

    IOReturn IOBluetoothRFCOMMChannelWriteSimple(BluetoothRef object, const void* data,
                                                 uint16_t length, bool,
                                                 uint32_t* numBytesSent) override
    {
        BluezChannel* channel = findChannel(object, false);
        if (channel == nullptr || (data == nullptr && length != 0)) {
            return kIOReturnNotOpen;
        }
        const char* bytes = static_cast<const char*>(data);
        uint32_t sent = 0;
        const auto deadline = BluetoothWaitClock::now() + std::chrono::milliseconds(kWriteWaitMs);
        while (sent < length) {
            ssize_t n = send(channel->fd, bytes + sent, length - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN && BluetoothWait(channel->fd, POLLOUT, deadline) > 0) {
                continue; // room
            }
            break; // refused, not taken in time, or a close on another thread ended the wait
        }
        if (numBytesSent != nullptr) {
            *numBytesSent = sent;
        }
        return sent > 0 || length == 0 ? kIOReturnSuccess : kIOReturnError;
    }

    // An RFCOMM socket offers no way to set the line: nothing reaches the phone.
    IOReturn IOBluetoothRFCOMMSetSerialParameters(BluetoothRef object, uint32_t, uint8_t,
                                                  uint8_t, uint8_t) override
    {
        return findChannel(object, false) != nullptr ? kIOReturnSuccess : kIOReturnNotOpen;
    }

    IOReturn IOBluetoothRFCOMMChannelCloseChannel(BluetoothRef object) override
    {
        BluezChannel* channel = findChannel(object, false);
        if (channel == nullptr) {
            return kIOReturnNotOpen;
        }
        channel->stop();
        return kIOReturnSuccess;
    }

    BluetoothRef IOBluetoothGetDeviceSelectorController() override { return &m_controller; }

    const BluetoothRefList*
    IOBluetoothDeviceSelectorRunPanelWithAttributes(BluetoothRef controller,
                                                    const IOBluetoothDeviceSearchAttributes*) override
    {
        m_panel.clear();
        if (controller != &m_controller) {
            return nullptr;
        }
        std::optional<BluezDevice> chosen;
        if (const char* named = std::getenv("PM_BLUETOOTH_DEVICE"); named != nullptr && *named) {
            BluetoothDeviceAddress a;
            if (ParseBluetoothAddress(named, a)) {
                chosen = m_bluez.Find(a);
            }
        } else if (auto devices = m_bluez.List()) {
            for (const BluezDevice& d : *devices) {
                if (d.paired) {
                    if (chosen) {
                        return nullptr; // more than one: no way to ask the user
                    }
                    chosen = d;
                }
            }
        }
        if (!chosen) {
            return nullptr;
        }
        m_panel.push_back(reference(*chosen));
        return &m_panel;
    }


  private:
    struct Query {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    struct Token final : OpaqueIOBluetoothObjectRef {};

    BluezDeviceRef* reference(const BluezDevice& known)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& d : m_devices) {
            if (std::memcmp(d->address.data, known.address.data, 6) == 0) {
                d->path = known.path;
                return d.get();
            }
        }
        auto d = std::make_unique<BluezDeviceRef>();
        d->address = known.address;
        d->path = known.path;
        m_devices.push_back(std::move(d));
        return m_devices.back().get();
    }

    BluezDeviceRef* findDevice(BluetoothRef object)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& d : m_devices) {
            if (d.get() == object) {
                return d.get();
            }
        }
        return nullptr;
    }

    BluezChannel* findChannel(BluetoothRef object, bool remove)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
            if (*it == object) {
                BluezChannel* channel = *it;
                if (remove) {
                    m_channels.erase(it);
                }
                return channel;
            }
        }
        return nullptr;
    }

    // Whether an L2CAP connection to the device's SDP server comes up within the connect bound.
    static bool reachable(const BluetoothDeviceAddress& address)
    {
        int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK,
                        BTPROTO_L2CAP);
        if (fd < 0) {
            return false;
        }
        sockaddr_l2 peer{};
        peer.l2_family = AF_BLUETOOTH;
        peer.l2_psm = htobs(SDP_PSM);
        peer.l2_bdaddr = toBdaddr(address);
        int r = connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        bool up = r == 0 || (errno == EINPROGRESS && finishConnect(fd) == 0);
        close(fd);
        return up;
    }

    // One SDP search of the public browse group with every attribute; the records become the
    // device's services (none when the search fails).
    IOReturn query(BluezDeviceRef& device)
    {
        bdaddr_t any{}, peer = toBdaddr(device.address);
        // Non-blocking, so the connection is bounded here (libbluetooth refuses this flag together
        // with SDP_RETRY_IF_BUSY: EINVAL, no connection at all).
        sdp_session_t* session = sdp_connect(&any, &peer, SDP_NON_BLOCKING);
        if (session == nullptr) {
            device.services.store(nullptr);
            return kIOReturnNotOpen;
        }
        int fd = sdp_get_socket(session);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (finishConnect(fd) != 0) {
            sdp_close(session);
            device.services.store(nullptr);
            return kIOReturnError;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        uuid_t browse;
        sdp_uuid16_create(&browse, PUBLIC_BROWSE_GROUP);
        uint32_t range = 0x0000ffff;
        sdp_list_t* search = sdp_list_append(nullptr, &browse);
        sdp_list_t* attributes = sdp_list_append(nullptr, &range);
        sdp_list_t* found = nullptr;
        int r = sdp_service_search_attr_req(session, search, SDP_ATTR_REQ_RANGE, attributes,
                                            &found);
        sdp_list_free(search, nullptr);
        sdp_list_free(attributes, nullptr);
        sdp_close(session);
        if (r != 0) {
            sdp_list_free(found, reinterpret_cast<sdp_free_func_t>(sdp_record_free));
            device.services.store(nullptr);
            return kIOReturnError;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto list = std::make_unique<BluetoothRefList>();
            for (sdp_list_t* f = found; f != nullptr; f = f->next) {
                list->push_back(
                    ConvertSDPRecord(static_cast<const sdp_record_t*>(f->data), m_store));
            }
            m_lists.push_back(std::move(list));
            device.services.store(m_lists.back().get());
        }
        sdp_list_free(found, reinterpret_cast<sdp_free_func_t>(sdp_record_free));
        return kIOReturnSuccess;
    }

    BluezDevices m_bluez;
    Token m_controller;
    BluetoothRefList m_panel; // the host's thread only

    std::mutex m_mutex; // the lists below, which queries on their threads add to
    std::vector<std::unique_ptr<BluezDeviceRef>> m_devices;
    std::vector<BluezChannel*> m_channels;
    BluetoothRecordStore m_store;
    std::vector<std::unique_ptr<BluetoothRefList>> m_lists;
    std::vector<Query> m_queries;
};

} // namespace

BluetoothPlatform* MakeBluezBluetooth()
{
    return new BluezBluetooth;
}
