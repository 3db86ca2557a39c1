// A phone's serial data cable, played on the master side of a pseudo-terminal.
//
// The module (or any other client) opens SlavePath() as it would open the cable's tty. A thread of
// the simulator answers on the master side as the phone of AtPhone.h does (script pairs or echo in
// data mode, "+++" and the cable's AT commands in command mode). Every byte received is recorded
// for the tests to look at.
#ifndef PMSIM_CABLESIM_H
#define PMSIM_CABLESIM_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AtPhone.h"

namespace pmsim {

class CableSim {
  public:
    // What the cable answers to "AT!CCHK" when nothing else was set.
    static constexpr const char* kDefaultIdentification = AtPhone::kDefaultIdentification;

    // Opens a pseudo-terminal and starts the cable's thread. Throws std::system_error when the
    // pseudo-terminal cannot be had.
    CableSim();
    ~CableSim(); // stops the thread and closes the master side
    CableSim(const CableSim&) = delete;
    CableSim& operator=(const CableSim&) = delete;

    // The slave device to open, e.g. "/dev/pts/7".
    const std::string& SlavePath() const { return m_slavePath; }
    // The master side, to look at the line from the cable's end: on Linux the terminal settings
    // read through it are the slave's. Reading or writing it bypasses the cable; -1 once unplugged.
    int MasterFd() const { return m_master; }

    // Behaviour; each may be changed at any time.
    void SetIdentification(std::string reply);             // the whole reply to "AT!CCHK"
    void SetEcho(bool on);                                 // data mode: echo every byte
    void AddReply(std::string request, std::string reply); // data mode: request -> reply
    void SetGuardTime(std::chrono::milliseconds guard);    // silence around "+++"; 500 ms default
    void SetSilent(bool silent);                           // true: record, never answer

    // Queues bytes to send to the client; the cable's thread writes them as the client takes
    // them, so a large send never blocks the caller.
    void Send(std::string bytes);
    // Waits until every queued byte has been written to the pseudo-terminal.
    bool WaitSent(std::chrono::milliseconds timeout);
    // CPU time the cable's thread has used so far, in seconds (benchmarks take it off the
    // process's time to tell a client's share).
    double ThreadCpuSeconds() const;

    // Everything received so far, and a wait for a total count.
    std::string Received() const;
    std::size_t ReceivedCount() const;
    bool WaitReceived(std::size_t count, std::chrono::milliseconds timeout) const;
    void ClearReceived();

    // Command-mode lines and escapes as the cable understood them, in order ("+++", "AT",
    // "AT!CCHK", ...), each with its arrival time.
    using Command = AtPhone::Command;
    std::vector<Command> Commands() const;
    bool WaitCommands(std::size_t count, std::chrono::milliseconds timeout) const;
    bool InCommandMode() const;
    int ChargeState() const; // -1 never switched, 0 off, 1 on

    // The cable vanishes: the thread stops and the master side is closed, so the client's tty is
    // hung up. Nothing is answered or recorded afterwards.
    void Unplug();

  private:
    void Run();
    void OnBytes(const char* data, std::size_t n, std::chrono::steady_clock::time_point now);
    void OnGuardElapsed();
    void QueueLocked(const std::string& bytes);
    void Wake();
    void StopThread();

    int m_master = -1;
    int m_wake[2] = {-1, -1}; // the cable's thread polls the read end beside the master
    std::string m_slavePath;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    AtPhone m_phone;
    std::string m_received;
    std::string m_outQueue; // bytes for the client; those from m_outHead on are not written yet
    std::size_t m_outHead = 0;
};

} // namespace pmsim

#endif
