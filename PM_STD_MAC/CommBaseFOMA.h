// The USB modem transport: a phone modem whose driver offers a user client. Data goes only
// through numbered methods of that client: a read request that the base's reader thread repeats
// (its bytes go to the shared ring buffer) and write requests. Line speed, control lines, port
// status and charge control are not carried to the driver.
#ifndef PM_STD_MAC_COMMBASEFOMA_H
#define PM_STD_MAC_COMMBASEFOMA_H

#include <cstdint>
#include <termios.h>

#include "CommBaseForMAC.h"
#include "platform/IOReturn.h"

// Transport error code of this transport (beside the base's).
enum {
    EI_ERR_DRIVER = 103, // driver not found, its user client not opened or closed, a request failed
};

// The 8-byte record of the line-coding methods; the driver defines its fields, the transport
// passes it through unchanged.
struct OBEXLineCodingParam {
    uint8_t bytes[8];
};

class EI_CommBaseFOMA : public EI_CommBaseForMAC {
  public:
    // The method table of the driver's user client.
    enum Selector : uint32_t {
        kClientOpen = 0,
        kClientClose = 1,
        kClear = 2,
        kReadRequest = 3,
        kWriteRequest = 4,
        kGetLineCoding = 5,
        kSetLineCoding = 6,
        kGetControlLineState = 7,
        kSetControlLineState = 8,
    };
    static constexpr int kDataSize = 256;              // data bytes of one read or write request
    static constexpr int kReadRequestSize = 12;        // count, 1, 1
    static constexpr int kReadReplySize = 4 + kDataSize; // count, data
    static constexpr int kWriteRequestSize = 4 + kDataSize + 8; // count, data, 1, 1
    static constexpr int kWriteReplySize = 4;

    EI_CommBaseFOMA();
    ~EI_CommBaseFOMA() override;

    // The transport operations of EI_CommBaseForMAC that this transport implements; each
    // transport names its own, so the lists look alike.
    int internalRead() override;
    int internalWrite(const unsigned char* buf, int len, int* sent) override;
    int GetPortHandle() override; // the connection handle
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
    virtual int error();                    // PM_Exit(103)
    virtual int GetIOKitError(int result); // the low 14 bits of a platform result

    // The driver's methods; each answers the platform's result (0 success) unchanged.
    int OBEXClientOpen(unsigned int connection, int mode);
    int OBEXtClose(unsigned int connection);
    int OBEXCleard(unsigned int connection);
    int OBEXGetLineCoding(unsigned int connection, OBEXLineCodingParam* param);
    int OBEXSetLineCoding(unsigned int connection, OBEXLineCodingParam* param);
    int OBEXGetControlLineState(unsigned int connection, int* state);
    int OBEXSetControlLineState(unsigned int connection, int state);

    // The second way to the modem, through the serial device the system publishes for it; no path
    // of the port module uses these.
    int ModemPortOpen(const char* name, int& fd, termios* settings);
    int GetModemPath(unsigned int iterator, const char* name, char* path, long size);
    int ModemOpenSerialPort(const char* path, termios* settings);
    int ModemPortClose(int fd, const termios* settings);
    int ModemTxBytes(int fd, int count, unsigned char* data);
    int ModemRxBytes(int fd, int count, unsigned char* data);
    bool GetSerialNumber();

    uint32_t m_hConnect; // the open user-client connection, 0 when none

  private:
    int writeRequest(const unsigned char* buf, int len);
    // Queues the bytes of the collected read replies, in order, but those sent before the last
    // clear; raises failed for a failed reply. The reader calls it holding SourceLock().
    void queueReplies(unsigned char (*replies)[kReadReplySize], const size_t* sizes,
                      const kern_return_t* results, const uint64_t* arrivals, int taken,
                      bool& failed);

    // The reader keeps up to kMostReads read requests in the driver while data streams, and one
    // while the phone is quiet (an idle driver answers each only after its wait).
    static constexpr int kMostReads = 64;
    uint32_t m_readTags[kMostReads] = {}; // the read requests in the driver; reader thread only
    int m_nReads = 0;
    int m_nReadWindow = 1;
    // Read replies that arrived up to this number (UserClientCollect's numbering) came before
    // the driver's answer to the last clear; both threads use it holding SourceLock().
    uint64_t m_nClearedArrivals = 0;
};

#endif
