// The communication log: one object for the whole module (LogFileData). A communication is written
// as plain records to "PM_LOG.tmp" and folded into the rolling, encoded "PM_LOG.dat" when it closes.
#ifndef PM_STD_MAC_COMMLOG_H
#define PM_STD_MAC_COMMLOG_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

class CCommLog {
public:
    CCommLog();
    virtual ~CCommLog();

    // Configuration and error slots.
    void SetFileOpenYN(int32_t value);
    int32_t GetFileOpenYN();
    void SetUserInfo(const char* folder, const char* userInfo);
    void SetCableInfo(int32_t cableType, int32_t portNo);
    void SetCommEngErr(int32_t code, const char* moduleText, int32_t line, const char* lastModify);
    void SetCommPortErr(int32_t code, int32_t line);
    void SetCommAPIErr(int32_t code, int32_t line);
    uint32_t PM_GetTickCount();

    // Lifecycle of a communication.
    int32_t PM_LogOpen(int32_t direction);
    int32_t PM_LogWriteInternalInfo();
    int32_t PM_LogWriteHedder();
    int32_t PM_LogClose();
    int32_t PM_SaveLog();

    // Records.
    int32_t PM_LogWriteAnaliz(const unsigned char* data, int32_t count, int32_t direction);
    int32_t PM_LogWriteAckTime();
    uint32_t PM_SetStartAckTime();
    int32_t PM_LogWriteDTRRTS(int32_t kind);
    int32_t PM_LogWriteChangeBPS(int32_t bitsPerSecond);
    int32_t PM_LogWriteSleepTime(uint32_t ms);
    int32_t PM_LogWriteBufCount(uint32_t inBufferCount, uint32_t timeout, uint32_t obtained);
    int32_t PM_LogWriteComment(const char* message);

    // Encodings.
    static char* StrEncode(char* text, int32_t limit);
    static int32_t CE_MIME_Encord(char* out, int32_t length, const char* in);
    const char* StrEncodeSecond(char* line);
};

extern CCommLog LogFileData;

#endif
