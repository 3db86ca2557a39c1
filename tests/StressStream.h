// The phone's byte stream in the stress test: every byte's position can be told from the bytes
// around it, so a receive that skips bytes, repeats them or takes them out of order shows as such
// and never as a coincidence.
//
// The stream is the output of a 32-bit linear feedback shift register with the primitive
// polynomial x^32 + x^22 + x^2 + x + 1 (period 2^32 - 1 steps), eight steps a byte. The register
// holds the last 32 bits it put out, so the four bytes from position p are its state after
// 8(p + 4) steps. A maximal register passes through each state once a period, and 8 is prime to
// 2^32 - 1, so those states differ for positions less than 2^32 - 1 apart: within 4 GiB of the
// stream no four consecutive bytes occur at two positions.
#ifndef TESTS_STRESSSTREAM_H
#define TESTS_STRESSSTREAM_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace stress {

// Bytes that fix a position.
inline constexpr int kWindow = 4;

class StreamGenerator {
  public:
    explicit StreamGenerator(uint32_t seed) : m_state(seed == 0 ? 1 : seed) {}
    uint8_t Next()
    {
        for (int i = 0; i < 8; ++i) {
            uint32_t bit =
                ((m_state >> 31) ^ (m_state >> 30) ^ (m_state >> 29) ^ (m_state >> 9)) & 1u;
            m_state = (m_state << 1) | bit;
        }
        return static_cast<uint8_t>(m_state);
    }

  private:
    uint32_t m_state;
};

// The stream's bytes from a base position on, made as far as asked; positions below the base
// are forgotten when the owner says so.
class Stream {
  public:
    explicit Stream(uint32_t seed) : m_gen(seed) {}

    int64_t Base() const { return m_base; }
    int64_t Made() const { return m_base + static_cast<int64_t>(m_bytes.size()); }

    uint8_t At(int64_t pos)
    {
        Extend(pos + 1);
        return m_bytes[static_cast<size_t>(pos - m_base)];
    }
    void Extend(int64_t end)
    {
        while (Made() < end) {
            m_bytes.push_back(m_gen.Next());
        }
    }
    void Forget(int64_t below)
    {
        while (m_base < below && !m_bytes.empty()) {
            m_bytes.pop_front();
            ++m_base;
        }
    }

    // The first position in [from, to) where the kWindow bytes at w stand, if any. Positions
    // below the base are not searched.
    std::optional<int64_t> Find(const uint8_t* w, int64_t from, int64_t to)
    {
        if (from < m_base) {
            from = m_base;
        }
        Extend(to + kWindow);
        for (int64_t p = from; p < to; ++p) {
            size_t i = static_cast<size_t>(p - m_base);
            if (m_bytes[i] == w[0] && m_bytes[i + 1] == w[1] && m_bytes[i + 2] == w[2] &&
                m_bytes[i + 3] == w[3]) {
                return p;
            }
        }
        return std::nullopt;
    }
    // The first position in [from, to) where the n bytes at w stand (n < kWindow may match by
    // chance: callers that take it say so).
    std::optional<int64_t> FindShort(const uint8_t* w, int n, int64_t from, int64_t to)
    {
        if (from < m_base) {
            from = m_base;
        }
        Extend(to + n);
        for (int64_t p = from; p < to; ++p) {
            bool same = true;
            for (int k = 0; k < n && same; ++k) {
                same = m_bytes[static_cast<size_t>(p - m_base) + static_cast<size_t>(k)] == w[k];
            }
            if (same) {
                return p;
            }
        }
        return std::nullopt;
    }

  private:
    StreamGenerator m_gen;
    int64_t m_base = 0;
    std::deque<uint8_t> m_bytes;
};

} // namespace stress

#endif
