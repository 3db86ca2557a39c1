// The Bluetooth RFCOMM transport, the module-wide device holder with its table of usable
// channels, and the channel listing that fills it (BluetoothSelect.cpp).
//
// The transport has no reader thread: the stack calls callbackDataListener on a thread of its own
// with each chunk received, and the host's thread reads from the transport's own receive store.
#ifndef PM_STD_MAC_COMMBASEBLUETOOTH_H
#define PM_STD_MAC_COMMBASEBLUETOOTH_H

#include <cstdint>
#include <pthread.h>

#include "CommBaseForMAC.h"
#include "platform/bluetooth/Bluetooth.h"

// Transport error codes of their own.
enum {
    EI_ERR_BT_CONNECT = 5,   // the baseband connection to the device failed
    EI_ERR_BT_CHANNEL = 7,   // the RFCOMM channel did not open (or the listing found none)
    EI_ERR_BT_READ = 102,    // fewer bytes stored than requested
};

class EI_CommBaseBluetooth : public EI_CommBaseForMAC {
  public:
    static constexpr int kMaxChannels = 5;
    static constexpr int kServiceNameSize = 128;
    static constexpr int kRecvBuffSize = 102400;
    // The store holds one byte less than its size.
    static constexpr int kRecvLimit = kRecvBuffSize - 1;

    class MyBluetoothDevice {
      public:
        MyBluetoothDevice();
        ~MyBluetoothDevice();
        MyBluetoothDevice(const MyBluetoothDevice&) = delete;
        MyBluetoothDevice& operator=(const MyBluetoothDevice&) = delete;

        BluetoothRef CreateDevice(const unsigned char* address);
        void SetActiveDevice(BluetoothRef device);
        BluetoothRef GetActiveDevice();

        int32_t m_nChannels;
        char m_szServiceName[kMaxChannels][kServiceNameSize];
        uint8_t m_nChannelID[kMaxChannels];
        BluetoothRef m_pDevice;
        bool m_bOwnDevice;
        // The device an open channel runs on. A listing meanwhile neither disconnects nor releases
        // it: a reference the holder would release passes to the channel, which releases it when
        // it closes.
        BluetoothRef m_pChannelDevice;
        bool m_bChannelOwnsDevice;

      private:
        void releaseOwned();
    };

    explicit EI_CommBaseBluetooth(int unused);
    ~EI_CommBaseBluetooth() override;

    int readBuffer(unsigned char* buf, int len) override;
    // The transport operations of EI_CommBaseForMAC that this transport implements; each
    // transport names its own, so the lists look alike.
    int SetReadTimeOut(uint32_t ms) override;
    int SetWriteTimeOut(uint32_t ms) override;
    uint32_t EI_GetLastError() override;
    void EI_ClearLastError() override;
    int internalRead() override;
    int internalWrite(const unsigned char* buf, int len, int* sent) override;
    int GetPortHandle() override;
    int Close() override;
    int internalClose() override;
    int Open(const char* name) override;
    int ChangeBaudRate(uint32_t code) override;
    int SetBitRate(uint32_t rate, uint32_t* actual) override;
    int ClearRTS() override;
    int SetRTS() override;
    int ClearDTR() override;
    int SetDTR() override;
    int GetPortStatus(PM_PortStatus* status) override;
    int SetPortStatus(const PM_PortStatus* status) override;
    int RequestChargeCommand(int on) override;
    int GetUSBInfo(uint16_t* info) override;
    int countBuffer() override;
    int clearBuffer() override;
    virtual int SetupComm();

    int OpenChannel(int index);
    int openchannel(int index);
    void closechannel();
    static void closedevice();
    static void closedevice(BluetoothRef device);
    void endChannelDevice(); // the channel no longer holds its device
    static void tryPairing();
    // Pauses for ms, logged as PM_Sleep logs it, unless a close is asked for on another thread,
    // which ends the pause at once; false then. A caught signal does not end it.
    static bool PauseUnlessClosed(uint32_t ms);
    static void callbackDataListener(BluetoothRef channel, void* data, unsigned short length,
                                     void* transport);

    // The channel listing (BluetoothSelect.cpp).
    using ProgressCallback = int (*)(const char* text, int, int);
    static int CountChannels(unsigned char* address, ProgressCallback progress);
    static int opendevice(unsigned char* address, int* count, ProgressCallback progress);
    static void dumpNameAttributes(BluetoothRef record, char* buffer, int length);
    static void dumpDataElement(BluetoothRef element, char* buffer, int length);
    static int okCancelAlert(const char* text);
    static void callbackSDPQuery(void* flag, BluetoothRef device, int status);

    static MyBluetoothDevice g_myBluetoothDevice;
    static int32_t g_nLastError;

    PM_PortStatus m_portStatus;
    BluetoothRef m_pChannel;
    unsigned char m_cRecvBuff[kRecvBuffSize];
    int32_t m_nRecvCount;

  private:
    int applySerialParameters(uint32_t speed, int32_t dataBits, int32_t parity);
    void deliver(const unsigned char* data, unsigned length);

    // The store is filled on the stack's thread and read on the host's. A full store holds the
    // delivering thread until the host takes bytes or the channel closes.
    pthread_mutex_t m_recvMutex;
    pthread_cond_t m_recvRoom;
    bool m_bClosing; // the channel is closing: a held delivery gives up
    // Counts the clears; a delivery held by a full store drops the rest of its chunk when a clear
    // came meanwhile, since those bytes arrived before the clear.
    uint32_t m_nClears;
    bool m_bChannelHeld; // this transport's open channel holds the holder's channel device
};

#endif
