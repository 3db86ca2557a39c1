// The Bluetooth RFCOMM transport: the device holder, opening the channel with its retries and
// pairing request, the receive store fed by the stack's listener, writes and serial parameters.
#include "CommBaseBluetooth.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

#include "PortMdlState.h"
#include "platform/bluetooth/BluetoothCancel.h"
#include "portmdl/PortMdl.h"

namespace {

// One RFCOMM write carries a 16-bit count.
constexpr int kMaxWrite = 65535;
// Set when the module unloads: a delivery still held by a full store then gives up, so that the
// stack's thread can end although the host never closed the port.
std::atomic<bool> g_bUnloading{false};
// How often a held delivery looks at that flag.
constexpr long kHeldWaitNs = 100L * 1000 * 1000;

constexpr int32_t kPlatformParityNone = 0, kPlatformParityOdd = 1, kPlatformParityEven = 2;

} // namespace

int32_t EI_CommBaseBluetooth::g_nLastError = 0;

// ---- the device holder

EI_CommBaseBluetooth::MyBluetoothDevice::MyBluetoothDevice()
    : m_nChannels(0), m_szServiceName(), m_nChannelID(), m_pDevice(nullptr), m_bOwnDevice(false),
      m_pChannelDevice(nullptr), m_bChannelOwnsDevice(false)
{
}

EI_CommBaseBluetooth::MyBluetoothDevice::~MyBluetoothDevice()
{
    g_bUnloading = true;
    releaseOwned();
    m_pDevice = nullptr;
}

void EI_CommBaseBluetooth::MyBluetoothDevice::releaseOwned()
{
    if (m_bOwnDevice && m_pDevice != nullptr) {
        if (m_pDevice == m_pChannelDevice) {
            m_bChannelOwnsDevice = true;
        } else {
            Bluetooth().IOBluetoothObjectRelease(m_pDevice);
        }
    }
    m_bOwnDevice = false;
}

BluetoothRef EI_CommBaseBluetooth::MyBluetoothDevice::CreateDevice(const unsigned char* address)
{
    releaseOwned();
    BluetoothDeviceAddress copy;
    std::memcpy(copy.data, address, sizeof copy.data);
    m_pDevice = Bluetooth().IOBluetoothDeviceCreateWithAddress(&copy);
    m_bOwnDevice = m_pDevice != nullptr;
    return m_pDevice;
}

void EI_CommBaseBluetooth::MyBluetoothDevice::SetActiveDevice(BluetoothRef device)
{
    releaseOwned();
    m_pDevice = device;
}

BluetoothRef EI_CommBaseBluetooth::MyBluetoothDevice::GetActiveDevice()
{
    return m_pDevice;
}

// ---- the transport

EI_CommBaseBluetooth::EI_CommBaseBluetooth(int /*unused*/)
    // The port status before the host sets one: this transport's defaults (SetupComm's).
    : m_portStatus{1, 1, 1, 8, 1, 0, 0, 0}, m_pChannel(nullptr), m_nRecvCount(0),
      m_recvMutex(), m_recvRoom(), m_bClosing(false), m_nClears(0), m_bChannelHeld(false)
{
    pthread_mutex_init(&m_recvMutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_recvRoom, &attributes);
    pthread_condattr_destroy(&attributes);
}

EI_CommBaseBluetooth::~EI_CommBaseBluetooth()
{
    // The stack must not call the listener on a freed object: a channel still open (the owner
    // deleted the transport without Close) is closed here.
    closechannel();
    endChannelDevice();
    pthread_cond_destroy(&m_recvRoom);
    pthread_mutex_destroy(&m_recvMutex);
}

int EI_CommBaseBluetooth::readBuffer(unsigned char* buf, int len)
{
    pthread_mutex_lock(&m_recvMutex);
    if (len < 0 || m_nRecvCount < len || (len > 0 && buf == nullptr)) {
        pthread_mutex_unlock(&m_recvMutex);
        g_nLastError = EI_ERR_BT_READ;
        return 0;
    }
    std::memcpy(buf, m_cRecvBuff, static_cast<size_t>(len));
    std::memmove(m_cRecvBuff, m_cRecvBuff + len, static_cast<size_t>(m_nRecvCount - len));
    m_nRecvCount -= len;
    pthread_cond_broadcast(&m_recvRoom);
    pthread_mutex_unlock(&m_recvMutex);
    return 1;
}

int EI_CommBaseBluetooth::SetReadTimeOut(uint32_t /*ms*/)
{
    return 1;
}

int EI_CommBaseBluetooth::SetWriteTimeOut(uint32_t /*ms*/)
{
    return 1;
}

uint32_t EI_CommBaseBluetooth::EI_GetLastError()
{
    return static_cast<uint32_t>(g_nLastError);
}

void EI_CommBaseBluetooth::EI_ClearLastError()
{
    g_nLastError = 0;
}

int EI_CommBaseBluetooth::internalRead()
{
    return 0;
}

int EI_CommBaseBluetooth::internalWrite(const unsigned char* buf, int len, int* sent)
{
    if (m_pChannel == nullptr) {
        g_nLastError = EI_ERR_WRITE;
        return 0;
    }
    // A count above 16 bits goes out as several writes in order, never cut. A close asked for on
    // another thread ends the send before the next write, as a short send, and ends a write held
    // by flow control too.
    BluetoothCancelScope cancellable(CancelFd());
    int total = 0;
    int offset = 0;
    do {
        if (CancelPending()) {
            break;
        }
        int piece = std::min(len - offset, kMaxWrite);
        uint32_t count = 0;
        if (Bluetooth().IOBluetoothRFCOMMChannelWriteSimple(m_pChannel, buf + offset,
                                                            static_cast<uint16_t>(piece), true,
                                                            &count) != kIOReturnSuccess) {
            g_nLastError = EI_ERR_WRITE;
            return 0;
        }
        total += static_cast<int>(std::min<uint32_t>(count, static_cast<uint32_t>(piece)));
        offset += piece;
        if (count < static_cast<uint32_t>(piece)) {
            break; // the stack took less: the caller sees the short count
        }
    } while (offset < len);
    if (sent != nullptr) {
        *sent = total;
    }
    return 1;
}

int EI_CommBaseBluetooth::GetPortHandle()
{
    return 0;
}

int EI_CommBaseBluetooth::Close()
{
    // The connection closed is the channel's device's, whatever a listing chose since.
    BluetoothRef device = g_myBluetoothDevice.m_pChannelDevice;
    closechannel();
    closedevice(device != nullptr ? device : g_myBluetoothDevice.GetActiveDevice());
    endChannelDevice();
    return 1;
}

void EI_CommBaseBluetooth::endChannelDevice()
{
    MyBluetoothDevice& holder = g_myBluetoothDevice;
    if (m_bChannelHeld) {
        if (holder.m_bChannelOwnsDevice && holder.m_pChannelDevice != nullptr) {
            Bluetooth().IOBluetoothObjectRelease(holder.m_pChannelDevice);
        }
        holder.m_bChannelOwnsDevice = false;
        holder.m_pChannelDevice = nullptr;
        m_bChannelHeld = false;
    }
}

int EI_CommBaseBluetooth::internalClose()
{
    return 0;
}

int EI_CommBaseBluetooth::Open(const char* /*name*/)
{
    return 0;
}

int EI_CommBaseBluetooth::applySerialParameters(uint32_t speed, int32_t dataBits, int32_t parity)
{
    uint8_t bits = dataBits == 7 ? 7 : 8;
    uint8_t platformParity = parity == 2   ? kPlatformParityNone
                             : parity == 3 ? kPlatformParityOdd
                                           : kPlatformParityEven;
    if (g_myBluetoothDevice.GetActiveDevice() != nullptr && m_pChannel != nullptr) {
        Bluetooth().IOBluetoothRFCOMMSetSerialParameters(m_pChannel, speed, bits, platformParity,
                                                         1);
    }
    return 1;
}

int EI_CommBaseBluetooth::ChangeBaudRate(uint32_t code)
{
    applySerialParameters(
        static_cast<uint32_t>(PM_ConvertBPS_CEValuToOSValue(static_cast<int32_t>(code))),
        m_portStatus.nDataBits, m_portStatus.nParity);
    m_portStatus.nSpeedCode = static_cast<int32_t>(code);
    return 1;
}

// RFCOMM has no line rate of its own: any rate is handed on with the channel's parameters, as a
// speed code's is.
int EI_CommBaseBluetooth::SetBitRate(uint32_t rate, uint32_t* actual)
{
    applySerialParameters(rate, m_portStatus.nDataBits, m_portStatus.nParity);
    int32_t code = speedCodeOfRate(rate);
    if (code != 0) {
        m_portStatus.nSpeedCode = code;
    }
    *actual = rate;
    return 1;
}

int EI_CommBaseBluetooth::ClearRTS()
{
    return 1;
}

int EI_CommBaseBluetooth::SetRTS()
{
    return 1;
}

int EI_CommBaseBluetooth::ClearDTR()
{
    return 1;
}

int EI_CommBaseBluetooth::SetDTR()
{
    return 1;
}

int EI_CommBaseBluetooth::GetPortStatus(PM_PortStatus* status)
{
    if (status != nullptr) {
        *status = m_portStatus;
    }
    return 1;
}

int EI_CommBaseBluetooth::SetPortStatus(const PM_PortStatus* status)
{
    if (status == nullptr) {
        return 0;
    }
    applySerialParameters(static_cast<uint32_t>(PM_ConvertBPS_CEValuToOSValue(status->nSpeedCode)),
                          status->nDataBits, status->nParity);
    m_portStatus.nSpeedCode = status->nSpeedCode;
    m_portStatus.nStopBits = 1;
    m_portStatus.nParity = status->nParity;
    m_portStatus.nDataBits = status->nDataBits;
    return 1;
}

int EI_CommBaseBluetooth::RequestChargeCommand(int /*on*/)
{
    return 0;
}

int EI_CommBaseBluetooth::GetUSBInfo(uint16_t* /*info*/)
{
    return 0;
}

int EI_CommBaseBluetooth::countBuffer()
{
    pthread_mutex_lock(&m_recvMutex);
    int count = m_nRecvCount;
    pthread_mutex_unlock(&m_recvMutex);
    return count;
}

int EI_CommBaseBluetooth::clearBuffer()
{
    pthread_mutex_lock(&m_recvMutex);
    m_nRecvCount = 0;
    ++m_nClears;
    pthread_cond_broadcast(&m_recvRoom);
    pthread_mutex_unlock(&m_recvMutex);
    return 1;
}

int EI_CommBaseBluetooth::SetupComm()
{
    if (g_myBluetoothDevice.GetActiveDevice() != nullptr && m_pChannel != nullptr) {
        Bluetooth().IOBluetoothRFCOMMSetSerialParameters(m_pChannel, 600, 8, kPlatformParityEven,
                                                         1);
    }
    m_portStatus = {1, 1, 1, 8, 1, 0, 0, 0};
    PM_ClearBuffer();
    return 1;
}

int EI_CommBaseBluetooth::OpenChannel(int index)
{
    BluetoothPlatform& bt = Bluetooth();
    BluetoothRef device = g_myBluetoothDevice.GetActiveDevice();
    if (device == nullptr) {
        g_nLastError = EI_ERR_NOTOPEN;
        return 0;
    }
    if (!bt.IOBluetoothDeviceIsConnected(device) &&
        bt.IOBluetoothDeviceOpenConnection(device, nullptr, nullptr) != kIOReturnSuccess) {
        g_nLastError = CancelPending() ? int32_t{EI_ERR_TIMEOUT} : int32_t{EI_ERR_BT_CONNECT};
        return 0;
    }
    if (index < 0 || index >= g_myBluetoothDevice.m_nChannels) {
        closedevice();
        g_nLastError = EI_ERR_NOTOPEN;
        return 0;
    }
    if (openchannel(index) || (!CancelPending() && (tryPairing(), openchannel(index)))) {
        m_bIsOpen = 1;
        g_myBluetoothDevice.m_pChannelDevice = device;
        m_bChannelHeld = true;
        return 1;
    }
    // Ended by a close on another thread: that close gives the connection back.
    if (CancelPending()) {
        g_nLastError = EI_ERR_TIMEOUT;
        return 0;
    }
    closedevice();
    g_nLastError = CancelPending() ? int32_t{EI_ERR_TIMEOUT} : int32_t{EI_ERR_BT_CHANNEL};
    return 0;
}

int EI_CommBaseBluetooth::openchannel(int index)
{
    m_pChannel = nullptr;
    if (index < 0 || index >= g_myBluetoothDevice.m_nChannels) {
        return 0;
    }
    BluetoothPlatform& bt = Bluetooth();
    for (int attempt = 0; attempt < 2 && !CancelPending(); ++attempt) {
        BluetoothRef channel = nullptr;
        if (bt.IOBluetoothDeviceOpenRFCOMMChannel(g_myBluetoothDevice.GetActiveDevice(),
                                                  g_myBluetoothDevice.m_nChannelID[index],
                                                  &channel) == kIOReturnSuccess) {
            pthread_mutex_lock(&m_recvMutex);
            m_bClosing = false;
            pthread_mutex_unlock(&m_recvMutex);
            m_pChannel = channel;
            bt.IOBluetoothRFCOMMChannelRegisterIncomingDataListener(channel, callbackDataListener,
                                                                    this);
            return 1;
        }
        // A reference a failed attempt left behind is given back before the next attempt, so
        // that none is lost.
        if (channel != nullptr) {
            bt.IOBluetoothRFCOMMChannelCloseChannel(channel);
            bt.IOBluetoothObjectRelease(channel);
        }
    }
    return 0;
}

void EI_CommBaseBluetooth::closechannel()
{
    if (m_pChannel == nullptr) {
        return;
    }
    // A delivery held by a full store gives up first: the close below waits for the listener.
    pthread_mutex_lock(&m_recvMutex);
    m_bClosing = true;
    pthread_cond_broadcast(&m_recvRoom);
    pthread_mutex_unlock(&m_recvMutex);
    BluetoothPlatform& bt = Bluetooth();
    bt.IOBluetoothRFCOMMChannelCloseChannel(m_pChannel);
    bt.IOBluetoothObjectRelease(m_pChannel);
    m_pChannel = nullptr;
}

void EI_CommBaseBluetooth::closedevice()
{
    closedevice(g_myBluetoothDevice.GetActiveDevice());
}

void EI_CommBaseBluetooth::closedevice(BluetoothRef device)
{
    if (device == nullptr) {
        return;
    }
    BluetoothPlatform& bt = Bluetooth();
    if (bt.IOBluetoothDeviceIsConnected(device)) {
        bt.IOBluetoothDeviceCloseConnection(device);
    }
    // Inside a listing or an open a close on another thread ends the closing pause; the close's
    // own pause runs out.
    if (BluetoothCancelFd() >= 0) {
        PauseUnlessClosed(2000);
    } else {
        PM_Sleep(2000);
    }
}

bool EI_CommBaseBluetooth::PauseUnlessClosed(uint32_t ms)
{
    uint32_t start = MACTickCount();
    for (;;) {
        if (CancelPending()) {
            return false;
        }
        uint32_t spent = MACTickCount() - start;
        if (spent >= ms) {
            PM_Log_SetSleepTime(ms);
            return true;
        }
        pollfd close = {CancelFd(), POLLIN, 0};
        poll(&close, 1, static_cast<int>(ms - spent));
    }
}

void EI_CommBaseBluetooth::tryPairing()
{
    BluetoothRef device = g_myBluetoothDevice.GetActiveDevice();
    if (device != nullptr) {
        Bluetooth().IOBluetoothDeviceRequestAuthentication(device);
    }
}

void EI_CommBaseBluetooth::callbackDataListener(BluetoothRef /*channel*/, void* data,
                                                unsigned short length, void* transport)
{
    if (transport == nullptr || data == nullptr) {
        return;
    }
    static_cast<EI_CommBaseBluetooth*>(transport)->deliver(static_cast<unsigned char*>(data),
                                                          length);
}

// Stores the whole chunk in order, waiting for room as long as it takes.
void EI_CommBaseBluetooth::deliver(const unsigned char* data, unsigned length)
{
    pthread_mutex_lock(&m_recvMutex);
    const uint32_t clears = m_nClears;
    while (length > 0 && !m_bClosing && m_nClears == clears) {
        unsigned room = static_cast<unsigned>(kRecvLimit - m_nRecvCount);
        if (room == 0) {
            if (g_bUnloading) {
                break;
            }
            timespec until;
            clock_gettime(CLOCK_MONOTONIC, &until);
            until.tv_nsec += kHeldWaitNs;
            if (until.tv_nsec >= 1000000000L) {
                until.tv_sec += 1;
                until.tv_nsec -= 1000000000L;
            }
            pthread_cond_timedwait(&m_recvRoom, &m_recvMutex, &until);
            continue;
        }
        unsigned n = std::min(room, length);
        std::memcpy(m_cRecvBuff + m_nRecvCount, data, n);
        m_nRecvCount += static_cast<int32_t>(n);
        data += n;
        length -= n;
    }
    pthread_mutex_unlock(&m_recvMutex);
}
