// The USB modem cable (type 5) with the driver simulator in the plane: a whole port through the
// exported functions, the transport's open and close paths and their failures, what it answers
// without the driver, long writes, read replies that claim too much, and a driver that dies.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "CableSim.h"
#include "CommBaseFOMA.h"
#include "LogProbe.h"
#include "ModemDriverSim.h"
#include "ModemTestSupport.h"
#include "ProcessCounts.h"
#include "PortMdlState.h"
#include "SerialTestSupport.h"
#include "test_log_support.h"
#include "platform/usb/IORegistry.h"
#include "platform/usb/UserClient.h"
#include "portmdl/PortMdl.h"

using namespace std::chrono_literals;
using modemtest::kDriverClass;
using modemtest::kOk;
using modemtest::Plane;
using pmsim::ModemDriverSim;
using serialtest::SetCableType;

namespace {


std::string Bytes(int count, int seed)
{
    std::string s(static_cast<size_t>(count), '\0');
    for (int i = 0; i < count; ++i) {
        s[static_cast<size_t>(i)] = static_cast<char>((i * 13 + seed) & 0xFF);
    }
    return s;
}

const uint8_t* U(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

uint32_t Word(const std::string& s, size_t at)
{
    uint32_t w;
    std::memcpy(&w, s.data() + at, 4);
    return w;
}

// The selectors of the requests other than reads, in order.
std::vector<uint32_t> Selectors(const ModemDriverSim& driver)
{
    std::vector<uint32_t> out;
    for (const auto& r : driver.Requests()) {
        out.push_back(r.selector);
    }
    return out;
}

using Modem = modemtest::ModemTest;

} // namespace

TEST_F(Modem, OpenExchangeBothWaysAndClose)
{
    ModemDriverSim driver(plane.Dir());
    driver.AddReply("AT\r", kOk);
    int fds = proccount::Descriptors();
    LogProbe log;
    ASSERT_EQ(PM_Log_SetUserInfo(log.Folder().c_str(), "PHONE-5"), 0);

    ASSERT_EQ(PM_OpenPort(3), 1);
    EXPECT_EQ(PM_GetOpenMode(), 1);
    EXPECT_EQ(g_bIsOpen, 1);
    auto* port = static_cast<EI_CommBaseFOMA*>(TheCommBase);
    ASSERT_NE(port->m_hConnect, 0u);
    EXPECT_EQ(PM_GetPortHandle(), static_cast<int32_t>(port->m_hConnect));
    EXPECT_NE(fcntl(UserClientSocket(port->m_hConnect), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(TheCommBase->m_nReadTimeOut, 0u);
    EXPECT_EQ(TheCommBase->m_nWriteTimeOut, TheWriteTimeOut);
    // Client open in modes 1 and 96, then the clear, as the port opens.
    auto requests = driver.Requests();
    ASSERT_EQ(Selectors(driver), (std::vector<uint32_t>{0, 0, 2}));
    EXPECT_EQ(requests[0].scalars, std::vector<int32_t>{1});
    EXPECT_EQ(requests[1].scalars, std::vector<int32_t>{96});
    EXPECT_TRUE(requests[2].scalars.empty());

    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    ASSERT_EQ(PM_TxBytes(3, U("AT\r")), 1);
    uint8_t answer[6] = {};
    ASSERT_EQ(PM_RxBytes(6, answer), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), 6), kOk);
    // The write request: count, the bytes, zeros to 260, then 1 and 1.
    requests = driver.Requests();
    ASSERT_EQ(requests.back().selector, 4u);
    const std::string& write = requests.back().structure;
    ASSERT_EQ(write.size(), 268u);
    EXPECT_EQ(Word(write, 0), 3u);
    EXPECT_EQ(write.substr(4, 3), "AT\r");
    EXPECT_EQ(write.substr(7, 253), std::string(253, '\0'));
    EXPECT_EQ(Word(write, 260), 1u);
    EXPECT_EQ(Word(write, 264), 1u);

    // The phone speaks first.
    driver.Send("RING");
    uint8_t ring[4] = {};
    ASSERT_EQ(PM_RxBytes(4, ring), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ring), 4), "RING");
    EXPECT_GT(driver.ReadRequests(), 0u);

    ASSERT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(TheCommBase, nullptr);
    EXPECT_EQ(Selectors(driver).back(), 1u); // the close request
    EXPECT_TRUE(driver.WaitClients(0, 5s));
    EXPECT_EQ(proccount::Descriptors(), fds);
    std::string text = logtest::decodeLog(logtest::readFile(log.Folder() + "PM_LOG.dat"));
    size_t at = 0;
    auto scrambled = [](std::string hex) {
        return std::string(CCommLog::StrEncode(hex.data(), 0));
    };
    const std::vector<std::string> inOrder = {
        "PM_OpenPort Successful [ORVUDSCDMADriver]",
        "\nSD:" + scrambled("41540D"),
        "\nRD:" + scrambled("0D0A4F4B0D0A52494E47"), // one record: no send between
        "PortMdlLastErr(LINE) [0(0)] PortAPILastErr(LINE) [0(0)]",
        "CableType[5]PortNo[3]",
    };
    for (const std::string& piece : inOrder) {
        size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << piece << "\n" << text;
        at = found + piece.size();
    }
}

// Each failure of the transport's open leaves it closed with 103; PM_OpenPort then records 7 at
// 672 and keeps no transport.
TEST_F(Modem, OpenFailures)
{
    struct Case {
        const char* what;
        void (*setUp)(const Plane& plane, ModemDriverSim*& driver);
        std::vector<uint32_t> requests; // what the driver saw
    };
    const Case cases[] = {
        {"no plane folder",
         [](const Plane& plane, ModemDriverSim*&) {
             setenv("PM_USERCLIENT_DIR", (plane.Dir() + "/gone").c_str(), 1);
         },
         {}},
        {"no entry of the class",
         [](const Plane& plane, ModemDriverSim*& d) { d = new ModemDriverSim(plane.Dir(), "Other"); },
         {}},
        {"entry that is a regular file",
         [](const Plane& plane, ModemDriverSim*&) {
             close(open(plane.Path(kDriverClass).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
         },
         {}},
        {"socket nobody listens on",
         [](const Plane& plane, ModemDriverSim*&) { close(plane.Bind(kDriverClass)); },
         {}},
        {"first client open refused",
         [](const Plane& plane, ModemDriverSim*& d) {
             d = new ModemDriverSim(plane.Dir());
             d->SetFault(0, ModemDriverSim::Fault::Fail);
         },
         {0}},
        {"clear refused",
         [](const Plane& plane, ModemDriverSim*& d) {
             d = new ModemDriverSim(plane.Dir());
             d->SetFault(2, ModemDriverSim::Fault::Fail);
         },
         {0, 0, 2, 1}},
        {"malformed answer to the client open",
         [](const Plane& plane, ModemDriverSim*& d) {
             d = new ModemDriverSim(plane.Dir());
             d->SetFault(0, ModemDriverSim::Fault::Malformed);
         },
         {0}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Plane fresh;
        ModemDriverSim* driver = nullptr;
        k.setUp(fresh, driver);
        int fds = proccount::Descriptors();
        size_t held = IORegistryHeldCount();
        {
            EI_CommBaseFOMA transport;
            EXPECT_EQ(transport.Open(kDriverClass), 0);
            EXPECT_EQ(transport.EI_GetLastError(), 103u);
            EXPECT_EQ(transport.m_bIsOpen, 0);
            EXPECT_FALSE(transport.m_bHasThread);
        }
        if (driver != nullptr) {
            EXPECT_TRUE(driver->WaitClients(0, 5s));
            EXPECT_EQ(Selectors(*driver), k.requests);
        }
        EXPECT_EQ(proccount::Descriptors(), fds);
        EXPECT_EQ(IORegistryHeldCount(), held);

        LogProbe log;
        log.Open();
        EXPECT_EQ(PM_OpenPort(1), 0);
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
        EXPECT_EQ(TheCommBase, nullptr);
        EXPECT_EQ(g_bIsOpen, 0);
        delete driver;
    }
}

// A driver in a plane others may write to is refused as a missing one, and the host learns why
// through the system's error number; the same driver in a sound plane opens.
TEST_F(Modem, ADriverTheHostCannotTrustFailsTheOpenWithPermissionDenied)
{
    ModemDriverSim driver(plane.Dir());
    ASSERT_EQ(chmod(plane.Dir().c_str(), 0777), 0);
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(PM_GetSysErr(), EPERM);
    ASSERT_EQ(chmod(plane.Dir().c_str(), 0700), 0);
    EXPECT_EQ(PM_OpenPort(1), 1);
    EXPECT_EQ(PM_ClosePort(), 1);
}

TEST_F(Modem, OpenTwiceKeepsTheConnectionAndCloseTwiceRecordsNotOpen)
{
    ModemDriverSim driver(plane.Dir());
    driver.SetEcho(true);
    EI_CommBaseFOMA transport;
    ASSERT_EQ(transport.Open(kDriverClass), 1);
    uint32_t connection = transport.m_hConnect;
    EXPECT_EQ(transport.Open(kDriverClass), 0);
    EXPECT_EQ(transport.EI_GetLastError(), 8u);
    EXPECT_EQ(transport.m_hConnect, connection);
    EXPECT_EQ(driver.Clients(), 1u);
    transport.EI_ClearLastError();
    ASSERT_EQ(transport.Close(), 1);
    EXPECT_EQ(transport.Close(), 0);
    EXPECT_EQ(transport.EI_GetLastError(), 8u);
    int sent = -1;
    EXPECT_EQ(transport.internalWrite(U("x"), 1, &sent), 0);
    EXPECT_TRUE(driver.WaitClients(0, 5s));
}

// Speed, control lines and port status are accepted without asking the driver; charge control
// and the cable check are not available.
TEST_F(Modem, LineAndChargeOperationsNeedNoDriver)
{
    ModemDriverSim driver(plane.Dir());
    ASSERT_EQ(PM_OpenPort(1), 1);
    auto before = Selectors(driver);
    EXPECT_EQ(PM_SetBPS(8), 1);
    EXPECT_EQ(PM_SetRTS(), 1);
    EXPECT_EQ(PM_ClearRTS(), 1);
    EXPECT_EQ(PM_SetDTR(), 1);
    EXPECT_EQ(PM_ClearDTR(), 1);
    PM_PortStatus status;
    std::memset(&status, 0x5A, sizeof status);
    PM_PortStatus same = status;
    EXPECT_EQ(PM_GetPortStatus(&status), 1);
    EXPECT_EQ(std::memcmp(&status, &same, sizeof status), 0);
    PM_PortStatus wanted = {8, 1, 2, 8, 1, 1, 0, 0};
    EXPECT_EQ(PM_SetPortStatus(&wanted), 1);
    EXPECT_EQ(TheCommBase->ChangeBaudRate(3), 1);
    // A bit rate is a speed code's or none; flow control is the driver's own.
    EXPECT_EQ(PM_SetBitRate(57600), 1);
    EXPECT_EQ(PM_GetBPS(), 57600);
    EXPECT_EQ(PM_SetBitRate(250000), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
    EXPECT_EQ(PM_GetBPS(), 57600);
    EXPECT_EQ(PM_SetFlowControl(PM_FLOW_NONE), 1);
    for (int32_t mode : {PM_FLOW_RTS_CTS, PM_FLOW_XON_XOFF}) {
        PM_ClearCommErr();
        EXPECT_EQ(PM_SetFlowControl(mode), 0) << mode;
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID) << mode;
    }
    EXPECT_EQ(TheCommBase->RequestChargeCommand(1), 0);
    uint16_t info[3] = {7, 7, 7};
    EXPECT_EQ(TheCommBase->GetUSBInfo(info), 0);
    EXPECT_EQ(info[0], 7);
    EXPECT_EQ(PM_ChargeEnable(), 0);
    EXPECT_EQ(PM_IsChargableCable(info), 0);
    EXPECT_EQ(Selectors(driver), before);
    EXPECT_EQ(driver.Received(), "");
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A write longer than one request's 256 bytes goes out as several requests, whole and in order.
TEST_F(Modem, LongWriteArrivesWholeAndInOrder)
{
    ModemDriverSim driver(plane.Dir());
    driver.SetEcho(true);
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    std::string data = Bytes(1000, 3);
    ASSERT_EQ(PM_TxBytes(1000, U(data)), 1);
    EXPECT_EQ(driver.Received(), data);
    std::vector<uint32_t> counts;
    for (const auto& r : driver.Requests()) {
        if (r.selector == 4) {
            counts.push_back(Word(r.structure, 0));
        }
    }
    EXPECT_EQ(counts, (std::vector<uint32_t>{256, 256, 256, 232}));
    std::string back(1000, '\0');
    ASSERT_EQ(PM_RxBytes(1000, reinterpret_cast<uint8_t*>(back.data())), 1);
    EXPECT_EQ(back, data);

    // Zero bytes: success without a request.
    size_t writes = counts.size() + 3;
    int sent = -1;
    EXPECT_EQ(TheCommBase->Write(U(""), 0, &sent), 1);
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(driver.Requests().size(), writes);
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A read reply delivers the bytes it carries, whatever count it claims.
TEST_F(Modem, ReadRepliesDeliverOnlyTheBytesTheyCarry)
{
    ModemDriverSim driver(plane.Dir());
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    for (uint32_t claim : {300u, 0xFFFFFFFFu, 200u}) {
        SCOPED_TRACE(claim);
        driver.SetClaimedCount(claim);
        driver.Send("abcd");
        uint8_t got[4] = {};
        ASSERT_EQ(PM_RxBytes(4, got), 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 4), "abcd");
        std::this_thread::sleep_for(200ms); // several more replies, each claiming and carrying none
        EXPECT_EQ(PM_InBufferCount(), 0);
    }
    driver.SetClaimedCount(0);
    std::string full = Bytes(256 * 3, 9);
    driver.Send(full);
    std::string got(full.size(), '\0');
    ASSERT_EQ(PM_RxBytes(static_cast<int32_t>(got.size()), reinterpret_cast<uint8_t*>(got.data())),
              1);
    EXPECT_EQ(got, full);
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A stream far larger than one read request: several requests wait in the driver at once, the
// bytes still come whole and in order, and once the phone is quiet the reader is back to one
// request per driver wait.
TEST_F(Modem, StreamArrivesWholeWithReadsInFlight)
{
    ModemDriverSim driver(plane.Dir());
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_SetRxTimeout(5000), 1);
    std::string stream = Bytes(300001, 7);
    driver.Send(stream);
    std::string got;
    for (int piece : {1, 4096, 255, 65536, 300001 - 1 - 4096 - 255 - 65536}) {
        std::string part(static_cast<size_t>(piece), '\0');
        ASSERT_EQ(PM_RxBytes(piece, reinterpret_cast<uint8_t*>(part.data())), 1) << got.size();
        got += part;
    }
    EXPECT_EQ(got, stream);
    EXPECT_EQ(PM_InBufferCount(), 0);

    std::this_thread::sleep_for(200ms); // the requests still in the driver come back empty
    unsigned start = driver.ReadRequests();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(driver.ReadRequests() - start, 40u); // about 20 at one request per 50 ms
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A failed read request is not asked again at once: a driver that refuses every read gets a few
// hundred requests a second at most, not as many as a core can send.
TEST_F(Modem, FailedReadsArePaced)
{
    ModemDriverSim driver(plane.Dir());
    ASSERT_EQ(PM_OpenPort(1), 1);
    driver.SetFault(3, ModemDriverSim::Fault::Fail);
    unsigned start = driver.ReadRequests();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(driver.ReadRequests() - start, 300u);
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A driver that goes away with the port open: nothing hangs, sends fail, receives time out, and
// the close still succeeds.
TEST_F(Modem, DriverDyingWhileOpen)
{
    auto driver = std::make_unique<ModemDriverSim>(plane.Dir());
    driver->SetEcho(true);
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_SetRxTimeout(300), 1);
    driver->Die();
    EXPECT_EQ(PM_TxBytes(2, U("hi")), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_SEND);
    EXPECT_EQ(TheCommBase->EI_GetLastError(), 101u);
    uint8_t b[2];
    EXPECT_EQ(PM_RxBytes(2, b), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(TheCommBase, nullptr);
}

// Replies the protocol does not allow, to the write request of an open port: the send fails, and
// the broken connection still closes.
TEST_F(Modem, BadWriteRepliesFailTheSend)
{
    for (auto fault : {ModemDriverSim::Fault::Malformed, ModemDriverSim::Fault::Oversize,
                       ModemDriverSim::Fault::WrongTag, ModemDriverSim::Fault::Fail}) {
        SCOPED_TRACE(static_cast<int>(fault));
        Plane fresh;
        ModemDriverSim driver(fresh.Dir());
        ASSERT_EQ(PM_OpenPort(1), 1);
        driver.SetFault(4, fault);
        EXPECT_EQ(PM_TxBytes(3, U("abc")), 0);
        EXPECT_EQ(TheCommBase->EI_GetLastError(), 101u);
        EXPECT_EQ(PM_ClosePort(), 1);
        EXPECT_TRUE(driver.WaitClients(0, 5s));
    }
}

TEST_F(Modem, DriverMethodsPassTheirRecordsThrough)
{
    ModemDriverSim driver(plane.Dir());
    EI_CommBaseFOMA transport;
    ASSERT_EQ(transport.Open(kDriverClass), 1);
    unsigned c = transport.m_hConnect;
    OBEXLineCodingParam coding = {{0x80, 0x25, 0, 0, 2, 1, 7, 0}};
    EXPECT_EQ(transport.OBEXSetLineCoding(c, &coding), 0);
    EXPECT_EQ(driver.LineCoding(), std::vector<uint8_t>(coding.bytes, coding.bytes + 8));
    OBEXLineCodingParam back = {};
    EXPECT_EQ(transport.OBEXGetLineCoding(c, &back), 0);
    EXPECT_EQ(std::memcmp(back.bytes, coding.bytes, 8), 0);
    EXPECT_EQ(transport.OBEXSetControlLineState(c, 3), 0);
    int state = 0;
    EXPECT_EQ(transport.OBEXGetControlLineState(c, &state), 0);
    EXPECT_EQ(state, 3);
    EXPECT_EQ(transport.OBEXtClose(c), 0);
    driver.SetFault(7, ModemDriverSim::Fault::Fail, static_cast<int32_t>(0xE00002C2));
    EXPECT_EQ(transport.OBEXGetControlLineState(c, &state), static_cast<int>(0xE00002C2));
    EXPECT_EQ(transport.GetIOKitError(static_cast<int>(0xE00002C2)), 0x2C2);
    EXPECT_EQ(transport.error(), 0);
    EXPECT_EQ(transport.EI_GetLastError(), 103u);
    EXPECT_EQ(transport.Close(), 1);
}

// The serial-device way to the modem: the device whose terminal name begins the given name,
// opened raw with one-second reads, its settings given back at close.
TEST_F(Modem, SerialDeviceHelpers)
{
    serialtest::Registry registry;
    pmsim::CableSim cable;
    cable.SetEcho(true);
    registry.Add("usbmodem14", cable.SlavePath());
    EI_CommBaseFOMA transport;
    int fd = -1;
    termios saved{};
    EXPECT_EQ(transport.ModemPortOpen("", fd, &saved), 0);
    EXPECT_EQ(transport.ModemPortOpen("usbserial", fd, &saved), 0);
    EXPECT_EQ(transport.ModemPortOpen("usbmodem", fd, &saved), 0); // "usbmodem14" is no beginning of it
    ASSERT_EQ(transport.ModemPortOpen("usbmodem1411", fd, &saved), 1);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ISIG | ECHO | ECHOE), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 10);
    unsigned char out[] = {'p', 'i', 'n', 'g'};
    EXPECT_EQ(transport.ModemTxBytes(fd, 4, out), 1);
    ASSERT_TRUE(cable.WaitReceived(4, 5s));
    unsigned char in[4] = {};
    EXPECT_EQ(transport.ModemRxBytes(fd, 4, in), 1);
    EXPECT_EQ(transport.ModemTxBytes(fd, -1, out), 0);
    EXPECT_EQ(transport.ModemPortClose(fd, &saved), 1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_TRUE(transport.GetSerialNumber());

    char path[256] = "x";
    mach_port_t master = 0;
    io_iterator_t it = 0;
    ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &master), kIOReturnSuccess);
    ASSERT_EQ(IOServiceGetSerialStreams(master, &it), kIOReturnSuccess);
    EXPECT_EQ(transport.GetModemPath(it, "nothing", path, sizeof path), 5);
    EXPECT_STREQ(path, "");
    IOObjectRelease(it);
}
