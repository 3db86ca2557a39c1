// Listing a phone's channels and opening one, end to end through the exported functions against
// a simulated world. The waits are real: SDP steps of 500 ms, connection attempts a second apart,
// and the 2-second pause after each baseband connection closes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <sstream>
#include <future>
#include <thread>

#include "BluetoothTestSupport.h"
#include "LogProbe.h"
#include "LogReader.h"
#include "LogRecordsView.h"
#include "PortMdlState.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> g_progress;
int onProgress(const char* text, int, int)
{
    g_progress.emplace_back(text);
    return 0;
}

json device(json extra = json::object())
{
    json d = {{"address", kPhoneText},
              {"records",
               {textRecord(-1, "Bluetooth Serial Port"),    // no channel: skipped, not logged
                textRecord(3, "Dial-up Networking"),
                textRecord(4, "dial-up networking"),        // case differs: no match
                textRecord(5, "Dial-Up Networking Gateway+"), // longer than an entry: no match
                textRecord(6, "Dial-Up Networking Ga"),
                textRecord(7, "Dial-up networking"),
                textRecord(8, std::string(600, 'n'))}}, // longer than the name buffer
              {"phone", {{"replies", {{"AT\r", "\r\nOK\r\n"}}}}}};
    d.update(extra);
    return d;
}

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class BluetoothListing : public ::testing::Test {
  protected:
    void SetUp() override { g_progress.clear(); }
    void world(json w)
    {
        file = std::make_unique<BluetoothWorldFile>(w);
        LogFileData.SetUserInfo(probe.Folder().c_str(), "bt");
    }
    // The record text of the saved log, decoded.
    std::string logText()
    {
        std::ostringstream out;
        pmlog::printRecords(out, pmlog::readLog(probe.Folder()));
        return out.str();
    }
    void TearDown() override
    {
        if (TheCommBase != nullptr) {
            PM_ClosePort();
        }
    }

    std::unique_ptr<BluetoothWorldFile> file;
    LogProbe probe;
};

TEST_F(BluetoothListing, AKnownAddressListsTheExactlyNamedServicesWithTheirChannels)
{
    world({{"devices", {device()}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);
    EXPECT_EQ(std::memcmp(address, kPhone, 6), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_NONE);
    auto& holder = EI_CommBaseBluetooth::g_myBluetoothDevice;
    ASSERT_EQ(holder.m_nChannels, 3);
    EXPECT_STREQ(holder.m_szServiceName[0], "Dial-up Networking");
    EXPECT_STREQ(holder.m_szServiceName[1], "Dial-Up Networking Ga");
    EXPECT_STREQ(holder.m_szServiceName[2], "Dial-up networking");
    EXPECT_EQ(holder.m_nChannelID[0], 3);
    EXPECT_EQ(holder.m_nChannelID[1], 6);
    EXPECT_EQ(holder.m_nChannelID[2], 7);
    EXPECT_GE(g_progress.size(), 1u);
    EXPECT_LE(g_progress.size(), 10u);
    // One query was enough; the panel never came up; the connection was made, then closed.
    EXPECT_EQ(file->Count("IOBluetoothDevicePerformSDPQuery AA:BB:CC:DD:EE:01"), 1u);
    EXPECT_EQ(file->Count("IOBluetoothDeviceSelectorRunPanelWithAttributes"), 0u);
    EXPECT_EQ(file->Count("IOBluetoothDeviceOpenConnection AA:BB:CC:DD:EE:01"), 1u);
    EXPECT_EQ(file->Count("IOBluetoothDeviceCloseConnection AA:BB:CC:DD:EE:01"), 1u);

    std::string log = logText();
    EXPECT_EQ(log.find("Service Name #1"), std::string::npos);
    EXPECT_NE(log.find("Service Name #2: Dial-up Networking---"), std::string::npos);
    EXPECT_NE(log.find("Service Name #3: dial-up networking---"), std::string::npos);
    EXPECT_NE(log.find("Service Name #6: Dial-up networking---"), std::string::npos);
    EXPECT_EQ(occurrences(log, "Matched Service!"), 3u);
    EXPECT_NE(log.find("Service Name #7: " + std::string(511, 'n') + "---"), std::string::npos);
    EXPECT_NE(log.find("<500>"), std::string::npos);
    EXPECT_NE(log.find("<2000>"), std::string::npos);
    EXPECT_EQ(log.find("PortClose"), std::string::npos);
}

TEST_F(BluetoothListing, ThePanelPicksTheDeviceAndFillsTheAddress)
{
    world({{"panel", kPhoneText}, {"front_window", true}, {"devices", {device()}}});
    uint8_t address[6];
    std::memset(address, 0xFF, sizeof address);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);
    EXPECT_EQ(std::memcmp(address, kPhone, 6), 0);
    std::vector<std::string> trace = file->Trace();
    std::vector<std::string> panel(trace.begin(), trace.begin() + 6);
    EXPECT_EQ(panel, (std::vector<std::string>{"IOBluetoothGetDeviceSelectorController",
                                               "FrontWindow", "HideWindow",
                                               "IOBluetoothDeviceSelectorRunPanelWithAttributes",
                                               "IOBluetoothDeviceGetAddress AA:BB:CC:DD:EE:01",
                                               "ShowWindow"}));
}

TEST_F(BluetoothListing, MoreThanFiveMatchesKeepTheFirstFiveRows)
{
    json records = json::array();
    for (int i = 1; i <= 7; ++i) {
        records.push_back(textRecord(i, i % 2 ? "COM0" : "Bluetooth Modem"));
    }
    world({{"devices", {device({{"records", records}, {"connected", true}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 5);
    auto& holder = EI_CommBaseBluetooth::g_myBluetoothDevice;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(holder.m_nChannelID[i], i + 1);
    }
    EXPECT_EQ(occurrences(logText(), "Matched Service!"), 7u);
}

TEST_F(BluetoothListing, AQueryAnsweredOnlyOnALaterPassIsWaitedFor)
{
    world({{"devices", {device({{"sdp", {{"from_query", 2}}}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);
    EXPECT_EQ(file->Count("IOBluetoothDevicePerformSDPQuery AA:BB:CC:DD:EE:01"), 2u);
}

TEST_F(BluetoothListing, AnAnswerLaterThanAPassArrivesDuringTheNextOne)
{
    world({{"devices", {device({{"sdp", {{"delay_ms", 6000}}}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);
    EXPECT_EQ(file->Count("IOBluetoothDevicePerformSDPQuery AA:BB:CC:DD:EE:01"), 2u);
    EXPECT_GT(g_progress.size(), 10u);
    EXPECT_LE(g_progress.size(), 20u);
}

TEST_F(BluetoothListing, AQueryThatNeverCompletesGivesThreePassesThenNothing)
{
    world({{"devices", {device({{"sdp", {{"delay_ms", -1}}}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    EXPECT_EQ(PM_CountBluetoothChannels(address, onProgress), 0);
    EXPECT_EQ(g_progress.size(), 30u);
    EXPECT_EQ(file->Count("IOBluetoothDevicePerformSDPQuery AA:BB:CC:DD:EE:01"), 3u);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 7);
    // The connection step still ran before the listing gave up.
    EXPECT_EQ(file->Count("IOBluetoothDeviceOpenConnection AA:BB:CC:DD:EE:01"), 1u);
    probe.Open();
    EXPECT_EQ(probe.Slots().portCode, PM_ERR_OPEN);
    EXPECT_EQ(probe.Slots().portLine, PM_LINE_BLUETOOTH_COUNT);
}

TEST_F(BluetoothListing, WithoutAProgressCallbackTheWaitShowsTheAlertOrPausesWhenItCannot)
{
    // The alert cannot be shown: each step pauses 500 ms, so the answer after 1.2 s still comes
    // within the first pass.
    world({{"alert", "none"}, {"devices", {device({{"sdp", {{"delay_ms", 1200}}}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, nullptr), 3);
    EXPECT_EQ(file->Count("IOBluetoothDevicePerformSDPQuery AA:BB:CC:DD:EE:01"), 1u);
    EXPECT_GE(file->Count("CreateStandardAlert"), 2u);
    EXPECT_LE(file->Count("CreateStandardAlert"), 4u);
    EXPECT_EQ(file->Count("RunStandardAlert"), 0u);
}

TEST_F(BluetoothListing, TheAlertIsShownOncePerStepAndItsButtonDoesNotEndTheWait)
{
    world({{"alert", "cancel"},
           {"alert_ms", 300},
           {"devices", {device({{"sdp", {{"delay_ms", 1000}}}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, nullptr), 3);
    size_t shown = file->Count("RunStandardAlert");
    EXPECT_GE(shown, 3u);
    EXPECT_LE(shown, 5u);
    EXPECT_EQ(file->Count("CreateStandardAlert"), shown);
    EXPECT_EQ(EI_CommBaseBluetooth::okCancelAlert("Still there?"), 0); // Cancel
}

TEST_F(BluetoothListing, AConnectionIsTriedTenTimesASecondApart)
{
    world({{"devices",
            {device({{"connect_failures", 3}}),
             device({{"address", "AA:BB:CC:DD:EE:02"}, {"connect_failures", -1}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);
    EXPECT_EQ(file->Count("IOBluetoothDeviceOpenConnection AA:BB:CC:DD:EE:01"), 4u);
    EXPECT_EQ(occurrences(logText(), "<1000>"), 3u);
    address[5] = 0x02;
    EXPECT_EQ(PM_CountBluetoothChannels(address, onProgress), 0);
    EXPECT_EQ(file->Count("IOBluetoothDeviceOpenConnection AA:BB:CC:DD:EE:02"), 10u);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 7);
    // The table keeps its rows, but the host is told none.
    EXPECT_EQ(EI_CommBaseBluetooth::g_myBluetoothDevice.m_nChannels, 3);
}

TEST_F(BluetoothListing, AListedChannelOpensCarriesBytesAndClosesThroughTheCloseFunction)
{
    world({{"devices", {device()}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);
    ASSERT_EQ(PM_OpenBluetoothChannel(1), 1);
    EXPECT_EQ(PM_GetOpenMode(), 3);
    EXPECT_EQ(file->Count("IOBluetoothDeviceOpenRFCOMMChannel AA:BB:CC:DD:EE:01 6"), 1u);
    ASSERT_EQ(PM_TxBytes(3, reinterpret_cast<const uint8_t*>("AT\r")), 1);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (PM_InBufferCount() < 6 && std::chrono::steady_clock::now() < deadline) {
        PM_SimpleSleep(1);
    }
    uint8_t reply[6];
    ASSERT_EQ(PM_RxBytes(6, reply), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 6), "\r\nOK\r\n");
    ASSERT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(TheCommBase, nullptr);
    std::vector<std::string> trace = file->Trace();
    std::vector<std::string> tail(trace.end() - 4, trace.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"IOBluetoothRFCOMMChannelCloseChannel 6",
                                              "IOBluetoothObjectRelease 6",
                                              "IOBluetoothDeviceIsConnected AA:BB:CC:DD:EE:01",
                                              "IOBluetoothDeviceCloseConnection AA:BB:CC:DD:EE:01"}));
    std::string log = logText();
    EXPECT_NE(log.find("SD:" + LogProbe::Traffic("AT\r")), std::string::npos);
    EXPECT_NE(log.find("PortClose"), std::string::npos);
    // The holder keeps device and table: the channel opens again.
    ASSERT_EQ(PM_OpenBluetoothChannel(0), 1);
    EXPECT_EQ(file->Count("IOBluetoothDeviceOpenConnection AA:BB:CC:DD:EE:01"), 3u);
    // Another open closes the Bluetooth port first.
    EXPECT_EQ(PM_OpenPortByDeviceName("/nonexistent/tty"), 0);
    EXPECT_EQ(file->Count("IOBluetoothRFCOMMChannelCloseChannel 3"), 1u);
}

TEST_F(BluetoothListing, OpeningARowPastTheTableOrAChannelThatNeverOpensFails)
{
    world({{"devices", {device({{"channel_open_failures", -1}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);

    EXPECT_EQ(PM_OpenBluetoothChannel(3), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 8);
    EXPECT_EQ(file->Count("IOBluetoothDeviceCloseConnection AA:BB:CC:DD:EE:01"), 2u);
    EXPECT_EQ(file->Count("IOBluetoothDeviceOpenRFCOMMChannel", true), 0u);

    EXPECT_EQ(PM_OpenBluetoothChannel(0), 0);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 7);
    EXPECT_EQ(file->Count("IOBluetoothDeviceOpenRFCOMMChannel AA:BB:CC:DD:EE:01 3"), 4u);
    EXPECT_EQ(file->Count("IOBluetoothDeviceRequestAuthentication AA:BB:CC:DD:EE:01"), 1u);
    EXPECT_EQ(file->Count("IOBluetoothDeviceCloseConnection AA:BB:CC:DD:EE:01"), 3u);
    PM_ClosePort();
    probe.Open();
    EXPECT_EQ(probe.Slots().portLine, PM_LINE_BLUETOOTH_OPEN);
}

} // namespace

namespace {

std::atomic<int> g_steps{0};
int countStep(const char*, int, int)
{
    g_steps.fetch_add(1);
    return 0;
}

// A listing of the phone on another thread that, once it has returned, waits for `closed` and
// then reads its outcome through the getters, as its host would: {count, PM_GetCommErr(),
// PM_GetErrLine(), PM_IsErrTimeOut()}. The close that ended it records its own result after the
// listing's, so reading after the close has returned is the order that can lose the listing's.
std::future<std::vector<int32_t>> listThenReadAfter(std::shared_future<void> closed,
                                                    int (*progress)(const char*, int, int))
{
    return std::async(std::launch::async, [closed, progress] {
        uint8_t address[6];
        std::memcpy(address, kPhone, 6);
        int32_t count = PM_CountBluetoothChannels(address, progress);
        closed.wait_for(30s);
        return std::vector<int32_t>{count, PM_GetCommErr(), PM_GetErrLine(), PM_IsErrTimeOut()};
    });
}

// What a listing that a close ended reads: no channel, a time-out at the listing's line.
const std::vector<int32_t> kCancelledListing = {0, PM_ERR_TIMEOUT, PM_LINE_BLUETOOTH_COUNT, 1};

// The close that ended a listing found no port: it says so to its own caller only.
void expectCloseFoundNoPort(int32_t closed)
{
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
    EXPECT_EQ(PM_GetErrLine(), PM_LINE_CLOSE);
}

} // namespace

// A query that never completes would hold the listing for 15 seconds: a close from another
// thread ends it at its next wait, as a time-out.
TEST_F(BluetoothListing, ACloseFromAnotherThreadEndsAListing)
{
    world({{"devices", {device({{"sdp", {{"delay_ms", -1}}}})}}});
    g_steps = 0;
    std::promise<void> closed;
    auto listing = listThenReadAfter(closed.get_future().share(), countStep);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (g_steps.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_GT(g_steps.load(), 0) << "the listing never waited";
    expectCloseFoundNoPort(PM_ClosePort());
    closed.set_value();
    ASSERT_EQ(listing.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(listing.get(), kCancelledListing);
    EXPECT_LT(g_steps.load(), 30); // not the three passes of ten steps
}

// The user leaves the alert standing (ten minutes here): the listing waits inside the stack, the
// getters answer meanwhile without waiting for the port, and a close from another thread takes the
// alert away and ends the listing as a time-out.
TEST_F(BluetoothListing, ACloseFromAnotherThreadEndsAListingWaitingForTheUser)
{
    world({{"alert", "ok"},
           {"alert_ms", 600000},
           {"devices", {device({{"sdp", {{"delay_ms", -1}}}})}}});
    const std::vector<int64_t> before = {PM_GetCommErr(),   PM_GetSysErr(),    PM_IsErrTimeOut(),
                                         PM_GetOpenMode(),  PM_GetBPS(),       PM_GetTxTimeout(),
                                         PM_GetRxTimeout(), PM_GetErrLine()};
    std::promise<void> closed;
    auto listing = listThenReadAfter(closed.get_future().share(), nullptr);
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (file->Count("RunStandardAlert") == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(file->Count("RunStandardAlert"), 1u) << "the alert never came up";
    const std::vector<int64_t> during = {PM_GetCommErr(),   PM_GetSysErr(),    PM_IsErrTimeOut(),
                                         PM_GetOpenMode(),  PM_GetBPS(),       PM_GetTxTimeout(),
                                         PM_GetRxTimeout(), PM_GetErrLine()};
    EXPECT_EQ(during, before);
    EXPECT_NE(listing.wait_for(0s), std::future_status::ready) << "the getters waited for it";
    expectCloseFoundNoPort(PM_ClosePort());
    closed.set_value();
    ASSERT_EQ(listing.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(listing.get(), kCancelledListing);
    EXPECT_EQ(file->Count("RunStandardAlert"), 1u); // no further alert after the close
}

// A listing of the phone whose channel is open: the channel keeps its connection and device, and
// the listing's records go into the open port's communication, which the close then saves whole.
TEST_F(BluetoothListing, AListingBesideAnOpenChannelKeepsItsConnectionAndItsLog)
{
    world({{"devices", {device({{"phone", {{"echo", true}}}})}}});
    probe.Open();
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);
    ASSERT_EQ(PM_OpenBluetoothChannel(0), 1);
    const size_t closesBefore = file->Count("IOBluetoothDeviceCloseConnection AA:BB:CC:DD:EE:01");
    ASSERT_EQ(PM_CountBluetoothChannels(address, onProgress), 3);
    EXPECT_EQ(file->Count("IOBluetoothDeviceCloseConnection AA:BB:CC:DD:EE:01"), closesBefore);
    EXPECT_EQ(file->Count("IOBluetoothObjectRelease"), 0u) << "a device was released";
    PM_Log_WriteMessage("after the listing");
    const uint8_t command[] = {'A', 'T', '\r'};
    EXPECT_EQ(PM_TxBytes(3, command), 1);
    EXPECT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(file->Count("IOBluetoothDeviceCloseConnection AA:BB:CC:DD:EE:01"),
              closesBefore + 1);
    std::string log = logText();
    size_t second = log.rfind("Matched Service!");
    size_t after = log.find("after the listing");
    ASSERT_NE(after, std::string::npos) << "the port's records after the listing were lost";
    EXPECT_LT(second, after);
}
