// The steps of "pmctl talk": what to do on the open port, in order, as given on the command line.
#ifndef PMCTL_STEPS_H
#define PMCTL_STEPS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pmctl {

struct Step {
    enum Kind {
        Send,      // bytes
        Recv,      // number: exact byte count
        RecvAll,   // whatever arrives until the receive time-out passes without a byte
        Timeout,   // number: receive time-out, ms
        TxTimeout, // number: send time-out, ms
        Speed,     // number: speed code 1..9
        Rts,       // on
        Dtr,       // on
        Sleep,     // number: ms, a pause that the log records
        Clear,     // discard received bytes that are waiting
        Note,      // text: a comment in the log
        Status     // print the port status record
    };
    Kind kind;
    std::vector<uint8_t> bytes;
    uint32_t number = 0;
    bool on = false;
    std::string text;
    std::string source; // the words of the step, for messages
};

// The largest count that "recv" accepts.
inline constexpr uint32_t kMaxRecv = 1u << 20;

// Parses the step words. On failure, error names the step and says what it expects.
bool parseSteps(const std::vector<std::string>& words, std::vector<Step>& steps,
                std::string& error);

// Speed code 1..9 for a code or a rate in bits per second; 0 when it is neither.
uint32_t speedCode(std::string_view word);

// Bits per second of a speed code 1..9, 0 otherwise.
uint32_t speedBps(uint32_t code);

// The help text that lists the steps.
const char* stepsHelp();

} // namespace pmctl

#endif // PMCTL_STEPS_H
