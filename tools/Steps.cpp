#include "Steps.h"

#include <charconv>

#include "Escapes.h"
#include "Text.h"

namespace pmctl {

namespace {

constexpr uint32_t kRates[] = {600, 2400, 9600, 14400, 19200, 38400, 57600, 115200, 230400};

bool parseNumber(std::string_view word, uint32_t& value)
{
    if (word.empty())
        return false;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    return ec == std::errc() && end == word.data() + word.size();
}

struct StepName {
    const char* name;
    Step::Kind kind;
    bool takesArgument;
};

constexpr StepName kSteps[] = {
    {"send", Step::Send, true},       {"sendhex", Step::Send, true},
    {"recv", Step::Recv, true},       {"recvall", Step::RecvAll, false},
    {"timeout", Step::Timeout, true}, {"txtimeout", Step::TxTimeout, true},
    {"speed", Step::Speed, true},     {"rts", Step::Rts, true},
    {"dtr", Step::Dtr, true},         {"sleep", Step::Sleep, true},
    {"clear", Step::Clear, false},    {"note", Step::Note, true},
    {"status", Step::Status, false},
};

} // namespace

uint32_t speedCode(std::string_view word)
{
    uint32_t n = 0;
    if (!parseNumber(word, n))
        return 0;
    if (n >= 1 && n <= 9)
        return n;
    for (uint32_t code = 1; code <= 9; ++code) {
        if (kRates[code - 1] == n)
            return code;
    }
    return 0;
}

uint32_t speedBps(uint32_t code)
{
    return code >= 1 && code <= 9 ? kRates[code - 1] : 0;
}

bool parseSteps(const std::vector<std::string>& words, std::vector<Step>& steps, std::string& error)
{
    steps.clear();
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const StepName* found = nullptr;
        for (const StepName& s : kSteps) {
            if (word == s.name)
                found = &s;
        }
        std::string where = "step " + std::to_string(steps.size() + 1) + " ('" + word + "')";
        if (found == nullptr) {
            error = where + " is not a step; steps are: send sendhex recv recvall timeout "
                            "txtimeout speed rts dtr sleep clear note status (pmctl talk --help)";
            return false;
        }
        Step step;
        step.kind = found->kind;
        step.source = word;
        if (found->takesArgument) {
            if (i + 1 >= words.size()) {
                error = where + " needs an argument (pmctl talk --help)";
                return false;
            }
            const std::string& arg = words[++i];
            step.source += " " + arg;
            std::string problem;
            switch (step.kind) {
            case Step::Send:
                if (word == "send" ? !escapes::unescape(arg, step.bytes, problem)
                                   : !parseHex(arg, step.bytes, problem)) {
                    error = where + ": " + problem;
                    return false;
                }
                break;
            case Step::Recv:
                if (!parseNumber(arg, step.number) || step.number > kMaxRecv) {
                    error = where + ": '" + arg + "' is not a byte count from 0 to " +
                            std::to_string(kMaxRecv);
                    return false;
                }
                break;
            case Step::Timeout:
            case Step::TxTimeout:
            case Step::Sleep:
                if (!parseNumber(arg, step.number)) {
                    error = where + ": '" + arg + "' is not a number of milliseconds";
                    return false;
                }
                break;
            case Step::Speed:
                step.number = speedCode(arg);
                if (step.number == 0) {
                    error = where + ": '" + arg +
                            "' is neither a speed code 1-9 nor one of the rates 600 2400 9600 "
                            "14400 19200 38400 57600 115200 230400";
                    return false;
                }
                break;
            case Step::Rts:
            case Step::Dtr:
                if (arg != "on" && arg != "off") {
                    error = where + ": say 'on' or 'off', not '" + arg + "'";
                    return false;
                }
                step.on = arg == "on";
                break;
            case Step::Note:
                step.text = arg;
                break;
            default:
                break;
            }
        }
        steps.push_back(std::move(step));
    }
    return true;
}

const char* stepsHelp()
{
    return R"(Steps, carried out in order (options go before the first step):
  send TEXT        send TEXT; C escapes: \r \n \t \0 \e \\ \xNN
  sendhex HEX      send bytes given in hex: "41 54 0d", "41540d" or "41:54:0d"
  recv N           receive exactly N bytes within the receive time-out
  recvall          receive whatever arrives until the receive time-out passes
                   without a new byte
  timeout MS       receive time-out in ms (the tool starts with --timeout)
  txtimeout MS     send time-out in ms (default 500)
  speed CODE|BPS   line speed: code 1-9, or 600 2400 9600 14400 19200 38400
                   57600 115200 230400
  rts on|off       raise or lower RTS
  dtr on|off       raise or lower DTR
  sleep MS         pause; the log records the pause
  clear            discard received bytes that are waiting
  note TEXT        write TEXT into the log as a comment
  status           print the port status record
A step whose argument begins with '-' needs "--" before the first step.
Example: pmctl talk --cable 1002 send 'AT\r' recvall)";
}

} // namespace pmctl
