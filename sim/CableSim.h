// A phone's serial data cable, played on the master side of a pseudo-terminal.
//
// The module (or any other client) opens SlavePath() as it would open the cable's tty. A thread of
// the simulator answers on the master side:
//  - data mode (the start): each script pair answers its request when the request arrives; with
//    echo on, every byte received comes straight back;
//  - "+++" framed by the guard time of silence on both sides switches to command mode and answers
//    "\r\nOK\r\n";
//  - command mode takes lines ended by CR: "AT" -> OK, "AT!CCHK" -> the identification reply,
//    "AT!CON" / "AT!COFF" -> OK and charging on / off, "at%z" -> OK and back to data mode, an
//    empty line is ignored, anything else -> ERROR. Commands are matched without regard to case.
// Every byte received is recorded for the tests to look at.
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

#include "ReplyScript.h"

namespace pmsim {

class CableSim {
  public:
    // What the cable answers to "AT!CCHK" when nothing else was set.
    static constexpr const char* kDefaultIdentification = "\r\n1841\r\n0002\r\n0100\r\n\r\nOK\r\n";

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

    // Everything received so far, and a wait for a total count.
    std::string Received() const;
    std::size_t ReceivedCount() const;
    bool WaitReceived(std::size_t count, std::chrono::milliseconds timeout) const;
    void ClearReceived();

    // Command-mode lines and escapes as the cable understood them, in order ("+++", "AT",
    // "AT!CCHK", ...), each with its arrival time.
    struct Command {
        std::string text;
        std::chrono::steady_clock::time_point at;
    };
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
    void OnCommandLine(const std::string& line, std::chrono::steady_clock::time_point now);
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
    // Behaviour.
    std::string m_identification = kDefaultIdentification;
    bool m_echo = false;
    bool m_silent = false;
    ReplyScript m_script; // data mode: request -> reply
    std::chrono::milliseconds m_guard{500};
    // State.
    std::string m_received;
    std::string m_outQueue;
    std::string m_line;    // command mode line being built
    std::vector<Command> m_commands;
    bool m_commandMode = false;
    int m_charge = -1;
    int m_plusCount = 0; // '+' bytes of a possible escape, each after guard silence began
    std::chrono::steady_clock::time_point m_lastByte{};
    std::chrono::steady_clock::time_point m_escapeDue{};
};

} // namespace pmsim

#endif
