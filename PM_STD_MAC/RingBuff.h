// The receive queue between a transport's reader thread (producer) and the host's receive calls
// (consumer), carried by two non-blocking pipes: the producer writes the in-pipe, the consumer
// moves the in-pipe into the out-pipe, counting, and reads the out-pipe.
//
// The queue never drops a byte. A full in-pipe makes Put wait for room (while its caller says so);
// a full out-pipe leaves the rest of what Flush read in a pending remainder that the next Flush
// moves first. So a full queue holds the producer back instead of throwing bytes away.
#ifndef PM_STD_MAC_RINGBUFF_H
#define PM_STD_MAC_RINGBUFF_H

#include <atomic>
#include <cstdint>

class EI_RingBuff {
  public:
    // size is not used: the pipes' capacity decides what the queue holds.
    explicit EI_RingBuff(int size);
    ~EI_RingBuff();
    EI_RingBuff(const EI_RingBuff&) = delete;
    EI_RingBuff& operator=(const EI_RingBuff&) = delete;

    static int SetFlag(int fd);

    // Producer only. Appends the block; while the in-pipe is full it waits for room as long as
    // keepWaiting is given and non-zero. *put receives the bytes queued: len, unless the wait was
    // given up or the queue has no pipes. Returns 1.
    int Put(unsigned char* data, int len, int* put,
            const std::atomic<int32_t>* keepWaiting = nullptr);
    // Consumer side. Moves what the out-pipe can take from the in-pipe; returns the bytes moved.
    int Flush();
    // Consumer side. Takes up to len bytes; *got is the count taken, or 0 or less for none.
    int Get(unsigned char* buf, int len, int* got);
    // Consumer side (and the reader once at its start). Discards everything queued; returns the
    // result of its last read, 0 or less.
    int Clear();

    // Consumer side. Pauses until the in-pipe has bytes to move or ms milliseconds pass; returns at
    // once when there is something to move already.
    void WaitForInput(int ms);

    // The most bytes the out-pipe is sure to hold, so the most that one receive can wait for.
    int32_t Capacity() const { return m_nCapacity; }

    int32_t m_nInPipe[2];  // read end, write end; -1 when the pipe could not be created
    int32_t m_nOutPipe[2]; // read end, write end; -1 when the pipe could not be created
    int32_t m_nCount;      // bytes in the out-pipe; consumer side only
    unsigned char m_cBuff[16384];
    uint32_t m_nPutPos; // producer side only

  private:
    static constexpr int kChunk = 256; // the consumer moves the pipes' bytes in pieces this size

    int32_t m_nCapacity;
    // What Flush read from the in-pipe and the out-pipe did not take yet; it goes first next time.
    unsigned char m_cPending[kChunk];
    int32_t m_nPendingPos;
    int32_t m_nPendingLen;
};

#endif
