// The cable types that PM_OpenPort opens on its own, and what each looks for: the one table that
// the device search of 'pmctl list -v', --cable and pmctl's help all read.
#ifndef PMCTL_CABLETYPES_H
#define PMCTL_CABLETYPES_H

#include <cstdint>
#include <string>

namespace pmctl {

inline constexpr int32_t kModemCable = 5; // the modem driver's user client, no serial device

// A serial cable type: the first or second device (index) whose terminal name starts with the
// prefix; 1003 falls back to a second prefix when no name has the first.
struct CableSearch {
    int32_t type;
    const char* prefix;
    const char* fallback;
    int index;
};

// In the module's order of cable types.
inline constexpr CableSearch kCableSearches[] = {
    {3, "ORVUUSBP", nullptr, 0},    {4, "ORVUUSBC", nullptr, 0},
    {8, "ORVUDSCDMA", nullptr, 0},  {1002, "usbmodem", nullptr, 0},
    {1003, "kestrel-cable", "usbserial", 0}, {1004, "usbmodem", nullptr, 1},
};

// The search of a serial cable type, or null (the modem, or no type PM_OpenPort opens).
const CableSearch* findCableSearch(int32_t type);

// What the cable type opens, as a phrase: "the first device named usbmodem*", or for the
// modem "the modem driver's user client (no serial device)"; empty for an unknown type.
std::string cableLooksFor(int32_t type);

} // namespace pmctl

#endif // PMCTL_CABLETYPES_H
