// A transport of the tests' own: its device is a pair of pipes that the test holds the other ends
// of, playing the phone. It reads the device like the serial transport (a bounded, non-waiting
// read per pass handed to writeBuffer), records what the port API asked of it, and refuses any
// operation on request.
#ifndef TESTS_PIPETRANSPORT_H
#define TESTS_PIPETRANSPORT_H

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "CommBaseForMAC.h"

class PipeTransport : public EI_CommBaseForMAC {
  public:
    // A write handed to the device, with the send time-out the transport held at that moment.
    struct Sent {
        std::string bytes;
        uint32_t writeTimeOut;
    };

    // Everything the test can make the transport refuse or do wrong.
    struct Faults {
        bool write = false;    // internalWrite answers 0 with code 101
        int shortBy = 0;       // internalWrite reports this many bytes fewer than asked
        int refuseAfter = -1;  // internalWrite answers 0 from this write on (counted from 0)
        bool timeOuts = false; // SetReadTimeOut / SetWriteTimeOut answer 0
        bool speed = false;    // ChangeBaudRate answers 0
        bool lines = false;    // SetRTS, ClearRTS, SetDTR, ClearDTR answer 0
        bool status = false;   // GetPortStatus / SetPortStatus answer 0
        bool close = false;    // internalClose answers 0
    };

    explicit PipeTransport(int readSize = 16) : m_nReadSize(readSize)
    {
        if (pipe2(m_rx, O_CLOEXEC) != 0 || pipe2(m_tx, O_CLOEXEC) != 0) {
            m_rx[0] = m_rx[1] = m_tx[0] = m_tx[1] = -1;
        }
        fcntl(m_rx[0], F_SETFL, fcntl(m_rx[0], F_GETFL) | O_NONBLOCK);
    }

    ~PipeTransport() override
    {
        for (int fd : {m_rx[0], m_rx[1], m_tx[0], m_tx[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // The phone's ends: it writes what the transport receives and reads what it sends.
    int PhoneWriteFd() const { return m_rx[1]; }
    int PhoneReadFd() const { return m_tx[0]; }

    // Opens the device; with a reader, as the serial transport does, starting the reader thread.
    int Open(const char* /*name*/) override
    {
        if (m_bIsOpen) {
            return PM_Exit(EI_ERR_NOTOPEN);
        }
        m_bIsOpen = 1;
        return m_bWithReader ? CreateThread() : 1;
    }

    int internalRead() override
    {
        unsigned char buf[65536];
        ssize_t n = read(m_rx[0], buf, static_cast<size_t>(m_nReadSize));
        if (n > 0) {
            writeBuffer(buf, static_cast<int>(n));
        }
        return n > 0 ? 1 : 0;
    }

    int internalWrite(const unsigned char* buf, int len, int* sent) override
    {
        int index = static_cast<int>(sends.size());
        sends.push_back({std::string(reinterpret_cast<const char*>(buf), len), m_nWriteTimeOut});
        if (faults.write || (faults.refuseAfter >= 0 && index >= faults.refuseAfter)) {
            return PM_Exit(EI_ERR_WRITE);
        }
        int toWrite = len - faults.shortBy;
        if (toWrite > 0 && write(m_tx[1], buf, static_cast<size_t>(toWrite)) != toWrite) {
            return PM_Exit(EI_ERR_OS);
        }
        *sent = toWrite < 0 ? 0 : toWrite;
        return 1;
    }

    int GetPortHandle() override { return m_rx[0]; }

    int internalClose() override
    {
        m_bIsOpen = 0;
        ++closes;
        return faults.close ? PM_Exit(EI_ERR_OS) : 1;
    }

    int SetReadTimeOut(uint32_t ms) override
    {
        return faults.timeOuts ? 0 : EI_CommBaseForMAC::SetReadTimeOut(ms);
    }
    int SetWriteTimeOut(uint32_t ms) override
    {
        return faults.timeOuts ? 0 : EI_CommBaseForMAC::SetWriteTimeOut(ms);
    }

    int ChangeBaudRate(uint32_t code) override
    {
        calls.push_back("ChangeBaudRate " + std::to_string(code));
        return faults.speed ? 0 : 1;
    }
    int ClearRTS() override { return line("ClearRTS"); }
    int SetRTS() override { return line("SetRTS"); }
    int ClearDTR() override { return line("ClearDTR"); }
    int SetDTR() override { return line("SetDTR"); }
    int GetPortStatus(PM_PortStatus* status) override
    {
        if (faults.status) {
            return 0;
        }
        *status = portStatus;
        return 1;
    }
    int SetPortStatus(const PM_PortStatus* status) override
    {
        if (faults.status) {
            return 0;
        }
        portStatus = *status;
        return 1;
    }
    int RequestChargeCommand(int /*on*/) override { return 0; }
    int GetUSBInfo(uint16_t* /*info*/) override { return 0; }

    // Whether Open starts the reader thread; without it the test feeds the queue itself.
    void WithReader(bool on) { m_bWithReader = on; }

    Faults faults;
    std::vector<Sent> sends;        // host thread only
    std::vector<std::string> calls; // host thread only
    PM_PortStatus portStatus = {3, 1, 2, 8, 1, 1, 0, 0};
    int closes = 0;

  private:
    int line(const char* name)
    {
        calls.push_back(name);
        return faults.lines ? 0 : 1;
    }

    int m_nReadSize;
    bool m_bWithReader = true;
    int m_rx[2] = {-1, -1}; // phone -> transport
    int m_tx[2] = {-1, -1}; // transport -> phone
};

#endif
