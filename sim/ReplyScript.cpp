#include "ReplyScript.h"

#include <algorithm>
#include <stdexcept>

namespace pmsim {

void ReplyScript::Add(std::string request, std::string reply)
{
    if (request.empty()) {
        throw std::invalid_argument("ReplyScript::Add: empty request");
    }
    m_replies.emplace_back(std::move(request), std::move(reply));
}

std::string ReplyScript::Feed(const char* data, std::size_t n)
{
    std::string out;
    if (m_replies.empty()) {
        return out;
    }
    m_pending.append(data, n);
    std::size_t longest = 0;
    for (;;) {
        std::size_t bestPos = std::string::npos, bestIdx = 0;
        for (std::size_t k = 0; k < m_replies.size(); ++k) {
            longest = std::max(longest, m_replies[k].first.size());
            std::size_t pos = m_pending.find(m_replies[k].first);
            if (pos < bestPos) {
                bestPos = pos;
                bestIdx = k;
            }
        }
        if (bestPos == std::string::npos) {
            break;
        }
        out += m_replies[bestIdx].second;
        m_pending.erase(0, bestPos + m_replies[bestIdx].first.size());
    }
    // Only the tail can still start a request.
    if (m_pending.size() >= longest) {
        m_pending.erase(0, m_pending.size() - (longest - 1));
    }
    return out;
}

} // namespace pmsim
