// The abstract transport: time-outs, last error, open/running flags, the reader thread that feeds
// the shared ring buffer, and the receive side that waits on it. The port API drives the one
// instance in TheCommBase only through these operations.
#ifndef PM_STD_MAC_COMMBASEFORMAC_H
#define PM_STD_MAC_COMMBASEFORMAC_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "RingBuff.h"
#include "portmdl/PortMdl.h"

// Transport error codes (a code space apart from the module's).
enum {
    EI_ERR_OS = 1,      // an operating-system call on the device failed
    EI_ERR_TIMEOUT = 3, // the requested count did not arrive in time
    EI_ERR_NOTOPEN = 8, // not open (or already open) for the operation; also a negative count
    EI_ERR_WRITE = 101, // the driver or platform rejected a write
};

class EI_CommBaseForMAC {
  public:
    EI_CommBaseForMAC();
    EI_CommBaseForMAC(const EI_CommBaseForMAC&) = delete;
    EI_CommBaseForMAC& operator=(const EI_CommBaseForMAC&) = delete;

    // Virtual operations, in their fixed order.
    virtual ~EI_CommBaseForMAC();
    virtual int PM_Exit(uint32_t code);
    virtual int readBuffer(unsigned char* buf, int len);
    virtual int writeBuffer(unsigned char* buf, int len);
    virtual int SetReadTimeOut(uint32_t ms);
    virtual int SetWriteTimeOut(uint32_t ms);
    virtual uint32_t EI_GetLastError();
    virtual void EI_ClearLastError();
    virtual int internalRead() = 0;
    virtual int internalWrite(const unsigned char* buf, int len, int* sent) = 0;
    virtual int GetPortHandle() = 0;
    virtual int Close();
    virtual int internalClose() = 0;
    virtual int Open(const char* name) = 0;
    virtual int ChangeBaudRate(uint32_t code) = 0;
    virtual int ClearRTS() = 0;
    virtual int SetRTS() = 0;
    virtual int ClearDTR() = 0;
    virtual int SetDTR() = 0;
    virtual int GetPortStatus(PM_PortStatus* status) = 0;
    virtual int SetPortStatus(const PM_PortStatus* status) = 0;
    virtual int RequestChargeCommand(int on) = 0;
    virtual int GetUSBInfo(uint16_t* info) = 0;
    virtual int countBuffer();
    virtual int clearBuffer();
    // Added for hosts beyond the speed codes. SetBitRate sets rate bit/s and gives the rate the
    // line really runs at in *actual; SetFlowControl sets mode 0 none, 1 RTS/CTS, 2 XON/XOFF. Both
    // return 1 done, 0 when the device failed the change, -1 when this port cannot do it. Here: the
    // nine speed-code rates through ChangeBaudRate, and no flow control but none.
    virtual int SetBitRate(uint32_t rate, uint32_t* actual);
    virtual int SetFlowControl(int32_t mode);

    // Non-virtual operations.
    int CreateThread();
    static void* ReadThread(void* self);
    int Read(unsigned char* buf, int len, int* got);
    int Write(const unsigned char* buf, int len, int* sent);

    // A close asked for on another thread ends the host's waits early: PM_ClosePort raises the
    // request before it waits for the port and lowers it once the port is closed. Every wait on
    // the host's side (a receive, a bounded send) gives up, as at its time-out, while
    // CancelPending() holds, and polls CancelFd() too, which is readable while a close is pending.
    static void BeginCancel();
    static void EndCancel();
    static bool CancelPending();
    static int CancelFd();

    // For a transport's read pass: waits until fd (when not -1) is ready for the events, Close
    // stops the reader, or ms milliseconds pass (negative: no limit). Returns the events of fd
    // (0 when none), so a pass never holds up Close however long it waits.
    short WaitReady(int fd, short events, int ms);

    // The host's thread reads the device itself while it waits for bytes, so they reach the
    // host without a hand-over from the reader thread (a wake-up less per exchange), and the
    // reader steps aside while the host sends and receives: a thread waiting on a tty makes
    // every write to it markedly slower. DirectSource() is that device (-1: the transport has
    // none, and the reader hands every byte over).
    //
    // HoldDevice() asks the reader to step aside (a send raises it before its pause, a receive
    // before it waits); ReleaseDevice() lets it back, at once when wakeReader is set, else
    // kAsideRecheckMs after the host's last release (a one-shot timer each release sets again),
    // so a host exchanging in a loop does not pay a wake-up per exchange, and a reader aside
    // while the host waits or sleeps sleeps without a clock. Meanwhile every host-side call that takes bytes (receive, count, clear) reads
    // the device itself. The reader takes SourceLock() around each read of the device and the
    // queuing of what it read; the host reads the device only holding that lock, after moving
    // what the queue holds, so no byte overtakes another. The host only tries the lock: it never
    // waits for a reader held back by a full queue.
    virtual int DirectSource() { return -1; }
    void HoldDevice();
    void ReleaseDevice(bool wakeReader);
    bool HostHolds() const { return m_bHostHolds.load() != 0; }
    std::mutex& SourceLock() { return m_sourceMutex; }
    static constexpr int kAsideRecheckMs = 10;

  protected:
    // Waits until the reader is between passes and returns SourceLock() held, so no block the
    // reader read before the caller's discard is queued after it. A reader held back by a full
    // queue holds the lock while it waits for room: the wait makes room meanwhile, by emptying
    // the queue (discard) or by moving it into the store. Returns the lock not held when neither
    // can make room (store and queue full without discarding).
    std::unique_lock<std::mutex> waitReaderPass(bool discard);
    // Before a change that discards the device's pending input: moves into the store what the
    // device already holds, as a reader running beside the host would have queued it.
    void keepDeviceInput();
    // The reader's start pause is over (it reads the device).
    bool ReaderReading() const { return m_bReaderReading.load(std::memory_order_acquire) != 0; }

  public:

    static EI_RingBuff g_cRingBuff;

    uint32_t m_nReadTimeOut;
    uint32_t m_nWriteTimeOut;
    std::atomic<uint32_t>
        m_nLastError;                // set by failing paths of the host's and the reader's thread
    std::atomic<int32_t> m_bRunning; // the reader loops while non-zero
    pthread_t m_hThread;             // valid only while m_bHasThread
    bool m_bHasThread;
    pthread_mutex_t m_mutex;        // held by the reader around each read pass
    int32_t m_nRxTimeout;           // copied from the settings file; never read back
    int32_t m_nRxSleepTime;         // the reader's pause while the device is not open
    std::atomic<int32_t> m_bIsOpen; // the reader reads it while the host thread changes it

  private:
    // Readable once Close stops the reader; -1 while no reader exists.
    int m_nStopFd;
    // Raised by the reader once it has emptied the queue at its start (or ended at once); the
    // starter waits for it so that its own clear never overlaps the reader's.
    std::atomic<int32_t> m_bReaderStarted;
    // Raised once the reader's start pause is over: before that the host reads no device.
    std::atomic<int32_t> m_bReaderReading;
    // Raised while the host holds the device; m_bReaderAside while the reader waits aside (a hold
    // then needs no wake-up). m_nAsideFd wakes the reader to look at the hold; m_nRecheckFd, a
    // one-shot timer, wakes it kAsideRecheckMs after a release that did not.
    std::atomic<int32_t> m_bHostHolds;
    std::atomic<int32_t> m_bReaderAside;
    int m_nAsideFd;
    int m_nRecheckFd;
    std::mutex m_sourceMutex;

    bool readsDirect(); // the host may read DirectSource() now
    // Moves queued bytes into the store; while direct, reads the device too (once, or until it
    // has nothing more when drain is set) when the reader is not in a pass. Clears direct when
    // the device failed.
    void takeQueued(bool& direct, bool drain = false);
    // While the host holds the device: waits aside until it lets go or Close stops the reader.
    // Returns true when it waited.
    bool stayAside();
};

#endif
