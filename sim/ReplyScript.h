// A phone's scripted answers: each request, when it arrives in the bytes received, is answered
// with its reply. Shared by the simulated cable and the simulated Bluetooth phone.
#ifndef PMSIM_REPLYSCRIPT_H
#define PMSIM_REPLYSCRIPT_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace pmsim {

class ReplyScript {
  public:
    // An empty request is refused (std::invalid_argument): it would match everywhere.
    void Add(std::string request, std::string reply);
    bool Empty() const { return m_replies.empty(); }
    // Takes received bytes; returns the replies they complete, in order. A request split over
    // several calls still matches; the earliest match in the bytes is answered first.
    std::string Feed(const char* data, std::size_t n);
    // Forgets bytes received but not yet matched.
    void Reset() { m_pending.clear(); }

  private:
    std::vector<std::pair<std::string, std::string>> m_replies;
    std::string m_pending;
};

} // namespace pmsim

#endif
