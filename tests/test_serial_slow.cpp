// The serial cable path where the real pauses add up to seconds: the AT dialogue with the cable
// (identification, charge on and off) with and without an open port, and the cable-type searches
// that open and close one port after another.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "CableSim.h"
#include "CommBaseUNIX.h"
#include "PortMdlState.h"
#include "SerialTestSupport.h"
#include "TtyTrace.h"
#include "portmdl/PortMdl.h"
#include "test_log_support.h"

using namespace std::chrono_literals;
using pmsim::CableSim;
using serialtest::Registry;
using serialtest::SameDevice;
using serialtest::SerialTest;
using serialtest::SetCableType;

namespace {

using Clock = std::chrono::steady_clock;
using Serial = SerialTest;
using SerialDialogue = SerialTest;

std::vector<std::string> CommandTexts(const CableSim& cable)
{
    std::vector<std::string> texts;
    for (const auto& c : cable.Commands()) {
        texts.push_back(c.text);
    }
    return texts;
}

// The log's traffic text for these bytes: hex digits through the key table.
std::string Traffic(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    CCommLog::StrEncode(hex.data(), 0);
    return hex;
}

class SerialDialogueLog : public logtest::LogFolder {
  protected:
    void TearDown() override
    {
        if (TheCommBase != nullptr) {
            PM_ClosePort();
        }
        LogFolder::TearDown();
    }
};

} // namespace

// Each cable type finds its device by terminal name in the registry and sets the parity of its
// row; the searched device is told apart from its neighbours by the device it opened.
TEST_F(Serial, CableTypeTableSearchesTheRegistry)
{
    struct Case {
        int32_t cableType;
        std::vector<std::string> names; // registry entries, one cable each
        int expectOpened;               // index into names, -1 for none
        bool evenParity;
    };
    const Case cases[] = {
        {3, {"ORVUUSBC0", "ORVUUSBP0"}, 1, true},
        {4, {"ORVUUSBC0", "ORVUUSBP0"}, 0, true},
        {8, {"ORVUDSCDMA1", "usbmodem1"}, 0, true},
        {1002, {"usbmodem1411", "usbmodem1421"}, 0, false},
        {1004, {"usbmodem1411", "usbmodem1421"}, 1, false},
        {1003, {"kestrel-cable7", "usbserial-A1"}, 0, false},
        {1003, {"usbserial-A1", "xusbserial"}, 0, false},
        {1002, {"USBMODEM1", "my-usbmodem"}, -1, false}, // prefix, case-sensitive
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cableType);
        Registry registry;
        std::vector<std::unique_ptr<CableSim>> cables;
        std::vector<std::string> paths;
        for (const auto& name : c.names) {
            cables.push_back(std::make_unique<CableSim>());
            paths.push_back(registry.Add(name, cables.back()->SlavePath()));
        }
        SetCableType(c.cableType);
        ttytrace::Reset();
        PM_ClearCommErr();
        int32_t opened = PM_OpenPort(7);
        if (c.expectOpened < 0) {
            EXPECT_EQ(opened, 0);
            EXPECT_EQ(PM_GetCommErr(), PM_ERR_NONE);
            EXPECT_EQ(TheCommBase, nullptr);
            continue;
        }
        ASSERT_EQ(opened, 1);
        EXPECT_EQ(PM_GetOpenMode(), 1);
        EXPECT_TRUE(SameDevice(PM_GetPortHandle(), cables[c.expectOpened]->SlavePath()));
        auto applied = ttytrace::AppliedSettings();
        ASSERT_FALSE(applied.empty());
        EXPECT_EQ((applied.front().c_cflag & PARENB) != 0, c.evenParity);
        EXPECT_EQ(applied.front().c_cflag & PARODD, 0u);
        EXPECT_EQ(PM_ClosePort(), 1);
    }
}
TEST_F(SerialDialogue, CableCheckEscapesOnceAndReadsTheThreeNumbers)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    uint16_t info[3] = {7, 7, 7};
    auto start = Clock::now();
    ASSERT_EQ(PM_IsChargableCable(info), 1);
    EXPECT_GE(Clock::now() - start, 3900ms); // escape framed by two pauses, then two more
    EXPECT_EQ(info[0], 1841);
    EXPECT_EQ(info[1], 2);
    EXPECT_EQ(info[2], 100);
    EXPECT_EQ(cable.Received(), "+++\rAT\rAT!CCHK\r\r");
    EXPECT_EQ(CommandTexts(cable), (std::vector<std::string>{"+++", "AT", "AT!CCHK"}));
    auto commands = cable.Commands();
    EXPECT_GE(commands[1].at - commands[0].at, 900ms); // the pause after the escape
    EXPECT_GE(commands[2].at - commands[1].at, 900ms);

    // The cable is still in command mode: no second escape.
    cable.ClearReceived();
    info[0] = info[1] = info[2] = 0;
    ASSERT_EQ(PM_IsChargableCable(info), 1);
    EXPECT_EQ(cable.Received(), "\rAT\rAT!CCHK\r\r");
    EXPECT_EQ(info[0], 1841);
    EXPECT_EQ(info[2], 100);
}

TEST_F(SerialDialogue, ChargeOnAndOffSendTheirCommandsAndLeaveCommandMode)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_ChargeEnable(), 1);
    EXPECT_EQ(cable.Received(), "+++\rAT\rAT!CCHK\r\rAT!CON\rat%z\r");
    EXPECT_EQ(cable.ChargeState(), 1);
    EXPECT_FALSE(cable.InCommandMode());
    EXPECT_EQ(PM_InBufferCount(), 0); // the cable's answers were cleared away

    cable.ClearReceived();
    ASSERT_EQ(PM_ChargeDisable(), 1);
    EXPECT_EQ(cable.Received(), "+++\rAT\rAT!CCHK\r\rAT!COFF\rat%z\r");
    EXPECT_EQ(cable.ChargeState(), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_NONE);
}

// A cable that does not answer, answers without the numbers, or answers at great length.
TEST_F(SerialDialogue, CableCheckOnUnusualReplies)
{
    CableSim cable;
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    uint16_t info[3] = {7, 7, 7};

    cable.SetSilent(true);
    EXPECT_EQ(PM_IsChargableCable(info), 0);
    cable.SetSilent(false);

    cable.SetIdentification("\r\nERROR\r\n");
    EXPECT_EQ(PM_IsChargableCable(info), 0);
    EXPECT_EQ(info[0], 7);
    EXPECT_EQ(info[1], 7);
    EXPECT_EQ(info[2], 7);

    // Only the first 4095 bytes are taken; the rest stays queued.
    std::string reply = "\r\n1841\r\n0002\r\n0100\r\n" + std::string(5000, 'x') + "\r\nOK\r\n";
    cable.SetIdentification(reply);
    EXPECT_EQ(PM_IsChargableCable(info), 1);
    EXPECT_EQ(info[0], 1841);
    EXPECT_EQ(info[1], 2);
    EXPECT_EQ(info[2], 100);
    EXPECT_EQ(PM_InBufferCount(), static_cast<int32_t>(reply.size()) - 4095);
}

// Without a port the temporary transport cannot send: each call fails after its first pause with
// the refused send recorded, and leaves no transport behind.
TEST_F(SerialDialogue, WithoutAPortEverythingFailsCleanly)
{
    uint16_t info[3] = {7, 7, 7};
    auto start = Clock::now();
    EXPECT_EQ(PM_IsChargableCable(info), 0);
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_SEND);
    EXPECT_EQ(TheCommBase, nullptr);
    EXPECT_EQ(PM_GetPortHandle(), -1);
    EXPECT_EQ(info[0], 7);

    for (auto op : {PM_ChargeEnable, PM_ChargeDisable}) {
        PM_ClearCommErr();
        EXPECT_EQ(op(), 0);
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_SEND);
        EXPECT_EQ(TheCommBase, nullptr);
        EXPECT_EQ(g_bIsOpen, 0);
    }
    EXPECT_EQ(PM_IsChargableCable(nullptr), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);
}

// The dialogue runs through the port's own exported functions, so the log shows its bytes and its
// pauses: the escape framed by two logged pauses, a logged pause after "AT", and the wait for the
// cable's answer unlogged.
TEST_F(SerialDialogueLog, CableCheckBytesAndPausesInTheLog)
{
    CableSim cable;
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    uint16_t info[3] = {};
    ASSERT_EQ(PM_IsChargableCable(info), 1);
    ASSERT_EQ(PM_ClosePort(), 1);

    std::string text = logtest::decodeLog(logtest::readFile(dat));
    const std::string inOrder[] = {
        "PM_OpenPort Successful [", "<1000>",
        "\nSD:" + Traffic("+++"),   "<1000>",
        Traffic("\rAT\r"),          "<1000>",
        Traffic("AT!CCHK\r\r"),     "\nRD:" + Traffic(CableSim::kDefaultIdentification),
    };
    size_t at = 0;
    for (const auto& piece : inOrder) {
        size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << piece << "\n" << text;
        if (piece.rfind("\nRD:", 0) == 0) { // the wait for the answer is not logged
            EXPECT_EQ(text.substr(at, found - at).find("<1000>"), std::string::npos) << text;
        }
        at = found + piece.size();
    }
}
