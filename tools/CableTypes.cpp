#include "CableTypes.h"

namespace pmctl {

const CableSearch* findCableSearch(int32_t type)
{
    for (const CableSearch& s : kCableSearches) {
        if (s.type == type)
            return &s;
    }
    return nullptr;
}

std::string cableLooksFor(int32_t type)
{
    if (type == kModemCable)
        return "the modem driver's user client (no serial device)";
    const CableSearch* s = findCableSearch(type);
    if (s == nullptr)
        return "";
    std::string text = std::string("the ") + (s->index == 0 ? "first" : "second") +
                       " device named " + s->prefix + "*";
    if (s->fallback != nullptr)
        text += ", else the first " + std::string(s->fallback) + "*";
    return text;
}

} // namespace pmctl
