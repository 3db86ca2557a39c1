// The communication log: one object for the whole module (LogFileData). A communication is written
// as plain records to "PM_LOG.tmp" and folded into the rolling, encoded "PM_LOG.dat" when it
// closes.
#ifndef PM_STD_MAC_COMMLOG_H
#define PM_STD_MAC_COMMLOG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <pthread.h>

class CCommLog {
  public:
    CCommLog();
    virtual ~CCommLog();
    CCommLog(const CCommLog&) = delete;
    CCommLog& operator=(const CCommLog&) = delete;

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

    // The longest folder that keeps every path derived from it inside its buffer.
    static constexpr size_t kMaxFolderLength = 1014;

  private:
    // Holds m_mutex for one operation. A pthread mutex rather than std::mutex: locking must not be
    // able to throw out of the exported functions.
    class Lock {
      public:
        explicit Lock(pthread_mutex_t& mutex) : m_rMutex(mutex) { pthread_mutex_lock(&m_rMutex); }
        ~Lock() { pthread_mutex_unlock(&m_rMutex); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pthread_mutex_t& m_rMutex;
    };

    // Every public operation that touches the fields below takes m_mutex once and then works
    // through these helpers, which expect it held; a helper never locks, so operations that build
    // on others (a traffic record writing the response time, the close writing the header and
    // saving) do not lock twice.
    int32_t writeTextLocked(const char* text, size_t length);
    bool writeOutLocked(const char* text, size_t length);
    bool lockFolderLocked();
    void releaseLocked();
    int32_t foldWaitingLocked();
    int32_t writeRecordLocked(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void stopLocked();
    int32_t ackTimeLocked();
    int32_t headerLocked();
    int32_t closeLocked();
    int32_t saveLocked();
    const char* encodeSecondLocked(char* line, size_t length);
    void addLoggedLocked(size_t count);

    FILE* m_pFile;            // "PM_LOG.tmp": appended during a communication, read by the save
    char m_szLogPath[1040];   // folder + "PM_LOG.dat"; empty: logging not configured
    char m_szTmpPath[1040];   // folder + "PM_LOG.tmp"
    int32_t m_nLastDirection; // 1 send, 0 receive
    int32_t m_nFileOpenYN;    // records are written only while this is exactly 1
    uint32_t m_nLoggedCount;  // zero until the first opening: LogStart rather than ReStart
    char m_szRecord[5120];    // the record being written; the save's piece buffer
    char m_szEncoded[10220];  // result of StrEncodeSecond
    char m_szUserInfo[64];    // PhoneUnivID
    int32_t m_nOSVerMajor;
    int32_t m_nOSVerMinor;
    int32_t m_nPlatformID;
    int32_t m_nCableType;
    int32_t m_nPortNo;
    int32_t m_nCommEngErr;
    char m_szCommEngModule[1024];
    int32_t m_nCommEngLine;
    char m_szCommEngLastModify[1024];
    int32_t m_nPortMdlErr;
    int32_t m_nPortMdlLine;
    int32_t m_nPortAPIErr;
    int32_t m_nPortAPILine;
    time_t m_tStartTime;      // calendar time at the opening of the communication
    uint32_t m_nAckStartTick; // MACTickCount() from which the next response time counts
    // The paths of the communication that holds (or held) the stream, fixed at its opening: a new
    // folder given meanwhile takes effect at the next opening, and this communication is still
    // saved where it began.
    char m_szCommLogPath[1040];
    char m_szCommTmpPath[1040];
    // Two processes may share a log folder. A communication holds an exclusive lock on the folder
    // (m_nFolderFd) for its lifetime; one that finds the folder taken writes to a file of its own
    // instead, "PM_LOG.tmp." and six characters (m_szCommFilePath), locked while it is written,
    // which the folder's next holder folds in whole at its save.
    int m_nFolderFd = -1;
    bool m_bWaiting = false; // this communication writes to a waiting file of its own
    char m_szCommFilePath[1056];
    // Records arrive from the host's thread and from a transport's reader thread (pauses); the
    // lock keeps each record whole in the one buffer and the one stream.
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
};

extern CCommLog LogFileData;

#endif
