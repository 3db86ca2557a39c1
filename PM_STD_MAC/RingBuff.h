// The receive queue between a transport's reader thread (producer) and the host's receive calls
// (consumer). The producer writes a non-blocking pipe (the in-pipe); the consumer moves what the
// in-pipe holds into a fixed store of its own, counting, and takes bytes out of that store.
//
// The queue never drops a byte. A full in-pipe makes Put wait for room (while its caller says so);
// Flush never takes more from the in-pipe than the store has room for. So a full queue holds the
// producer back instead of throwing bytes away. The store's size, not the pipe sizes the system
// grants, decides how many bytes one receive can wait for.
#ifndef PM_STD_MAC_RINGBUFF_H
#define PM_STD_MAC_RINGBUFF_H

#include <atomic>
#include <cstdint>
#include <memory>

class EI_RingBuff {
  public:
    // The most bytes the queue holds counted, so the most that one receive can wait for.
    static constexpr int32_t kCapacity = 1 << 20;

    // size is not used: the store's fixed size decides what the queue holds.
    explicit EI_RingBuff(int size);
    ~EI_RingBuff();
    EI_RingBuff(const EI_RingBuff&) = delete;
    EI_RingBuff& operator=(const EI_RingBuff&) = delete;

    static int SetFlag(int fd);

    // Producer only. Appends the block; while the in-pipe is full it waits for room as long as
    // keepWaiting is given and non-zero. *put receives the bytes queued: len, unless the wait was
    // given up or the queue has no pipe. Returns 1.
    int Put(unsigned char* data, int len, int* put,
            const std::atomic<int32_t>* keepWaiting = nullptr);
    // Consumer side. Moves what the store has room for from the in-pipe; returns the bytes moved.
    int Flush();
    // Consumer side. Takes up to len bytes; *got is the count taken, or 0 or less for none.
    int Get(unsigned char* buf, int len, int* got);
    // Consumer side (and the reader once at its start). Discards everything queued; returns the
    // result of its last read, 0 or less.
    int Clear();

    // Consumer side, holding what keeps the producer off fd. Moves what the in-pipe holds, then
    // one read of fd into the store's free space: bytes still in the in-pipe are older than any on
    // fd. Returns the bytes read from fd; 0 or less when it gave none (the read's result, or 0
    // when a full store left it unread).
    int FlushThenRead(int fd);

    // Consumer side. Pauses until the in-pipe has bytes, wakeFd (when not -1) becomes readable,
    // sourceFd (when not -1) has input, or ms milliseconds pass (a negative ms waits without
    // limit). Returns at once when the store is full, since nothing could be moved then. Returns
    // false when sourceFd reported a hang-up or an error: it would end every wait.
    bool WaitForInput(int ms, int wakeFd = -1, int sourceFd = -1);

    // kCapacity, or 0 for a queue that could not be built.
    int32_t Capacity() const { return m_nCapacity; }

    int32_t m_nInPipe[2]; // read end, write end; -1 when the pipe could not be created
    int32_t m_nCount;     // bytes in the store; consumer side only
    unsigned char m_cBuff[16384];
    uint32_t m_nPutPos; // producer side only

  private:
    int32_t m_nCapacity;
    // The consumer's store: a ring of kCapacity bytes, m_nCount of them from m_nHead on.
    std::unique_ptr<unsigned char[]> m_pStore;
    int32_t m_nHead;
};

#endif
