// The receive queue between a transport's reader thread (producer) and the host's receive calls
// (consumer), carried by two non-blocking pipes: the producer writes the in-pipe, the consumer moves
// the in-pipe into the out-pipe, counting, and reads the out-pipe.
#ifndef PM_STD_MAC_RINGBUFF_H
#define PM_STD_MAC_RINGBUFF_H

#include <cstdint>

class EI_RingBuff {
public:
    explicit EI_RingBuff(int size);
    ~EI_RingBuff();
    EI_RingBuff(const EI_RingBuff&) = delete;
    EI_RingBuff& operator=(const EI_RingBuff&) = delete;

    static int SetFlag(int fd);

    int Put(unsigned char* data, int len, int* put); // producer only
    int Flush();                                     // consumer side
    int Get(unsigned char* buf, int len, int* got);  // consumer side
    int Clear();                                     // consumer side (and the reader once at start)

    int32_t m_nInPipe[2];
    int32_t m_nOutPipe[2];
    int32_t m_nCount;
    unsigned char m_cBuff[16384];
    uint32_t m_nPutPos;
};

#endif
