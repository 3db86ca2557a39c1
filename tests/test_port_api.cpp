#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "LogProbe.h"
#include "PipeTransport.h"
#include "PortLock.h"
#include "PortMdlState.h"

namespace {

const LogSlots kNoSlots = {0, 0, 0, 0};

std::string str(const uint8_t* p, size_t n)
{
    return std::string(reinterpret_cast<const char*>(p), n);
}

const uint8_t* bytes(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

std::string phoneReads(PipeTransport& t, size_t n)
{
    std::string got(n, '\0');
    size_t at = 0;
    while (at < n) {
        ssize_t r = read(t.PhoneReadFd(), got.data() + at, n - at);
        if (r <= 0) {
            break;
        }
        at += static_cast<size_t>(r);
    }
    got.resize(at);
    return got;
}

// A port opened on the tests' transport, with a log communication to read the records and the
// error slots from. Without the reader the test feeds the queue itself.
class Port : public ::testing::Test {
  protected:
    void SetUp() override { install(false); }
    void TearDown() override
    {
        if (TheCommBase != nullptr) {
            TheCommBase->Close();
            delete TheCommBase;
            TheCommBase = nullptr;
        }
    }

    void install(bool withReader, int readSize = 16)
    {
        t = new PipeTransport(readSize);
        t->WithReader(withReader);
        ASSERT_EQ(t->Open("pipe"), 1);
        TheCommBase = t;
        PM_ClearBuffer();
        ASSERT_EQ(PM_SetTxTimeout(TheWriteTimeOut), 1);
        log.Open();
    }

    void feed(std::string s)
    {
        ASSERT_EQ(
            t->writeBuffer(reinterpret_cast<unsigned char*>(s.data()), static_cast<int>(s.size())),
            1);
    }

    void chunked()
    {
        const int32_t env[2] = {10, 0};
        ASSERT_EQ(PM_SetInfo(env), 1);
        log.Open(); // PM_SetInfo ends the log output until the next communication
    }

    PipeTransport* t = nullptr;
    LogProbe log;
};

} // namespace

TEST(PortState, StartsWithTheInitialValues)
{
    EXPECT_EQ(PM_GetOpenMode(), 0);
    EXPECT_EQ(PM_GetCommErr(), 0);
    EXPECT_EQ(PM_IsErrTimeOut(), 0);
    EXPECT_EQ(PM_GetTxTimeout(), 500u);
    EXPECT_EQ(PM_GetRxTimeout(), 500u);
    EXPECT_EQ(PM_GetPortHandle(), -1);
    EXPECT_EQ(PM_GetBPS(), 600);
    EXPECT_EQ(PM_CountPorts(), 1);
    EXPECT_EQ(PM_GetPortName(nullptr), 1);
}

TEST(PortState, WithoutAPortEveryTransportFunctionRecordsEightAtItsLine)
{
    LogProbe log;
    log.Open();
    uint8_t buf[4] = {7, 7, 7, 7};
    PM_PortStatus status = {};
    struct Case {
        const char* name;
        std::function<int32_t()> call;
        int32_t line;
    };
    const Case cases[] = {
        {"PM_TxBytes", [&] { return PM_TxBytes(4, buf); }, 760},
        {"PM_TxByte", [&] { return PM_TxByte(1); }, 760},
        {"PM_RxBytes", [&] { return PM_RxBytes(4, buf); }, 873},
        {"PM_RxByte", [&] { return PM_RxByte(buf); }, 873},
        {"PM_InBufferCount", [&] { return PM_InBufferCount(); }, 898},
        {"PM_ClearBuffer", [&] { return PM_ClearBuffer(); }, 909},
        {"PM_SetRTS", [&] { return PM_SetRTS(); }, 946},
        {"PM_ClearRTS", [&] { return PM_ClearRTS(); }, 965},
        {"PM_SetDTR", [&] { return PM_SetDTR(); }, 984},
        {"PM_ClearDTR", [&] { return PM_ClearDTR(); }, 1003},
        {"PM_GetPortStatus", [&] { return PM_GetPortStatus(&status); }, 1022},
        {"PM_SetPortStatus", [&] { return PM_SetPortStatus(&status); }, 1038},
        {"PM_SetBitRate", [&] { return PM_SetBitRate(250000); }, 1801},
        {"PM_SetFlowControl", [&] { return PM_SetFlowControl(PM_FLOW_NONE); }, 1811},
    };
    for (const auto& c : cases) {
        PM_ClearCommErr();
        EXPECT_EQ(c.call(), 0) << c.name;
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID) << c.name;
        EXPECT_EQ(log.Slots(), (LogSlots{8, c.line, 0, 0})) << c.name;
        EXPECT_EQ(PM_GetErrLine(), c.line) << c.name;
    }
    EXPECT_EQ(buf[0], 7);

    // The exceptions: setters refuse quietly, the speed is "set", the handle is -1.
    PM_ClearCommErr();
    EXPECT_EQ(PM_SetTxTimeout(100), 0);
    EXPECT_EQ(PM_SetRxTimeout(100), 0);
    EXPECT_EQ(PM_GetTxTimeout(), 500u);
    EXPECT_EQ(PM_GetRxTimeout(), 500u);
    EXPECT_EQ(PM_SetBPS(8), 1);
    EXPECT_EQ(PM_GetBPS(), 600);
    EXPECT_EQ(PM_GetPortHandle(), -1);
    EXPECT_EQ(PM_Log_TimeOutInBuf(500, 2), 3);
    EXPECT_EQ(PM_GetCommErr(), 0);
    EXPECT_EQ(log.Text().find("TimeoutErr"), std::string::npos);
}

// Calls that do not run at the same time read as from one thread, whichever threads make them:
// what a call begun after this thread's last call ended records (a failure, a clear) is what this
// thread reads.
TEST(PortState, AFailureOrClearByALaterCallOnAnotherThreadIsReadOnThisOne)
{
    PM_ClearCommErr();
    std::thread([] { EXPECT_EQ(PM_InBufferCount(), 0); }).join();
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
    EXPECT_EQ(PM_GetErrLine(), PM_LINE_INBUFFER_NOPORT);
    std::thread([] { PM_ClearCommErr(); }).join();
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_NONE);
    EXPECT_EQ(PM_GetErrLine(), 0);
}

// A close begun while another thread's call holds the port (it asks that call to end, then waits
// for the port) ran beside that call: its own "no port" is read on its own thread, and the other
// thread still reads its call's time-out after the close has returned.
TEST(PortState, ACloseBesideAnotherThreadsCallLeavesThatThreadItsOwnFailure)
{
    using namespace std::chrono_literals;
    std::promise<void> holding;
    std::promise<void> closed;
    auto call = std::async(std::launch::async, [&holding, done = closed.get_future()] {
        {
            PortLock port; // a call that ends as a time-out when a close asks it to
            holding.set_value();
            auto deadline = std::chrono::steady_clock::now() + 30s;
            while (!EI_CommBaseForMAC::CancelPending() &&
                   std::chrono::steady_clock::now() < deadline) {
                PM_SimpleSleep(1);
            }
            setPortMdlErr(PM_ERR_TIMEOUT, PM_LINE_RX_FAILED);
        }
        done.wait_for(30s);
        return std::vector<int32_t>{PM_GetCommErr(), PM_GetErrLine(), PM_IsErrTimeOut()};
    });
    holding.get_future().wait();
    EXPECT_EQ(PM_ClosePort(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
    EXPECT_EQ(PM_GetErrLine(), PM_LINE_CLOSE);
    closed.set_value();
    EXPECT_EQ(call.get(), (std::vector<int32_t>{PM_ERR_TIMEOUT, PM_LINE_RX_FAILED, 1}));
}

TEST_F(Port, RefusedLineAndStatusOperationsRecordBothSlots)
{
    t->faults.lines = true;
    t->faults.status = true;
    t->faults.speed = true;
    PM_PortStatus status = {};
    struct Case {
        const char* name;
        std::function<int32_t()> call;
        int32_t apiLine;
    };
    const Case cases[] = {
        {"PM_SetRTS", PM_SetRTS, 951},
        {"PM_ClearRTS", PM_ClearRTS, 970},
        {"PM_SetDTR", PM_SetDTR, 989},
        {"PM_ClearDTR", PM_ClearDTR, 1008},
        {"PM_GetPortStatus", [&] { return PM_GetPortStatus(&status); }, 1027},
        {"PM_SetPortStatus", [&] { return PM_SetPortStatus(&status); }, 1043},
        {"PM_SetBitRate", [&] { return PM_SetBitRate(115200); }, 1804},
    };
    for (const auto& c : cases) {
        PM_ClearCommErr();
        EXPECT_EQ(c.call(), 0) << c.name;
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_TRANSPORT) << c.name;
        EXPECT_EQ(log.Slots(), (LogSlots{14, c.apiLine + 1, 103, c.apiLine})) << c.name;
        EXPECT_EQ(PM_GetErrLine(), c.apiLine + 1) << c.name; // the module's, not the API's
    }
    std::string text = log.Text();
    for (const char* record : {"\nSetRTS", "\nClearRTS", "\nSetDTR", "\nClearDTR"}) {
        EXPECT_EQ(text.find(record), std::string::npos) << record;
    }
    EXPECT_EQ(TheCommSetBps, 1u);
}

TEST_F(Port, RefusedSpeedAndTimeOutsRecordOnlyTheModuleSlot)
{
    struct Case {
        const char* name;
        std::function<int32_t()> call;
        int32_t line;
    };
    const Case cases[] = {
        {"PM_SetBPS", [] { return PM_SetBPS(8); }, 928},
        {"PM_SetTxTimeout", [] { return PM_SetTxTimeout(900); }, 1061},
        {"PM_SetRxTimeout", [] { return PM_SetRxTimeout(900); }, 1077},
    };
    t->faults.speed = true;
    t->faults.timeOuts = true;
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), 0) << c.name;
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_TRANSPORT) << c.name;
        EXPECT_EQ(log.Slots(), (LogSlots{14, c.line, 0, 0})) << c.name;
        EXPECT_EQ(PM_GetErrLine(), c.line) << c.name;
    }
    EXPECT_EQ(PM_GetBPS(), 600);
    EXPECT_EQ(PM_GetTxTimeout(), 500u);
    EXPECT_EQ(PM_GetRxTimeout(), 500u);
    EXPECT_EQ(log.Text().find("CommSpeed"), std::string::npos);
}

TEST_F(Port, LineChangesReachTheTransportAndTheLog)
{
    EXPECT_EQ(PM_SetDTR(), 1);
    EXPECT_EQ(PM_ClearDTR(), 1);
    EXPECT_EQ(PM_SetRTS(), 1);
    EXPECT_EQ(PM_ClearRTS(), 1);
    EXPECT_EQ(t->calls, (std::vector<std::string>{"SetDTR", "ClearDTR", "SetRTS", "ClearRTS"}));
    EXPECT_NE(log.Text().find("\nSetDTR\nClearDTR\nSetRTS\nClearRTS"), std::string::npos);
    EXPECT_EQ(log.Slots(), kNoSlots);
}

TEST(PortSpeed, CodesConvertByTheTableAndOthersRecordEight)
{
    LogProbe log;
    log.Open();
    const int32_t rates[] = {600, 2400, 9600, 14400, 19200, 38400, 57600, 115200, 230400};
    for (int32_t code = 1; code <= 9; ++code) {
        EXPECT_EQ(PM_ConvertBPS_CEValuToOSValue(code), rates[code - 1]);
    }
    EXPECT_EQ(PM_GetCommErr(), 0);
    for (int32_t code : {0, 10, -1}) {
        PM_ClearCommErr();
        EXPECT_EQ(PM_ConvertBPS_CEValuToOSValue(code), 0) << code;
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID) << code;
        EXPECT_EQ(log.Slots(), (LogSlots{8, 1356, 0, 0})) << code;
    }
}

TEST_F(Port, SpeedIsRememberedAndLoggedAcrossClose)
{
    EXPECT_EQ(PM_SetBPS(8), 1);
    EXPECT_EQ(t->calls.back(), "ChangeBaudRate 8");
    EXPECT_NE(log.Text().find("\nSet CommSpeed [115200]bps\n"), std::string::npos);
    EXPECT_EQ(PM_GetBPS(), 115200);
    TearDown();
    EXPECT_EQ(PM_GetBPS(), 115200);
}

// A code outside the table that the transport accepts is kept; the conversion records 8.
TEST_F(Port, AcceptedUnknownSpeedIsKeptAndLoggedAsZero)
{
    EXPECT_EQ(PM_SetBPS(12), 1);
    EXPECT_EQ(TheCommSetBps, 12u);
    EXPECT_NE(log.Text().find("Set CommSpeed [0]bps"), std::string::npos);
    EXPECT_EQ(PM_GetBPS(), 0);
    EXPECT_EQ(log.Slots(), (LogSlots{8, 1356, 0, 0}));
}

// A getter never waits for the port, for a kept code outside the table too, and records nothing
// that could overwrite another thread's failure.
TEST_F(Port, SpeedReadsWithoutWaitingForThePortEvenForAnUnknownCode)
{
    ASSERT_EQ(PM_SetBPS(12), 1);
    PM_ClearCommErr();
    std::promise<void> held, release;
    std::thread holder([&] {
        PortLock port;
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    auto answer = std::async(std::launch::async, [] { return PM_GetBPS(); });
    const bool answered = answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    release.set_value();
    holder.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(answer.get(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_NONE);
}

TEST_F(Port, PortStatusRoundTripsAndSetsTheSpeed)
{
    PM_PortStatus status = {3, 2, 3, 7, 0, 1, 11, 12};
    EXPECT_EQ(PM_SetPortStatus(&status), 1);
    EXPECT_EQ(PM_GetBPS(), 9600);
    PM_PortStatus back = {};
    EXPECT_EQ(PM_GetPortStatus(&back), 1);
    EXPECT_EQ(back.nOption2, 12);
    EXPECT_EQ(back.nDataBits, 7);

    EXPECT_EQ(PM_GetPortStatus(nullptr), 0);
    EXPECT_EQ(log.Slots(), (LogSlots{8, 1023, 0, 0}));
    EXPECT_EQ(PM_SetPortStatus(nullptr), 0);
    EXPECT_EQ(log.Slots(), (LogSlots{8, 1039, 0, 0}));
    EXPECT_EQ(PM_GetBPS(), 9600);
}

TEST(PortTransfer, WriteTimeOutFollowsCountAndSpeed)
{
    struct Case {
        uint32_t speedCode;
        int32_t count;
        uint32_t current;
        uint32_t expected;
    };
    const Case cases[] = {
        {1, 1, 0, 218},     {1, 10, 0, 383},    {1, 50, 0, 1116},
        {1, 100, 0, 2033},  {2, 50, 0, 429},    {2, 1000, 0, 4783},
        {3, 50, 0, 257},    {3, 1000, 0, 1345}, {1, 10, 500, 500},
        {1, 50, 500, 1116}, {4, 100000, 7, 7},  {9, 1000, 500, 500},
        {1, 0, 0, 200},     {0, 50, 0, 200},    {1, INT32_MAX, 0, UINT32_MAX},
    };
    for (const auto& c : cases) {
        TheCommSetBps = c.speedCode;
        EXPECT_EQ(calcWriteTimeOut(c.count, c.current), c.expected)
            << "code " << c.speedCode << " count " << c.count;
    }
}

TEST_F(Port, SendRunsWithItsOwnTimeOutAndSetsItBack)
{
    std::string ten(10, 'a'), fifty(50, 'b');
    EXPECT_EQ(PM_TxBytes(10, bytes(ten)), 1);
    EXPECT_EQ(PM_TxBytes(50, bytes(fifty)), 1);
    ASSERT_EQ(t->sends.size(), 2u);
    EXPECT_EQ(t->sends[0].writeTimeOut, 500u);
    EXPECT_EQ(t->sends[1].writeTimeOut, 1116u);
    EXPECT_EQ(PM_GetTxTimeout(), 500u);
    EXPECT_EQ(t->m_nWriteTimeOut, 500u);
    EXPECT_EQ(phoneReads(*t, 60), ten + fifty);
    EXPECT_NE(log.Text().find("\nSD:" + LogProbe::Traffic(ten + fifty)), std::string::npos);

    // From speed code 4 on the time-out is never raised.
    ASSERT_EQ(PM_SetBPS(4), 1);
    std::string many(1000, 'c');
    EXPECT_EQ(PM_TxBytes(1000, bytes(many)), 1);
    EXPECT_EQ(t->sends.back().writeTimeOut, 500u);
    EXPECT_EQ(log.Slots(), kNoSlots);
}

TEST_F(Port, ChunkedSendGoesOutInPiecesOfFifty)
{
    chunked();
    std::string data;
    for (int i = 0; i < 120; ++i) {
        data += static_cast<char>(i);
    }
    EXPECT_EQ(PM_TxBytes(120, bytes(data)), 1);
    ASSERT_EQ(t->sends.size(), 3u);
    EXPECT_EQ(t->sends[0].bytes, data.substr(0, 50));
    EXPECT_EQ(t->sends[1].bytes, data.substr(50, 50));
    EXPECT_EQ(t->sends[2].bytes, data.substr(100));
    EXPECT_EQ(t->sends[0].writeTimeOut, 1116u);
    EXPECT_EQ(t->sends[2].writeTimeOut, 566u);
    EXPECT_EQ(PM_GetTxTimeout(), 500u);
    EXPECT_EQ(phoneReads(*t, 120), data);
    EXPECT_NE(log.Text().find("\nSD:" + LogProbe::Traffic(data)), std::string::npos);

    EXPECT_EQ(PM_TxBytes(50, bytes(data)), 1);
    EXPECT_EQ(t->sends.size(), 4u);
}

TEST_F(Port, FailedSendsRecordTheirCodeAndLine)
{
    struct Case {
        bool chunked;
        PipeTransport::Faults faults;
        int32_t code;
        int32_t line;
        size_t sendsTried;
    };
    const Case cases[] = {
        {false, {.write = true}, PM_ERR_SEND, 815, 1},
        {false, {.shortBy = 1}, PM_ERR_TIMEOUT, 824, 1},
        {true, {.refuseAfter = 1}, PM_ERR_SEND, 790, 2},
        {true, {.shortBy = 1}, PM_ERR_TIMEOUT, 797, 1},
    };
    std::string data(70, 'x');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.chunked) {
            chunked();
        }
        t->faults = c.faults;
        t->sends.clear();
        EXPECT_EQ(PM_TxBytes(70, bytes(data)), 0);
        EXPECT_EQ(PM_GetCommErr(), c.code);
        EXPECT_EQ(PM_IsErrTimeOut(), c.code == PM_ERR_TIMEOUT ? 1 : 0);
        EXPECT_EQ(log.Slots(), (LogSlots{c.code, c.line, 0, 0}));
        EXPECT_EQ(PM_GetErrLine(), c.line);
        EXPECT_EQ(t->sends.size(), c.sendsTried);
        EXPECT_EQ(PM_GetTxTimeout(), 500u);
        EXPECT_EQ(t->m_nWriteTimeOut, 500u);
        EXPECT_EQ(log.Text().find("SD:"), std::string::npos);
    }
}

// A send's own time-out that the transport refuses is recorded but does not stop the send.
TEST_F(Port, RefusedSendTimeOutIsRecordedAndTheSendGoesOn)
{
    t->faults.timeOuts = true;
    EXPECT_EQ(PM_TxBytes(3, bytes("AT\r")), 1);
    EXPECT_EQ(phoneReads(*t, 3), "AT\r");
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TRANSPORT);
    EXPECT_EQ(log.Slots(), (LogSlots{14, 1061, 0, 0}));
    EXPECT_NE(log.Text().find("\nSD:" + LogProbe::Traffic("AT\r")), std::string::npos);
}

TEST_F(Port, SendWithUnknownSpeedCodeStillSendsAndRecordsEight)
{
    TheCommSetBps = 0;
    EXPECT_EQ(PM_TxBytes(3, bytes("AT\r")), 1);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
    EXPECT_EQ(log.Slots(), (LogSlots{8, 1356, 0, 0}));
    EXPECT_EQ(t->sends.at(0).writeTimeOut, 500u);
}

TEST_F(Port, EmptyTransfersSucceedWithoutLogging)
{
    for (bool isChunked : {false, true}) {
        if (isChunked) {
            chunked();
        }
        EXPECT_EQ(PM_TxBytes(0, nullptr), 1);
        EXPECT_EQ(PM_RxBytes(0, nullptr), 1);
        std::string text = log.Text();
        EXPECT_EQ(text.find("SD:"), std::string::npos);
        EXPECT_EQ(text.substr(text.size() - 4), "\nRD:"); // nothing after the opening's prefix
    }
    EXPECT_EQ(PM_GetCommErr(), 0);
}

// Counts below 0 and missing buffers are refused before anything is sent or taken.
TEST_F(Port, BadCountsAndBuffersAreRefusedWithEight)
{
    feed("abc");
    uint8_t buf[4] = {9, 9, 9, 9};
    for (bool isChunked : {false, true}) {
        if (isChunked) {
            chunked();
        }
        struct Case {
            std::function<int32_t()> call;
            int32_t line;
        };
        const Case cases[] = {
            {[&] { return PM_TxBytes(-1, buf); }, 761},
            {[&] { return PM_TxBytes(INT32_MIN, buf); }, 761},
            {[&] { return PM_TxBytes(5, nullptr); }, 761},
            {[&] { return PM_RxBytes(-3, buf); }, 874},
            {[&] { return PM_RxBytes(2, nullptr); }, 874},
            {[&] { return PM_RxByte(nullptr); }, 874},
        };
        for (const auto& c : cases) {
            PM_ClearCommErr();
            EXPECT_EQ(c.call(), 0) << c.line;
            EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
            EXPECT_EQ(log.Slots(), (LogSlots{8, c.line, 0, 0}));
        }
    }
    EXPECT_TRUE(t->sends.empty());
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(PM_InBufferCount(), 3);
}

TEST_F(Port, ReceiveTakesExactCountsAndLogsThem)
{
    feed("OK\r\nrest");
    uint8_t buf[8] = {};
    EXPECT_EQ(PM_RxBytes(4, buf), 1);
    EXPECT_EQ(str(buf, 4), "OK\r\n");
    EXPECT_EQ(PM_RxByte(buf), 1);
    EXPECT_EQ(buf[0], 'r');
    EXPECT_EQ(PM_InBufferCount(), 3);
    EXPECT_NE(log.Text().find(LogProbe::Traffic("OK\r\nr")), std::string::npos);

    // Not enough bytes: time-out, nothing taken, no traffic record.
    std::string before = log.Text();
    ASSERT_EQ(PM_SetRxTimeout(20), 1);
    EXPECT_EQ(PM_RxBytes(4, buf), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(PM_IsErrTimeOut(), 1);
    EXPECT_EQ(PM_InBufferCount(), 3);
    EXPECT_EQ(log.Text(), before);
    EXPECT_EQ(log.Slots(), (LogSlots{3, 880, 0, 0}));
    EXPECT_EQ(PM_GetRxTimeout(), 20u);
}

TEST_F(Port, ReceiveOnAClosedTransportIsATimeOut)
{
    t->m_bIsOpen = 0;
    uint8_t b = 0;
    EXPECT_EQ(PM_RxBytes(1, &b), 0);
    EXPECT_EQ(PM_IsErrTimeOut(), 1);
    EXPECT_EQ(log.Slots(), (LogSlots{3, 880, 0, 0}));
}

TEST_F(Port, ChunkedReceiveTakesByteByByteAndKeepsWhatCameBeforeAFailure)
{
    chunked();
    feed("abc");
    ASSERT_EQ(PM_SetRxTimeout(20), 1);
    uint8_t buf[5] = {0, 0, 0, 0, 0};
    EXPECT_EQ(PM_RxBytes(5, buf), 0);
    EXPECT_EQ(str(buf, 3), "abc");
    EXPECT_EQ(buf[3], 0);
    EXPECT_EQ(log.Slots(), (LogSlots{3, 880, 0, 0}));
    EXPECT_NE(log.Text().find(LogProbe::Traffic("abc")), std::string::npos);
}

TEST_F(Port, BufferCountClearAndTimeOutRecord)
{
    feed("1234");
    EXPECT_EQ(PM_InBufferCount(), 4);
    EXPECT_EQ(PM_Log_TimeOutInBuf(500, 2), 3);
    EXPECT_NE(log.Text().find("<TimeoutErr (500msec GetCnt = 2 InBufCnt = 4)>"), std::string::npos);
    EXPECT_EQ(PM_GetCommErr(), 0);
    EXPECT_LE(PM_ClearBuffer(), 0);
    EXPECT_EQ(PM_InBufferCount(), 0);
    EXPECT_EQ(PM_GetPortHandle(), t->GetPortHandle());
}

TEST_F(Port, ClearCommErrAlsoClearsTheTransportsCode)
{
    t->PM_Exit(101);
    setPortMdlErr(PM_ERR_SEND, 815);
    PM_ClearCommErr();
    EXPECT_EQ(PM_GetCommErr(), 0);
    EXPECT_EQ(t->EI_GetLastError(), 0u);
    EXPECT_EQ(log.Slots(), (LogSlots{101, 815, 0, 0})); // the log keeps its slots
}

TEST_F(Port, SetInfoStoresBothWordsAndStopsTheLog)
{
    const int32_t env[2] = {1003, -5};
    EXPECT_EQ(PM_SetInfo(env), 1);
    EXPECT_EQ(PortMdlEnv.nCableType, 1003);
    EXPECT_EQ(PortMdlEnv.nHostWord, -5);
    EXPECT_EQ(LogFileData.GetFileOpenYN(), 0);
    EXPECT_EQ(PM_SetInfo(nullptr), 0);
    EXPECT_EQ(PortMdlEnv.nCableType, 1003);
}

TEST_F(Port, CommEngineErrorGoesToTheSummaryOnly)
{
    setPortMdlErr(PM_ERR_TIMEOUT, 880);
    PM_SetCommEngErr(5, "Engine", 123, "2024-01-02");
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(PM_GetErrLine(), 880);
    log.Slots();
    EXPECT_NE(log.Text().find("[Engine] _LastModify(2024-01-02)\n : CommEngLastErr(LINE) [5(123)]"),
              std::string::npos);
}

TEST_F(Port, FailedOpenEndsWithTheTransportClosedAndTheLogSummarised)
{
    EXPECT_EQ(solvePortOpenErr(PM_ERR_TRANSPORT, 693, 1), 0);
    EXPECT_EQ(TheCommBase, nullptr);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TRANSPORT);
    EXPECT_EQ(LogFileData.GetFileOpenYN(), 0); // the communication was closed
    log.Open();
    EXPECT_EQ(log.Slots(), (LogSlots{0, 0, 103, 693}));
    EXPECT_EQ(PM_GetErrLine(), 693);

    // Without leave to close, the transport is the caller's to destroy.
    install(false);
    EXPECT_EQ(solvePortOpenErr(PM_ERR_OPEN, 672, 0), 0);
    EXPECT_EQ(TheCommBase, t);
    EXPECT_EQ(t->closes, 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
}

// The whole road with the reader running: a send reaches the phone, the answer comes back, and a
// stream many times the queue's pipes arrives through exact-count receives, every byte in order,
// including single receives far larger than the pipes' default size.
TEST_F(Port, StreamFarLargerThanThePipesArrivesInOrder)
{
    TearDown();
    install(true, 256);
    ASSERT_EQ(PM_SetRxTimeout(20000), 1);
    ASSERT_EQ(PM_TxBytes(3, bytes("AT\r")), 1);
    EXPECT_EQ(phoneReads(*t, 3), "AT\r");

    const uint64_t total = 16u << 20;
    auto streamByte = [](uint64_t i) { return static_cast<uint8_t>((i * 40503u) >> 7 ^ i); };
    int phone = t->PhoneWriteFd();
    std::thread device([&] {
        std::vector<uint8_t> block(8192);
        for (uint64_t at = 0; at < total;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), total - at));
            for (size_t k = 0; k < n; ++k) {
                block[k] = streamByte(at + k);
            }
            ssize_t w = write(phone, block.data(), n);
            if (w <= 0) {
                return;
            }
            at += static_cast<uint64_t>(w);
        }
    });
    const int32_t counts[] = {1, 16, 3, 256 * 1024, 4095, 65536, 7, 300000};
    std::vector<uint8_t> buf(300000);
    uint64_t at = 0;
    for (size_t i = 0; at < total; ++i) {
        int32_t n = static_cast<int32_t>(std::min<uint64_t>(counts[i % 8], total - at));
        ASSERT_EQ(PM_RxBytes(n, buf.data()), 1) << "at " << at << " asking " << n;
        for (int32_t k = 0; k < n; ++k) {
            ASSERT_EQ(buf[k], streamByte(at + k)) << "byte " << at + k;
        }
        at += static_cast<uint64_t>(n);
    }
    device.join();
    EXPECT_EQ(PM_InBufferCount(), 0);
}
