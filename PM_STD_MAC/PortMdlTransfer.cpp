// Data transfer through the open port: sends with a write time-out computed from the count and the
// line speed, exact-count receives, the buffered count, and the time-out settings.
#include <algorithm>
#include <cmath>

#include "CommBaseForMAC.h"
#include "CommLog.h"
#include "PortLock.h"
#include "PortMdlState.h"

namespace {

// The cable type whose sends go out in pieces and whose receives are taken byte by byte.
constexpr int32_t kChunkedCable = 10;
constexpr int32_t kChunkedPiece = 50;
// Bits per character on the line (start, eight data, parity, stop) and the margin of a send.
constexpr double kBitsPerByte = 11.0;
constexpr uint32_t kSendMarginMs = 200;
// Above this rate the send time-out the host set is always long enough.
constexpr int32_t kSlowestRaisedRate = 9600;

// The host's thread holds the device for a send: the reader steps aside during the send's pause,
// so the write and the receive that usually follows do not share the device with it.
class SendHold {
  public:
    explicit SendHold(EI_CommBaseForMAC* base) : m_base(base) { m_base->HoldDevice(); }
    ~SendHold() { m_base->ReleaseDevice(false); }
    SendHold(const SendHold&) = delete;
    SendHold& operator=(const SendHold&) = delete;

  private:
    EI_CommBaseForMAC* m_base;
};

} // namespace

// On a slow line the send time-out is raised to the time the bytes need plus a margin.
uint32_t calcWriteTimeOut(int32_t count, uint32_t current)
{
    int32_t rate = currentBitRate();
    if (rate > kSlowestRaisedRate) {
        return current;
    }
    uint32_t estimate = kSendMarginMs;
    if (rate > 0) {
        double ms = std::trunc(count / (rate / kBitsPerByte) * 1000.0);
        // A huge count must saturate, not wrap.
        double limit = static_cast<double>(UINT32_MAX - kSendMarginMs);
        estimate += static_cast<uint32_t>(std::min(ms, limit));
    }
    return std::max(current, estimate);
}

int32_t PM_RxBytesA(int32_t count, uint8_t* buffer)
{
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_RX_NOPORT);
    }
    int got = 0;
    if (!TheCommBase->Read(buffer, count, &got)) {
        return setPortMdlErr(PM_ERR_TIMEOUT, PM_LINE_RX_FAILED);
    }
    if (count >= 1) {
        LogFileData.PM_LogWriteAnaliz(buffer, count, 0);
    }
    return 1;
}

extern "C" {

int32_t PM_TxBytes(int32_t count, const uint8_t* bytes)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_TX_NOPORT);
    }
    if (count < 0 || (count > 0 && bytes == nullptr)) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_TX_ARGUMENT);
    }
    SendHold hold(TheCommBase);
    if (PortMdlEnv.nCableType == kChunkedCable) {
        uint32_t saved = TheWriteTimeOut;
        // Advancing by the piece just sent keeps the offset within count, so a count near the
        // 32-bit limit cannot overflow it.
        for (int32_t offset = 0, piece = 0; offset < count; offset += piece) {
            piece = std::min(count - offset, kChunkedPiece);
            PM_SetTxTimeout(calcWriteTimeOut(piece, saved));
            int sent = 0;
            if (!TheCommBase->Write(bytes + offset, piece, &sent)) {
                PM_SetTxTimeout(saved);
                return setPortMdlErr(PM_ERR_SEND, PM_LINE_TX_PIECE_REFUSED);
            }
            PM_SetTxTimeout(saved);
            if (sent != piece) {
                return setPortMdlErr(PM_ERR_TIMEOUT, PM_LINE_TX_PIECE_SHORT);
            }
        }
        PM_SetTxTimeout(saved);
    } else {
        PM_SimpleSleep(2);
        uint32_t saved = TheWriteTimeOut;
        PM_SetTxTimeout(calcWriteTimeOut(count, saved));
        int sent = 0;
        if (!TheCommBase->Write(bytes, count, &sent)) {
            PM_SetTxTimeout(saved);
            return setPortMdlErr(PM_ERR_SEND, PM_LINE_TX_REFUSED);
        }
        PM_SetTxTimeout(saved);
        if (sent != count) {
            return setPortMdlErr(PM_ERR_TIMEOUT, PM_LINE_TX_SHORT);
        }
    }
    if (count >= 1) {
        LogFileData.PM_LogWriteAnaliz(bytes, count, 1);
    }
    return 1;
}

int32_t PM_TxByte(uint8_t byte)
{
    return PM_TxBytes(1, &byte);
}

int32_t PM_RxBytes(int32_t count, uint8_t* buffer)
{
    PortLock port;
    // A bad count or buffer is refused before anything is read, in both environments.
    if (count < 0 || (count > 0 && buffer == nullptr)) {
        return setPortMdlErr(PM_ERR_INVALID,
                             TheCommBase == nullptr ? PM_LINE_RX_NOPORT : PM_LINE_RX_ARGUMENT);
    }
    if (PortMdlEnv.nCableType == kChunkedCable) {
        for (int32_t i = 0; i < count; ++i) {
            if (!PM_RxBytesA(1, buffer + i)) {
                return 0;
            }
        }
        return 1;
    }
    return PM_RxBytesA(count, buffer);
}

int32_t PM_RxByte(uint8_t* byte)
{
    return PM_RxBytes(1, byte);
}

int32_t PM_InBufferCount(void)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_INBUFFER_NOPORT);
    }
    return TheCommBase->countBuffer();
}

int32_t PM_ClearBuffer(void)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return setPortMdlErr(PM_ERR_INVALID, PM_LINE_CLEARBUFFER_NOPORT);
    }
    return TheCommBase->clearBuffer();
}

int32_t PM_SetTxTimeout(uint32_t ms)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return 0;
    }
    if (!TheCommBase->SetWriteTimeOut(ms)) {
        return setPortMdlErr(PM_ERR_TRANSPORT, PM_LINE_SETTXTIMEOUT);
    }
    TheWriteTimeOut = ms;
    return 1;
}

uint32_t PM_GetTxTimeout(void)
{
    return TheWriteTimeOut;
}

int32_t PM_SetRxTimeout(uint32_t ms)
{
    PortLock port;
    if (TheCommBase == nullptr) {
        return 0;
    }
    if (!TheCommBase->SetReadTimeOut(ms)) {
        return setPortMdlErr(PM_ERR_TRANSPORT, PM_LINE_SETRXTIMEOUT);
    }
    TheReadTimeOut = ms;
    return 1;
}

uint32_t PM_GetRxTimeout(void)
{
    return TheReadTimeOut;
}

int32_t PM_Log_TimeOutInBuf(uint32_t timeout, uint32_t obtained)
{
    PortLock port;
    if (TheCommBase != nullptr) {
        int waiting = TheCommBase->countBuffer();
        LogFileData.PM_LogWriteBufCount(static_cast<uint32_t>(waiting), timeout, obtained);
    }
    return PM_ERR_TIMEOUT;
}

} // extern "C"
