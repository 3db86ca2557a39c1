#include "StressPeers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "BluetoothTestSupport.h"
#include "ModemDriverSim.h"
#include "ModemTestSupport.h"
#include "RawPty.h"
#include "SerialTestSupport.h"
#include "portmdl/PortMdl.h"

namespace stress {

namespace {

constexpr int32_t kSerialCable = 1003; // any cable type that neither chunks nor charges
constexpr int32_t kModemCable = 5;
constexpr size_t kReadRoom = 65536;

// The tty's bytes are the module's once the phone's write returns.
class SerialPeer final : public Peer {
  public:
    SerialPeer()
    {
        int fd = m_pty.MasterFd();
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        serialtest::SetCableType(kSerialCable);
    }
    int32_t Open() override { return PM_OpenPortByDeviceName(m_pty.SlavePath().c_str()); }
    size_t Write(const uint8_t* data, size_t n, int waitMs) override
    {
        pollfd p{m_pty.MasterFd(), POLLOUT, 0};
        if (poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLOUT)) {
            return 0;
        }
        ssize_t w = write(m_pty.MasterFd(), data, n);
        if (w <= 0 && p.revents & (POLLHUP | POLLERR)) {
            // The port is closed for a moment (a reopen): nothing goes out.
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        }
        return w > 0 ? static_cast<size_t>(w) : 0;
    }
    void Read(FrameReader& reader, int waitMs) override
    {
        pollfd p{m_pty.MasterFd(), POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLIN)) {
            return;
        }
        uint8_t buf[kReadRoom];
        ssize_t n = read(m_pty.MasterFd(), buf, sizeof buf);
        if (n > 0) {
            reader.Feed(buf, static_cast<size_t>(n));
        }
    }

  private:
    RawPty m_pty;
};

// The driver's bytes are the module's once a read reply carried them.
class ModemPeer final : public Peer {
  public:
    ModemPeer() : m_driver(m_plane.Dir())
    {
        m_driver.SetEcho(false);
        serialtest::SetCableType(kModemCable);
    }
    int32_t Open() override { return PM_OpenPort(1); }
    size_t Write(const uint8_t* data, size_t n, int) override
    {
        n = std::min<size_t>(n, kReadRoom);
        m_driver.Send(std::string(reinterpret_cast<const char*>(data), n));
        return n;
    }
    void Read(FrameReader& reader, int waitMs) override
    {
        m_driver.WaitReceived(m_taken + 1, std::chrono::milliseconds(waitMs));
        std::string got = m_driver.ReceivedFrom(m_taken);
        m_taken += got.size();
        if (!got.empty()) {
            reader.Feed(reinterpret_cast<const uint8_t*>(got.data()), got.size());
        }
    }
    int64_t Arrived(const PortModel& model, Micros) const override
    {
        return std::min<int64_t>(model.Written(), static_cast<int64_t>(m_driver.Handed()));
    }

  private:
    modemtest::Plane m_plane;
    pmsim::ModemDriverSim m_driver;
    size_t m_taken = 0;
};

// A Bluetooth channel's bytes are the module's once the stack handed them over, which the test
// cannot see: it allows the stack the rules' arrival grace.
class BluetoothPeer final : public Peer {
  public:
    BluetoothPeer()
        : m_dir(TempDir()), m_world(json{{"devices",
                                          {{{"address", kPhoneText},
                                            {"connected", true},
                                            {"records", {textRecord(3, "Dial-up Networking")}},
                                            {"phone", {{"socket", SocketPath()}}}}}}})
    {
        m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = SocketPath();
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
        EXPECT_EQ(listen(m_listen, 4), 0);
        selectDevice(kPhone, {{"Dial-up Networking", 3}});
        serialtest::SetCableType(kSerialCable);
    }
    ~BluetoothPeer() override
    {
        for (int fd : {m_conn, m_listen}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    int32_t Open() override { return PM_OpenBluetoothChannel(0); }
    size_t Write(const uint8_t* data, size_t n, int waitMs) override
    {
        if (!Connected(waitMs)) {
            return 0;
        }
        pollfd p{m_conn, POLLOUT, 0};
        if (poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLOUT)) {
            return 0;
        }
        ssize_t w = send(m_conn, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        return w > 0 ? static_cast<size_t>(w) : 0;
    }
    void Read(FrameReader& reader, int waitMs) override
    {
        if (!Connected(waitMs)) {
            return;
        }
        pollfd p{m_conn, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) {
            return;
        }
        uint8_t buf[kReadRoom];
        ssize_t n = recv(m_conn, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            reader.Feed(buf, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // The channel closed: a send it cut short ends here.
            reader.Break();
            close(m_conn);
            m_conn = -1;
        }
    }
    int64_t Arrived(const PortModel& model, Micros now) const override
    {
        return model.WrittenBefore(now - model.Rules().arrivalGrace);
    }

  private:
    static std::string TempDir()
    {
        char tmpl[] = "/tmp/pmstress.XXXXXX";
        return mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
    }
    std::string SocketPath() const { return m_dir + "/phone.sock"; }
    // A channel connects at each open; the phone takes the newest connection.
    bool Connected(int waitMs)
    {
        if (m_conn < 0) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, waitMs) > 0) {
                m_conn = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            }
        }
        return m_conn >= 0;
    }

    std::string m_dir; // the phone's socket
    BluetoothWorldFile m_world;
    int m_listen = -1;
    int m_conn = -1;
};

} // namespace

int64_t Peer::Arrived(const PortModel& model, Micros) const
{
    return model.Written();
}

std::unique_ptr<Peer> Peer::Make(Link link)
{
    switch (link) {
    case Link::Serial:
        return std::make_unique<SerialPeer>();
    case Link::Modem:
        return std::make_unique<ModemPeer>();
    case Link::Bluetooth:
        return std::make_unique<BluetoothPeer>();
    }
    return nullptr;
}

} // namespace stress
