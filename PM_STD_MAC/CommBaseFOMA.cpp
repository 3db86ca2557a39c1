#include "CommBaseFOMA.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "SysErr.h"
#include "platform/usb/UserClient.h"

namespace {

constexpr int kOpenPauseMs = 500; // the driver's client settles after the connection opens
constexpr int kClientModeFirst = 1;
constexpr int kClientModeSecond = 96;
constexpr uint32_t kRequestWord = 1; // the driver's words after each request's data
// After a failed read request the reader waits this long before the next (or until Close stops
// it): a driver that died would otherwise be asked again at once, for ever, on a whole core.
constexpr uint32_t kFailedReadPauseMs = 10;
// How long one reader turn waits for a read reply: an idle driver answers within 50 ms, and a
// turn that ends lets Close stop the reader.
constexpr int kReplyWaitMs = 50;
constexpr int kNotFound = 5;          // GetModemPath: no serial stream matches
constexpr size_t kTtyNameSize = 129; // a terminal name of at most 128 characters
constexpr int kModemPathSize = 256;

void PutWord(unsigned char* at, uint32_t value)
{
    std::memcpy(at, &value, sizeof value); // the driver takes the host's byte order
}

// The system's reason behind a driver's refusal of the open, for PM_GetSysErr: its phone is held
// by another client, its phone is not there, or it does not serve this host. Other results carry
// no reason (0).
int SysErrOfRefusal(kern_return_t result)
{
    switch (result) {
    case kIOReturnExclusiveAccess:
        return EBUSY;
    case kIOReturnNotAttached:
    case kIOReturnNoDevice:
        return ENODEV;
    case kIOReturnNotPermitted:
        return EACCES;
    default:
        return 0;
    }
}

} // namespace

EI_CommBaseFOMA::EI_CommBaseFOMA() : m_hConnect(0) {}

EI_CommBaseFOMA::~EI_CommBaseFOMA() = default;

int EI_CommBaseFOMA::Open(const char* name)
{
    if (m_bIsOpen || m_bHasThread) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    m_hConnect = 0;
    mach_port_t master = 0;
    io_iterator_t iterator = 0;
    errno = 0;
    if (name == nullptr || IOMasterPort(MACH_PORT_NULL, &master) != kIOReturnSuccess ||
        IORegistryCreateIterator(master, kIOServicePlane, kIORegistryIterateRecursively,
                                 &iterator) != kIOReturnSuccess) {
        RecordSysErr(errno); // a plane folder that is missing or cannot be read says why
        return error();
    }
    io_service_t service = 0;
    while (io_object_t entry = IOIteratorNext(iterator)) {
        if (IOObjectConformsTo(entry, name)) {
            service = entry;
            break;
        }
        IOObjectRelease(entry);
    }
    IOObjectRelease(iterator);
    if (service == 0) {
        RecordSysErr(ENOENT); // no driver serves the class in this plane
        return error();
    }
    io_connect_t connection = 0;
    errno = 0;
    kern_return_t opened = IOServiceOpen(service, mach_task_self(), 0, &connection);
    if (opened != kIOReturnSuccess) {
        // A driver the host cannot trust is refused as a missing one; the host learns why.
        RecordSysErr(UserClientRefusal()[0] != '\0' ? EPERM : errno);
    }
    IOObjectRelease(service);
    if (opened != kIOReturnSuccess) {
        return error();
    }
    m_hConnect = connection;
    m_bIsOpen = 1;
    PM_SimpleSleep(kOpenPauseMs);
    kern_return_t refused = OBEXClientOpen(connection, kClientModeFirst);
    if (refused == kIOReturnSuccess) {
        refused = OBEXClientOpen(connection, kClientModeSecond);
    }
    if (refused != kIOReturnSuccess) {
        RecordSysErr(SysErrOfRefusal(refused));
        m_bIsOpen = 0;
        IOServiceClose(connection);
        m_hConnect = 0;
        return error();
    }
    if (kern_return_t cleared = OBEXCleard(connection); cleared != kIOReturnSuccess) {
        RecordSysErr(SysErrOfRefusal(cleared)); // the phone may have gone since the open
        Close();
        return error();
    }
    SetReadTimeOut(0);
    SetWriteTimeOut(0);
    if (CreateThread() == 0) {
        // The reader's start already closed the transport; this second close only records 8.
        Close();
        return 0;
    }
    return 1;
}

int EI_CommBaseFOMA::internalRead()
{
    // One request at a time would cost a round trip to the driver per 256 bytes. While the phone
    // streams, several requests wait in the driver, so each turn of the reader finds replies ready
    // and queues them with one write.
    if (m_nReads < m_nReadWindow) {
        unsigned char request[kReadRequestSize];
        PutWord(request, kDataSize);
        PutWord(request + 4, kRequestWord);
        PutWord(request + 8, kRequestWord);
        int more = m_nReadWindow - m_nReads;
        if (UserClientSubmit(m_hConnect, kReadRequest, request, sizeof request, kReadReplySize,
                             static_cast<size_t>(more),
                             m_readTags + m_nReads) != kIOReturnSuccess) {
            WaitReady(-1, 0, static_cast<int>(kFailedReadPauseMs));
            return 0;
        }
        m_nReads += more;
    }
    // The first reply may take the driver's idle wait; it comes with those that arrived beside it.
    unsigned char replies[kMostReads][kReadReplySize];
    size_t sizes[kMostReads];
    kern_return_t results[kMostReads];
    uint64_t arrivals[kMostReads];
    size_t waiting = static_cast<size_t>(m_nReads);
    int taken = UserClientCollect(m_hConnect, m_readTags, &waiting, kReplyWaitMs, replies,
                                  kReadReplySize, sizes, results, arrivals);
    m_nReads = static_cast<int>(waiting);
    bool failed = taken < 0;
    {
        // Gathered and queued as one pass that a clear waits for: replies the driver sent before
        // a clear's are dropped, and a block held back by a full queue is not queued after it.
        std::lock_guard<std::mutex> pass(SourceLock());
        queueReplies(replies, sizes, results, arrivals, taken, failed);
    }
    if (failed) {
        WaitReady(-1, 0, static_cast<int>(kFailedReadPauseMs));
        return 0;
    }
    return 1;
}

void EI_CommBaseFOMA::queueReplies(unsigned char (*replies)[kReadReplySize], const size_t* sizes,
                                   const kern_return_t* results, const uint64_t* arrivals,
                                   int taken, bool& failed)
{
    // The bytes are gathered in the first reply's room, in order, and queued with one write.
    unsigned char* bytes = &replies[0][0];
    int got = 0;
    for (int i = 0; i < taken; ++i) {
        if (results[i] != kIOReturnSuccess || sizes[i] < 4) {
            failed = true;
            continue;
        }
        uint32_t count = 0;
        std::memcpy(&count, replies[i], sizeof count);
        // Only the bytes the reply carries are delivered, whatever its count claims.
        count = std::min(
            {count, static_cast<uint32_t>(sizes[i] - 4), static_cast<uint32_t>(kDataSize)});
        if (count == 0) {
            m_nReadWindow = 1; // the phone is quiet
        } else if (count == kDataSize) {
            m_nReadWindow = std::min(m_nReadWindow * 2, kMostReads); // more is waiting
        }
        if (arrivals[i] <= m_nClearedArrivals) {
            continue; // sent before the driver's last clear: received before the host's
        }
        std::memmove(bytes + got, replies[i] + 4, count);
        got += static_cast<int>(count);
    }
    if (got != 0) {
        writeBuffer(bytes, got);
    }
}

int EI_CommBaseFOMA::clearBuffer()
{
    // Besides what the reader queued, the bytes received before the clear are those in replies
    // the driver sent before it, collected or not, and those the driver still holds. So, with the
    // reader kept between passes, the driver drops what it holds (its clear) and every read reply
    // that arrived before the clear's own is dropped as the reader collects it; later replies
    // carry only bytes the phone sent after. Not while the reader's start pause lasts: the open
    // has just cleared the driver, and the reader empties the queue as it starts.
    std::unique_lock<std::mutex> pass = waitReaderPass(true);
    if (ReaderReading() && m_hConnect != 0 && OBEXCleard(m_hConnect) == kIOReturnSuccess) {
        m_nClearedArrivals = UserClientLastArrival();
    }
    return g_cRingBuff.Clear();
}

int EI_CommBaseFOMA::writeRequest(const unsigned char* buf, int len)
{
    unsigned char request[kWriteRequestSize];
    std::memset(request, 0, sizeof request);
    PutWord(request, static_cast<uint32_t>(len));
    std::memcpy(request + 4, buf, static_cast<size_t>(len));
    PutWord(request + 4 + kDataSize, kRequestWord);
    PutWord(request + 8 + kDataSize, kRequestWord);
    unsigned char reply[kWriteReplySize] = {};
    size_t replySize = sizeof reply;
    return IOConnectMethodStructureIStructureO(m_hConnect, kWriteRequest, request, sizeof request,
                                               reply, &replySize) == kIOReturnSuccess;
}

int EI_CommBaseFOMA::internalWrite(const unsigned char* buf, int len, int* sent)
{
    if (!m_bIsOpen) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    if (len <= 0) {
        *sent = 0;
        return 1;
    }
    // One request holds 256 bytes: longer data goes out as several requests, in order. A close
    // asked for on another thread ends the send after the request in progress, as a short send;
    // that request waits no longer than the driver's reply limit.
    int done = 0;
    while (done < len) {
        if (CancelPending()) {
            break;
        }
        int piece = std::min(len - done, kDataSize);
        if (!writeRequest(buf + done, piece)) {
            *sent = done;
            return PM_Exit(EI_ERR_WRITE);
        }
        done += piece;
    }
    *sent = done;
    return 1;
}

int EI_CommBaseFOMA::GetPortHandle()
{
    return static_cast<int>(m_hConnect);
}

int EI_CommBaseFOMA::internalClose()
{
    if (!m_bIsOpen) {
        return PM_Exit(EI_ERR_NOTOPEN);
    }
    OBEXtClose(m_hConnect);
    m_bIsOpen = 0;
    kern_return_t closed = IOServiceClose(m_hConnect);
    m_hConnect = 0;
    return closed == kIOReturnSuccess ? 1 : error();
}

// The line is the driver's business: speed, control lines and status are accepted and ignored.
int EI_CommBaseFOMA::ChangeBaudRate(uint32_t)
{
    return 1;
}

int EI_CommBaseFOMA::ClearRTS()
{
    return 1;
}

int EI_CommBaseFOMA::SetRTS()
{
    return 1;
}

int EI_CommBaseFOMA::ClearDTR()
{
    return 1;
}

int EI_CommBaseFOMA::SetDTR()
{
    return 1;
}

int EI_CommBaseFOMA::GetPortStatus(PM_PortStatus*)
{
    return 1;
}

int EI_CommBaseFOMA::SetPortStatus(const PM_PortStatus*)
{
    return 1;
}

// No AT dialogue with a cable here: charge control and cable information are not available.
int EI_CommBaseFOMA::RequestChargeCommand(int)
{
    return 0;
}

int EI_CommBaseFOMA::GetUSBInfo(uint16_t*)
{
    return 0;
}

int EI_CommBaseFOMA::error()
{
    return PM_Exit(EI_ERR_DRIVER);
}

int EI_CommBaseFOMA::GetIOKitError(int result)
{
    return result & 0x3FFF;
}

int EI_CommBaseFOMA::OBEXClientOpen(unsigned int connection, int mode)
{
    uint32_t outCount = 0;
    return IOConnectMethodScalarIScalarO(connection, kClientOpen, &mode, 1, nullptr, &outCount);
}

int EI_CommBaseFOMA::OBEXtClose(unsigned int connection)
{
    uint32_t outCount = 0;
    return IOConnectMethodScalarIScalarO(connection, kClientClose, nullptr, 0, nullptr, &outCount);
}

int EI_CommBaseFOMA::OBEXCleard(unsigned int connection)
{
    uint32_t outCount = 0;
    return IOConnectMethodScalarIScalarO(connection, kClear, nullptr, 0, nullptr, &outCount);
}

int EI_CommBaseFOMA::OBEXGetLineCoding(unsigned int connection, OBEXLineCodingParam* param)
{
    size_t size = sizeof param->bytes;
    return IOConnectMethodScalarIStructureO(connection, kGetLineCoding, nullptr, 0, param->bytes,
                                            &size);
}

int EI_CommBaseFOMA::OBEXSetLineCoding(unsigned int connection, OBEXLineCodingParam* param)
{
    return IOConnectMethodScalarIStructureI(connection, kSetLineCoding, nullptr, 0, param->bytes,
                                            sizeof param->bytes);
}

int EI_CommBaseFOMA::OBEXGetControlLineState(unsigned int connection, int* state)
{
    uint32_t outCount = 1;
    return IOConnectMethodScalarIScalarO(connection, kGetControlLineState, nullptr, 0, state,
                                         &outCount);
}

int EI_CommBaseFOMA::OBEXSetControlLineState(unsigned int connection, int state)
{
    uint32_t outCount = 0;
    return IOConnectMethodScalarIScalarO(connection, kSetControlLineState, &state, 1, nullptr,
                                         &outCount);
}

int EI_CommBaseFOMA::ModemPortOpen(const char* name, int& fd, termios* settings)
{
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    mach_port_t master = 0;
    io_iterator_t iterator = 0;
    if (IOMasterPort(MACH_PORT_NULL, &master) != kIOReturnSuccess ||
        IOServiceGetSerialStreams(master, &iterator) != kIOReturnSuccess) {
        return 0;
    }
    char path[kModemPathSize];
    int found = GetModemPath(iterator, name, path, sizeof path);
    IOObjectRelease(iterator);
    if (found != 0) {
        return 0;
    }
    int opened = ModemOpenSerialPort(path, settings);
    if (opened < 0) {
        return 0;
    }
    fd = opened;
    return 1;
}

int EI_CommBaseFOMA::GetModemPath(unsigned int iterator, const char* name, char* path, long size)
{
    if (path == nullptr || size <= 0) {
        return kNotFound;
    }
    path[0] = '\0';
    if (name == nullptr) {
        return kNotFound;
    }
    while (io_object_t service = IOIteratorNext(iterator)) {
        char tty[kTtyNameSize];
        // A name matches when the terminal name is its beginning; a nameless device matches none.
        bool match = IORegistryEntryGetStringProperty(service, "IOTTYDevice", tty, sizeof tty) &&
                     tty[0] != '\0' && std::strncmp(tty, name, std::strlen(tty)) == 0;
        if (match) {
            IORegistryEntryGetStringProperty(service, "IOCalloutDevice", path,
                                             static_cast<size_t>(size));
        }
        IOObjectRelease(service);
        if (match) {
            return 0;
        }
    }
    return kNotFound;
}

int EI_CommBaseFOMA::ModemOpenSerialPort(const char* path, termios* settings)
{
    if (path == nullptr || settings == nullptr) {
        return -1;
    }
    // Non-blocking so the open cannot wait for carrier; blocking again right after.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    termios raw;
    if (fcntl(fd, F_SETFL, 0) != 0 || tcgetattr(fd, settings) != 0) {
        close(fd);
        return -1;
    }
    raw = *settings;
    raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    raw.c_cflag |= CREAD | CLOCAL;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 10;
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int EI_CommBaseFOMA::ModemPortClose(int fd, const termios* settings)
{
    if (settings != nullptr) {
        tcsetattr(fd, TCSANOW, settings);
    }
    close(fd);
    return 1;
}

int EI_CommBaseFOMA::ModemTxBytes(int fd, int count, unsigned char* data)
{
    if (count < 0 || (count > 0 && data == nullptr)) {
        return 0;
    }
    return write(fd, data, static_cast<size_t>(count)) == count ? 1 : 0;
}

int EI_CommBaseFOMA::ModemRxBytes(int fd, int count, unsigned char* data)
{
    if (count < 0 || (count > 0 && data == nullptr)) {
        return 0;
    }
    return read(fd, data, static_cast<size_t>(count)) >= 0 ? 1 : 0;
}

bool EI_CommBaseFOMA::GetSerialNumber()
{
    return true;
}
