// The records of a communication: traffic with its response times, line control, speed, pauses,
// receive time-outs and comments. Each is one formatted text, written whole under the log's lock.
#include <cstring>

#include "CommLog.h"
#include "portmdl/PortMdl.h"

namespace {
constexpr size_t kMaxLoggedBytes = 2550; // two hex characters each fill 5100 of the record buffer
} // namespace

int32_t CCommLog::PM_LogWriteAnaliz(const unsigned char* data, int32_t count, int32_t direction)
{
    Lock lock(m_mutex);
    if (m_nFileOpenYN != 1) {
        return 1;
    }
    if (direction != m_nLastDirection) {
        m_nLastDirection = direction;
        if (direction == 0 && ackTimeLocked() == 0) {
            return 0;
        }
        if (writeRecordLocked("\n%s", direction == 0 ? "RD:" : "SD:") == 0) {
            return 0;
        }
    }
    size_t bytes = 0;
    if (data != nullptr && count > 0) {
        bytes = static_cast<size_t>(count) < kMaxLoggedBytes ? static_cast<size_t>(count)
                                                             : kMaxLoggedBytes;
    }
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes; ++i) {
        m_szRecord[2 * i] = kHex[data[i] >> 4];
        m_szRecord[2 * i + 1] = kHex[data[i] & 0x0F];
    }
    m_szRecord[2 * bytes] = '\0';
    StrEncode(m_szRecord, 0);
    addLoggedLocked(2 * bytes);
    if (writeTextLocked(m_szRecord, 2 * bytes) == 0) {
        return 0;
    }
    m_nAckStartTick = MACTickCount();
    return 1;
}

int32_t CCommLog::PM_LogWriteAckTime()
{
    Lock lock(m_mutex);
    return ackTimeLocked();
}

int32_t CCommLog::ackTimeLocked()
{
    if (m_nFileOpenYN != 1) {
        return 1;
    }
    uint32_t now = MACTickCount();
    if (now < m_nAckStartTick) {
        return 1; // the millisecond counter wrapped: no meaningful response time
    }
    return writeRecordLocked("\n{%d}", static_cast<int>(now - m_nAckStartTick));
}

uint32_t CCommLog::PM_SetStartAckTime()
{
    Lock lock(m_mutex);
    m_nAckStartTick = MACTickCount();
    return m_nAckStartTick;
}

int32_t CCommLog::PM_LogWriteDTRRTS(int32_t kind)
{
    static const char* const kLines[] = {"\nSetDTR", "\nClearDTR", "\nSetRTS", "\nClearRTS"};
    Lock lock(m_mutex);
    if (m_nFileOpenYN != 1) {
        return 1;
    }
    if (kind < 0 || kind > 3) {
        return 0;
    }
    return writeRecordLocked("%s", kLines[kind]);
}

int32_t CCommLog::PM_LogWriteChangeBPS(int32_t bitsPerSecond)
{
    Lock lock(m_mutex);
    return writeRecordLocked("\nSet CommSpeed [%d]bps\n", static_cast<int>(bitsPerSecond));
}

int32_t CCommLog::PM_LogWriteSleepTime(uint32_t ms)
{
    Lock lock(m_mutex);
    return writeRecordLocked("<%d>", static_cast<int>(ms));
}

int32_t CCommLog::PM_LogWriteBufCount(uint32_t inBufferCount, uint32_t timeout, uint32_t obtained)
{
    Lock lock(m_mutex);
    return writeRecordLocked("<TimeoutErr (%dmsec GetCnt = %d InBufCnt = %d)>",
                             static_cast<int>(timeout), static_cast<int>(obtained),
                             static_cast<int>(inBufferCount));
}

int32_t CCommLog::PM_LogWriteComment(const char* message)
{
    if (message == nullptr) {
        return 1;
    }
    Lock lock(m_mutex);
    return writeRecordLocked("\n//---%s---{TickCnt = %d}\n", message,
                             static_cast<int>(MACTickCount()));
}
