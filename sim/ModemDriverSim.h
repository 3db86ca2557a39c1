// A phone modem's USB driver, played from the other side of the user-client protocol: it listens
// on a SOCK_SEQPACKET socket in the service plane folder, serves the modem's method table
// (selectors 0 to 8) to any number of clients, and puts the phone of AtPhone.h behind it.
//  - 0 client open (1 scalar: mode), 1 client close, 2 clear (discards what the phone sent and no
//    read request took yet);
//  - 3 read request (12 bytes: most bytes wanted, 1, 1): answered with the phone's bytes as soon
//    as it has any, else with a count of 0 after the read wait (50 ms); the reply's structure is
//    the count and the bytes, 4 + n bytes;
//  - 4 write request (268 bytes: count 1 to 256, the bytes, 1, 1): the bytes go to the phone;
//    answered at once with the count, 4 bytes;
//  - 5 / 6 get / set the 8-byte line coding, 7 / 8 get / set the control-line scalar.
// A request of another size, an unknown selector or a count out of range is answered with
// kBadArgument, or kUnsupported for an unknown selector. Faults can be set per selector.
#ifndef PMSIM_MODEMDRIVERSIM_H
#define PMSIM_MODEMDRIVERSIM_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AtPhone.h"
#include "DriverWire.h"

namespace pmsim {

class ModemDriverSim {
  public:
    static constexpr const char* kClassName = "ORVUDSCDMADriver";
    static constexpr int32_t kError = pmwire::kError;
    static constexpr int32_t kBadArgument = pmwire::kBadArgument;
    static constexpr int32_t kUnsupported = pmwire::kUnsupported;

    // Creates the plane folder when missing, binds dir/name (taking over a socket file nobody
    // listens on) and starts serving. Throws std::system_error when that fails, also when
    // another driver already listens there.
    explicit ModemDriverSim(const std::string& dir, const std::string& name = kClassName);
    ~ModemDriverSim(); // stops serving, closes every socket and removes the socket file
    ModemDriverSim(const ModemDriverSim&) = delete;
    ModemDriverSim& operator=(const ModemDriverSim&) = delete;

    const std::string& SocketPath() const { return m_path; }

    // The phone; each may be changed at any time.
    void SetEcho(bool on);
    void AddReply(std::string request, std::string reply);
    void SetIdentification(std::string reply);
    // The phone sends bytes; read requests take them.
    void Send(std::string bytes);

    // What goes wrong. A fault applies to every request of its selector from now on.
    enum class Fault {
        None,
        Fail,      // answer with the result given
        Malformed, // answer 8 bytes: tag and result only
        Oversize,  // answer a structure one byte longer than the client expects
        WrongTag,  // answer with a tag the client never used
        Silent,    // never answer
    };
    void SetFault(uint32_t selector, Fault fault, int32_t result = kError);
    void SetDelay(uint32_t selector, std::chrono::milliseconds delay); // answer late
    void SetClaimedCount(uint32_t count); // read replies claim this count (0: the true one)
    void SetReadWait(std::chrono::milliseconds wait); // 50 ms unless changed
    // After this many more requests the driver dies (0: never).
    void DieAfter(unsigned requests);
    // Dies as a killed driver does: every socket is closed at once, the socket file stays.
    void Die();
    bool Dead() const;

    // What the clients asked for. Read requests are only counted.
    struct Request {
        uint32_t selector;
        std::vector<int32_t> scalars;
        std::string structure;
    };
    std::vector<Request> Requests() const;
    unsigned ReadRequests() const;
    std::string Received() const; // the bytes of every write request, in order
    std::string ReceivedFrom(std::size_t offset) const; // those from offset on
    bool WaitReceived(std::size_t count, std::chrono::milliseconds timeout) const;
    // Clients connected now, and a wait for a number of them (e.g. 0 after a close).
    std::size_t Clients() const;
    bool WaitClients(std::size_t count, std::chrono::milliseconds timeout) const;
    // CPU time the driver's thread has used so far, in seconds (benchmarks tell the module's
    // share of a process's time from the driver's with it).
    double ThreadCpuSeconds() const;
    // How many of the bytes the phone queued (Send's and its answers) have left the queue: sent
    // to a client in read replies, or dropped by a clear request. The stress test takes those
    // as arrived at the module.
    std::uint64_t Handed() const;
    // The state the set methods left.
    std::vector<uint8_t> LineCoding() const;
    int32_t ControlLineState() const;

  private:
    struct PendingRead {
        uint32_t tag;
        uint32_t wanted;
        std::chrono::steady_clock::time_point due;
    };
    struct Delayed {
        std::chrono::steady_clock::time_point due;
        std::string reply;
    };
    struct Client {
        int fd;
        std::vector<PendingRead> reads;
        std::vector<Delayed> delayed;
    };

    void Run();
    bool OnMessage(Client& client, const uint8_t* msg, std::size_t n);
    void Reply(Client& client, uint32_t selector, uint32_t tag, int32_t result,
               const std::vector<int32_t>& scalars, const std::string& structure,
               uint32_t expectedStruct);
    bool SendTo(Client& client, const std::string& bytes);
    void ServeReads(Client& client);
    void ServeReadsBatched(Client& client);
    void SendBatch(Client& client); // sends the replies SendTo kept back, in order
    void CloseAll(bool unlinkSocket);
    void Wake();

    std::string m_path;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    bool m_dead = false;
    std::vector<Client> m_clients; // touched by the driver's thread; its size under the mutex
    AtPhone m_phone;
    std::string m_outQueue;     // the phone's bytes; those from m_outHead on no read took yet
    std::size_t m_outHead = 0;
    std::uint64_t m_handed = 0;   // bytes of the queue sent in replies or cleared
    std::uint64_t m_replying = 0; // bytes of read replies made and not yet sent
    bool m_batching = false; // SendTo keeps replies in m_batch instead of sending
    std::vector<std::string> m_batch;
    std::map<uint32_t, Fault> m_faults;
    std::map<uint32_t, int32_t> m_faultResults;
    std::map<uint32_t, std::chrono::milliseconds> m_delays;
    uint32_t m_claim = 0;
    std::chrono::milliseconds m_readWait{50};
    unsigned m_dieAfter = 0;
    std::vector<Request> m_requests;
    unsigned m_readRequests = 0;
    std::string m_received;
    std::size_t m_clientCount = 0;
    std::vector<uint8_t> m_lineCoding{0x00, 0xC2, 0x01, 0x00, 0, 0, 8, 0}; // 115200 8N1
    int32_t m_controlLines = 0;
};

} // namespace pmsim

#endif
