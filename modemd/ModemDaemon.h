// The phone modem driver daemon: serves the modem's method table (selectors 0 to 8) on its socket
// in the service plane, with the phone's tty behind it.
//  - Only root, the daemon's user and members of its group may be clients; anyone else gets
//    kNotPermitted for a first request and is closed.
//  - One client at a time. Another connection gets kExclusiveAccess for its first request and is
//    then closed (also when it sends nothing within a second); a client that goes away releases
//    the tty.
//  - A client never holds the daemon: at most 64 KiB wait for a client (bytes for the tty,
//    replies, calls waiting); a request beyond that stays unread in the socket, so the client's
//    own send waits. A client that takes no reply within a second is dropped.
//  - 0 opens the tty (the mode is not used), 1 closes it, 2 discards pending input and output,
//    3 reads (answered as soon as the phone has bytes, else with a count of 0 after 50 ms), 4 writes
//    (answered at once; bytes the tty cannot take yet wait in the daemon, and while 32 KiB wait a
//    write is answered only when they have gone), 5 to 8 the line coding and control lines of
//    PhoneTty.h.
//  - A phone that goes away fails every call with kNotAttached (reads after their 50 ms) while the
//    client holds the tty open; the daemon opens it again when it comes back and restores the line
//    coding and control lines the client set.
#ifndef PM_MODEMD_MODEMDAEMON_H
#define PM_MODEMD_MODEMDAEMON_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "DriverWire.h"
#include "PhoneTty.h"
#include "TtyLocator.h"

namespace modemd {

class ModemDaemon {
  public:
    static constexpr const char* kClassName = "ORVUDSCDMADriver";

    struct Options {
        std::string plane;                                // the plane folder
        std::string name = kClassName;                    // the socket's name in it
        std::chrono::milliseconds retry{500};             // how often a gone phone is looked for
        gid_t group = static_cast<gid_t>(-1);             // whom it serves; -1: its own group
        std::function<void(const std::string&)> log;      // one line per event; none: quiet
    };

    // Binds the socket for the group (see pmwire::ListenInPlane; throws std::system_error).
    ModemDaemon(Options options, TtyLocator& locator);
    ~ModemDaemon(); // closes everything and removes the socket
    ModemDaemon(const ModemDaemon&) = delete;
    ModemDaemon& operator=(const ModemDaemon&) = delete;

    const std::string& SocketPath() const { return m_path; }

    // Serves until Stop (from any thread or a signal handler's thread).
    void Run();
    void Stop();

  private:
    struct PendingRead {
        uint32_t tag;
        uint32_t wanted;
        std::chrono::steady_clock::time_point due;
    };
    struct HeldWrite {
        uint32_t tag;
        uint32_t count;
    };
    struct Reply {
        std::chrono::steady_clock::time_point made;
        std::string bytes;
    };
    // A connection that is not served: answered once with its result, closed at the latest
    // when its time is up.
    struct Refused {
        int fd;
        int32_t result;
        std::chrono::steady_clock::time_point until;
    };

    void Log(const std::string& line) const;
    std::size_t Queued() const;
    bool Hungry() const; // room for one more request of the client
    void Accept();
    void ReadRequests(std::vector<uint8_t>& buf);
    void SendReplies();
    void AnswerRefused(std::vector<uint8_t>& buf, const std::vector<short>& events);
    bool OnRequest(const uint8_t* msg, std::size_t n); // false: drop the client
    void Answer(uint32_t tag, int32_t result, const std::vector<int32_t>& scalars = {},
                const std::string& structure = {});
    int32_t OpenTty();
    void CloseTty();
    void PhoneGone(int error);
    void TryReopen();
    void DropClient(const char* why);
    void PumpTty();
    void ServeReads();
    void ReleaseWrites();

    Options m_options;
    TtyLocator& m_locator;
    std::string m_path;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    gid_t m_group;
    int m_client = -1;
    std::deque<Reply> m_replies; // what the client has not taken yet
    std::size_t m_replyBytes = 0;
    std::vector<Refused> m_refused;

    PhoneTty m_tty;
    bool m_wantOpen = false; // the client opened the tty and has not closed it
    std::chrono::steady_clock::time_point m_nextTry{};
    std::optional<LineCoding> m_coding; // what the client set, restored when the phone returns
    std::optional<int32_t> m_lines;
    std::vector<PendingRead> m_reads;
    std::vector<HeldWrite> m_held;
    std::string m_out;  // the client's bytes the tty did not take yet
};

} // namespace modemd

#endif
