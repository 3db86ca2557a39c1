// The transport base: error code, time-outs, the reader thread and the receive side on the shared
// queue.
#include "CommBaseForMAC.h"

#include "portmdl/PortMdl.h"

EI_CommBaseForMAC::EI_CommBaseForMAC()
    : m_nReadTimeOut(0), m_nWriteTimeOut(0), m_nLastError(0), m_bRunning(0), m_hThread(),
      m_bHasThread(false), m_mutex(), m_nRxTimeout(1), m_nRxSleepTime(1), m_bIsOpen(0),
      m_bReaderStarted(0)
{
}

// Owners stop the reader and close the device through Close before they delete an open transport.
EI_CommBaseForMAC::~EI_CommBaseForMAC() = default;

int EI_CommBaseForMAC::PM_Exit(uint32_t code)
{
    if (code != 0) {
        m_nLastError = code;
    }
    return 0;
}

int EI_CommBaseForMAC::readBuffer(unsigned char* buf, int len)
{
    if (!m_bIsOpen || len < 0) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    // More than the queue can ever hold would never arrive whole: fail now, taking nothing.
    if (len > g_cRingBuff.Capacity()) {
        return PM_Exit(EI_ERR_TIMEOUT);
    }
    uint32_t deadline = MACTickCount() + m_nReadTimeOut;
    for (;;) {
        if (g_cRingBuff.m_nCount < len) {
            g_cRingBuff.Flush();
        }
        if (g_cRingBuff.m_nCount >= len) {
            int got = 0;
            g_cRingBuff.Get(buf, len, &got);
            return 1;
        }
        if (MACTickCount() > deadline) {
            return PM_Exit(EI_ERR_TIMEOUT);
        }
        // The pause between turns ends as soon as the reader queues bytes, and lasts at most a
        // millisecond: a spinning yield would take a whole core from the reader and the phone's
        // side for as long as the receive waits.
        g_cRingBuff.WaitForInput(1);
    }
}

int EI_CommBaseForMAC::writeBuffer(unsigned char* buf, int len)
{
    if (!m_bIsOpen) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    if (len <= 0) {
        return 1;
    }
    // A full queue holds the reader here until the host takes bytes or Close stops the reader.
    int put = 0;
    g_cRingBuff.Put(buf, len, &put, &m_bRunning);
    return put == len ? 1 : 0;
}

int EI_CommBaseForMAC::SetReadTimeOut(uint32_t ms)
{
    m_nReadTimeOut = ms;
    return 1;
}

int EI_CommBaseForMAC::SetWriteTimeOut(uint32_t ms)
{
    m_nWriteTimeOut = ms;
    return 1;
}

uint32_t EI_CommBaseForMAC::EI_GetLastError()
{
    return m_nLastError;
}

void EI_CommBaseForMAC::EI_ClearLastError()
{
    m_nLastError = 0;
}

int EI_CommBaseForMAC::Close()
{
    if (m_bHasThread) {
        m_bRunning = 0;
        pthread_join(m_hThread, nullptr);
        m_bHasThread = false;
        pthread_mutex_destroy(&m_mutex);
    }
    return internalClose();
}

int EI_CommBaseForMAC::countBuffer()
{
    if (!m_bIsOpen) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    g_cRingBuff.Flush();
    return g_cRingBuff.m_nCount;
}

int EI_CommBaseForMAC::clearBuffer()
{
    return g_cRingBuff.Clear();
}

int EI_CommBaseForMAC::CreateThread()
{
    pthread_mutex_init(&m_mutex, nullptr);
    m_bReaderStarted = 0;
    // The reader's first test of m_bRunning must find it raised, so it is raised before the
    // thread exists.
    m_bRunning = 1;
    if (pthread_create(&m_hThread, nullptr, ReadThread, this) != 0) {
        m_bRunning = 0;
        pthread_mutex_destroy(&m_mutex);
        Close();
        return 0;
    }
    m_bHasThread = true;
    PM_Sleep(100);
    while (!m_bReaderStarted.load(std::memory_order_acquire)) {
        PM_SimpleSleep(1);
    }
    clearBuffer();
    return 1;
}

void* EI_CommBaseForMAC::ReadThread(void* self)
{
    auto* base = static_cast<EI_CommBaseForMAC*>(self);
    if (!base->m_bIsOpen) {
        base->m_bReaderStarted.store(1, std::memory_order_release);
        return nullptr;
    }
    g_cRingBuff.Clear();
    base->m_bReaderStarted.store(1, std::memory_order_release);
    PM_Sleep(500);
    while (base->m_bRunning) {
        if (base->m_bIsOpen) {
            pthread_mutex_lock(&base->m_mutex);
            base->internalRead();
            PM_SimpleSleep(0);
            pthread_mutex_unlock(&base->m_mutex);
        } else {
            PM_Sleep(static_cast<uint32_t>(base->m_nRxSleepTime));
        }
    }
    PM_SimpleSleep(100);
    return nullptr;
}

int EI_CommBaseForMAC::Read(unsigned char* buf, int len, int* got)
{
    if (!m_bIsOpen || len < 0) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    if (len != 0 && !readBuffer(buf, len)) {
        return 0;
    }
    *got = len;
    return 1;
}

int EI_CommBaseForMAC::Write(const unsigned char* buf, int len, int* sent)
{
    // A negative count would let the transport read past the caller's buffer.
    if (len < 0) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    return internalWrite(buf, len, sent);
}
