// pmctl bt list and bt talk, run as a user runs them, against a simulated Bluetooth world.
#include <gtest/gtest.h>

#include <cstdlib>

#include "pmctl_run.h"

using namespace pmctltest;

namespace {

class PmctlBluetooth : public ::testing::Test {
  protected:
    void SetUp() override { useWorld(""); }
    // The world with one phone; panel: the address the device selector stands in with, if any.
    void useWorld(const std::string& panel)
    {
        std::string selector = panel.empty() ? "" : R"("panel": ")" + panel + R"(", )";
        writeFile(dir.path() / "world.json", "{" + selector + R"("devices": [{
            "address": "00:1B:DC:0F:4A:21",
            "records": [
              {"attributes": {"256": {"text": "Headset"}}},
              {"rfcomm": 1, "attributes": {"256": {"text": "Dial-up Networking"}}},
              {"rfcomm": 4, "attributes": {"256": {"text": "COM0"}}}],
            "phone": {"replies": {"AT\r": "\r\nOK\r\n"}}}]})");
        ::setenv("PM_BLUETOOTH_SIM", (dir.path() / "world.json").c_str(), 1);
    }
    TempDir dir;
};

TEST_F(PmctlBluetooth, ListShowsTheUsableChannelsByNameAndTalkUsesOne)
{
    Outcome list = pmctl({"bt", "list", "--address", "00:1b:dc:0f:4a:21"}, dir.path());
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "phone 00:1B:DC:0F:4A:21: 2 usable channels\n"
                        "  0  Dial-up Networking\n"
                        "  1  COM0\n");
    Outcome talk = pmctl({"bt", "talk", "-a", "00:1B:DC:0F:4A:21", "-n", "1", "send", "AT\\r",
                          "recv", "6"},
                         dir.path());
    EXPECT_EQ(talk.status, 0) << talk.err;
    EXPECT_TRUE(contains(talk.out, "RD< 0d 0a 4f 4b 0d 0a")) << talk.out;
    EXPECT_TRUE(contains(talk.out, "channel closed")) << talk.out;
}

// The simulated world stands in for BlueZ in "bt devices" as it does for the module.
TEST_F(PmctlBluetooth, DevicesListsTheSimulatedWorld)
{
    Outcome devices = pmctl({"bt", "devices"}, dir.path());
    EXPECT_EQ(devices.status, 0) << devices.err;
    EXPECT_TRUE(contains(devices.out, "(PM_BLUETOOTH_SIM):\n  00:1B:DC:0F:4A:21  paired"))
        << devices.out;
}

TEST_F(PmctlBluetooth, MistakesAreExplained)
{
    // A mistyped address is wrong usage, as for every command.
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"bt", "list", "--address", "00:1B:DC"},
          std::vector<std::string>{"bt", "list", "--address", "nonsense"},
          std::vector<std::string>{"bt", "talk", "-a", "00:1B:DC:0F:4A:2G", "-n", "0"}}) {
        Outcome bad = pmctl(command, dir.path());
        EXPECT_EQ(bad.status, 2) << command[3];
        EXPECT_TRUE(contains(bad.err, "is no Bluetooth address")) << bad.err;
    }
    Outcome past = pmctl({"bt", "talk", "-a", "00:1B:DC:0F:4A:21", "-n", "2", "send", "x"},
                         dir.path());
    EXPECT_EQ(past.status, 1);
    EXPECT_TRUE(contains(past.err, "there is no channel 2: the phone has 2 (0 to 1)")) << past.err;
    Outcome unknown = pmctl({"bt", "list", "-a", "00:1B:DC:0F:4A:22"}, dir.path());
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(contains(unknown.err, "the Bluetooth stack does not know 00:1B:DC:0F:4A:22: pair"))
        << unknown.err;
}

// The selector stands in for an address the stack does not know; pmctl must not talk to the
// phone it picks, and says which phone it used when no address was given.
TEST_F(PmctlBluetooth, AnUnknownAddressIsNotTradedForTheSelectorsPick)
{
    useWorld("00:1B:DC:0F:4A:21");
    const std::vector<std::vector<std::string>> commands = {
        {"bt", "list", "-a", "00:1B:DC:0F:4A:22"},
        {"bt", "talk", "-a", "00:1B:DC:0F:4A:22", "-n", "0", "send", "x"}};
    for (const auto& command : commands) {
        Outcome unknown = pmctl(command, dir.path());
        EXPECT_EQ(unknown.status, 1) << command[1];
        EXPECT_TRUE(contains(unknown.err, "does not know 00:1B:DC:0F:4A:22 (the device selector "
                                          "picked 00:1B:DC:0F:4A:21 instead"))
            << command[1] << ": " << unknown.err;
        EXPECT_FALSE(contains(unknown.out, "open")) << unknown.out;
    }
    Outcome picked = pmctl({"bt", "list"}, dir.path());
    EXPECT_EQ(picked.status, 0) << picked.err;
    EXPECT_TRUE(contains(picked.out, "phone 00:1B:DC:0F:4A:21 (picked by the device selector): "
                                     "2 usable channels"))
        << picked.out;
}

} // namespace
