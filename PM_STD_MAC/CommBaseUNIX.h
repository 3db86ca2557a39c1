// The serial tty transport: a terminal device opened for exclusive use in raw 8-bit mode, read by
// the base's reader thread (and by a waiting receive) in reads of up to 4096 bytes, written as the
// device takes the bytes (a send ends on a stall, not on a total), and the small AT dialogue with
// the data cable (identification numbers, charge on and off).
#ifndef PM_STD_MAC_COMMBASEUNIX_H
#define PM_STD_MAC_COMMBASEUNIX_H

#include <cstdint>
#include <sys/types.h>
#include <termios.h>

#include "CommBaseForMAC.h"

// Writes the broken-assumption diagnostic "<source>:<line>: failed assertion `PM_FALSE'" to the
// standard error stream.
void PM_WriteAssertion(const char* source, unsigned line);

class EI_CommBaseUNIX : public EI_CommBaseForMAC {
  public:
    explicit EI_CommBaseUNIX(int evenParity);
    ~EI_CommBaseUNIX() override;

    // The transport operations of EI_CommBaseForMAC that this transport implements; each
    // transport names its own, so the lists look alike.
    int internalRead() override;
    int internalWrite(const unsigned char* buf, int len, int* sent) override;
    int GetPortHandle() override; // the descriptor, -1 while not open
    int internalClose() override;
    int Open(const char* name) override;
    int ChangeBaudRate(uint32_t code) override;
    int ClearRTS() override;
    int SetRTS() override;
    int ClearDTR() override;
    int SetDTR() override;
    int GetPortStatus(PM_PortStatus* status) override;
    int SetPortStatus(const PM_PortStatus* status) override;
    int RequestChargeCommand(int on) override;
    int GetUSBInfo(uint16_t* info) override;
    int clearBuffer() override;
    int SetBitRate(uint32_t rate, uint32_t* actual) override;
    int SetFlowControl(int32_t mode) override;
    int DirectSource() override { return m_nFd; }
    virtual int SetupComm();

    int SetupCommOSX();
    uint16_t GetControlLineStatus();
    int SetControlLineStatus(uint16_t bits);
    void EnterModemMode();

    // Takes the three identification numbers out of the cable's reply to "AT!CCHK" (a terminated
    // string); 1 when all three fields were found. Slots of over-long fields stay unchanged.
    static int ParseUSBInfo(const char* reply, uint16_t* info);

    uint16_t m_nSavedLines; // modem-control bits applied at close
    termios m_savedTermios; // the device's settings found at set-up, applied again at close
    PM_PortStatus m_portStatus;
    uint16_t m_bModemMode; // 1 while the cable is taken to be in command mode
    int32_t m_nFd;         // -1 while not open (0 is a valid descriptor)
    int32_t m_nLineStatus; // modem-control bits last applied successfully (TIOCM_DTR | TIOCM_RTS)
    int32_t m_bEvenParity;
    uint32_t m_nLineRate; // bit/s the line was last set to; a send's time budget follows it

  private:
    ssize_t readAndQueue();  // one read of the device, queued; the read's result
    int failOpen();          // undoes a half-done Open; returns 0
    void releaseExclusive(); // gives back the exclusive claim if this port made it
    void drainOutput();      // waits, up to the send time-out, for the device's output to go
    bool m_bOwnExclusive;    // this port made the TIOCEXCL claim, so gives it back at close
};

#endif
