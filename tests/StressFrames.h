// What the host threads send in the stress test, and how the phone reads it back: each send is
// one frame naming its thread and its number, with a payload made from both, so the phone can
// tell a whole send from a cut, doubled or reordered one.
//   frame = A7 5C, thread (1 byte), number (4 bytes LE), payload length (2 bytes LE), payload
#ifndef TESTS_STRESSFRAMES_H
#define TESTS_STRESSFRAMES_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace stress {

inline constexpr uint8_t kFrameMagic[2] = {0xA7, 0x5C};
inline constexpr size_t kFrameHeader = 9;
inline constexpr int kMostThreads = 8;
inline constexpr uint16_t kMostPayload = 16384;

inline uint8_t PayloadByte(int thread, uint32_t number, size_t i)
{
    uint64_t x = (uint64_t{number} << 24) ^ (uint64_t(thread) << 56) ^ i;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<uint8_t>(x);
}

inline std::vector<uint8_t> MakeFrame(int thread, uint32_t number, uint16_t length)
{
    std::vector<uint8_t> f = {kFrameMagic[0],
                              kFrameMagic[1],
                              static_cast<uint8_t>(thread),
                              static_cast<uint8_t>(number),
                              static_cast<uint8_t>(number >> 8),
                              static_cast<uint8_t>(number >> 16),
                              static_cast<uint8_t>(number >> 24),
                              static_cast<uint8_t>(length),
                              static_cast<uint8_t>(length >> 8)};
    for (size_t i = 0; i < length; ++i) {
        f.push_back(PayloadByte(thread, number, i));
    }
    return f;
}

// Reads the bytes the phone got, in order, into frames. A byte that cannot start or continue a
// frame is skipped as garbage, and reading starts again at the next byte that can.
class FrameReader {
  public:
    using FrameFn = std::function<void(int thread, uint32_t number, uint16_t length)>;
    using GarbageFn = std::function<void(size_t bytes)>;
    FrameReader(FrameFn frame, GarbageFn garbage)
        : m_frame(std::move(frame)), m_garbage(std::move(garbage))
    {
    }

    void Feed(const uint8_t* data, size_t n)
    {
        m_buf.insert(m_buf.end(), data, data + n);
        size_t at = 0;
        size_t skipped = 0;
        for (;;) {
            int state = Parse(at);
            if (state > 0) {
                if (skipped != 0) {
                    m_garbage(skipped);
                    skipped = 0;
                }
                at += static_cast<size_t>(state);
            } else if (state < 0) {
                ++skipped;
                ++at;
            } else {
                break; // needs more bytes
            }
        }
        if (skipped != 0) {
            m_garbage(skipped);
        }
        m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(at));
    }

    // The connection ended: a frame begun on it never ends.
    void Break()
    {
        if (!m_buf.empty()) {
            m_garbage(m_buf.size());
            m_buf.clear();
        }
    }
    size_t Pending() const { return m_buf.size(); }

  private:
    // The length of a whole frame at at, 0 when it may still become one, -1 when it cannot.
    int Parse(size_t at)
    {
        const size_t have = m_buf.size() - at;
        const uint8_t* b = m_buf.data() + at;
        if (have >= 1 && b[0] != kFrameMagic[0]) {
            return -1;
        }
        if (have >= 2 && b[1] != kFrameMagic[1]) {
            return -1;
        }
        if (have >= 3 && b[2] >= kMostThreads) {
            return -1;
        }
        if (have < kFrameHeader) {
            return 0;
        }
        int thread = b[2];
        uint32_t number =
            uint32_t{b[3]} | uint32_t{b[4]} << 8 | uint32_t{b[5]} << 16 | uint32_t{b[6]} << 24;
        uint16_t length = static_cast<uint16_t>(b[7] | b[8] << 8);
        if (length > kMostPayload) {
            return -1;
        }
        // Checked as far as it has come, so a cut frame is left as soon as the next one begins.
        for (size_t i = 0; i < length && kFrameHeader + i < have; ++i) {
            if (b[kFrameHeader + i] != PayloadByte(thread, number, i)) {
                return -1;
            }
        }
        if (have < kFrameHeader + length) {
            return 0;
        }
        m_frame(thread, number, length);
        return static_cast<int>(kFrameHeader + length);
    }

    FrameFn m_frame;
    GarbageFn m_garbage;
    std::vector<uint8_t> m_buf;
};

} // namespace stress

#endif
