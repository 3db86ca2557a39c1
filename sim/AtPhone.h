// The phone that the simulators put behind their link: what it answers to the bytes it receives.
// Used by the cable simulator (a pseudo-terminal) and the modem driver simulator (a user client),
// so both links play the same phone.
//  - data mode (the start): each script pair answers its request when the request arrives; with
//    echo on, every byte received comes straight back;
//  - "+++" framed by the guard time of silence on both sides switches to command mode and answers
//    "\r\nOK\r\n";
//  - command mode takes lines ended by CR: "AT" -> OK, "AT!CCHK" -> the identification reply,
//    "AT!CON" / "AT!COFF" -> OK and charging on / off, "at%z" -> OK and back to data mode, an
//    empty line is ignored, anything else -> ERROR. Commands are matched without regard to case.
// Not synchronised: its owner serialises the calls.
#ifndef PMSIM_ATPHONE_H
#define PMSIM_ATPHONE_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ReplyScript.h"

namespace pmsim {

class AtPhone {
  public:
    using Clock = std::chrono::steady_clock;

    // What the phone answers to "AT!CCHK" when nothing else was set.
    static constexpr const char* kDefaultIdentification = "\r\n1841\r\n0002\r\n0100\r\n\r\nOK\r\n";

    // Behaviour.
    void SetIdentification(std::string reply);             // the whole reply to "AT!CCHK"
    void SetEcho(bool on);                                 // data mode: echo every byte
    void AddReply(std::string request, std::string reply); // data mode; throws for an empty request
    void SetGuardTime(std::chrono::milliseconds guard);    // silence around "+++"; 500 ms default
    void SetSilent(bool silent);                           // true: never answer

    // Bytes from the client; returns the phone's answer (empty when it has none).
    std::string Receive(const char* data, std::size_t n, Clock::time_point now);
    // When Tick must be called next (the end of an escape's closing guard time), if ever.
    std::optional<Clock::time_point> Due() const;
    // Lets time pass; returns the answer that falls due by now.
    std::string Tick(Clock::time_point now);

    // Command-mode lines and escapes as the phone understood them, in order ("+++", "AT", ...).
    struct Command {
        std::string text;
        Clock::time_point at;
    };
    const std::vector<Command>& Commands() const { return m_commands; }
    bool InCommandMode() const { return m_commandMode; }
    int ChargeState() const { return m_charge; } // -1 never switched, 0 off, 1 on

  private:
    void OnCommandLine(const std::string& line, Clock::time_point now, std::string& out);
    void Answer(const std::string& bytes, std::string& out) const;

    std::string m_identification = kDefaultIdentification;
    bool m_echo = false;
    bool m_silent = false;
    ReplyScript m_script; // data mode: request -> reply
    std::chrono::milliseconds m_guard{500};

    std::string m_line;    // command mode line being built
    std::vector<Command> m_commands;
    bool m_commandMode = false;
    int m_charge = -1;
    int m_plusCount = 0; // '+' bytes of a possible escape, each after guard silence began
    Clock::time_point m_lastByte{};
    Clock::time_point m_escapeDue{};
};

} // namespace pmsim

#endif
