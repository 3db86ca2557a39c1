// The module on the lab's real stacks, through its exported functions only, as a host uses it.
// Run inside the lab (tests/lab/port.test.sh): the phones and their addresses come from the lab's
// environment (BT_PHONE, GADGET, USB_UDC).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ProcessCounts.h"
#include "portmdl/PortMdl.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void shell(const std::string& command)
{
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>('a' + i % 26); // no "+++", no "AT\r": the phone echoes
    }
    return bytes;
}

// Receives n bytes within the deadline. A Bluetooth receive takes only what has already arrived
// (the USB one waits up to the receive time-out), so the host waits for the count first.
bool receive(uint8_t* buffer, size_t n, std::chrono::seconds deadline = std::chrono::seconds(60))
{
    auto end = Clock::now() + deadline;
    while (PM_InBufferCount() < static_cast<int32_t>(n) && Clock::now() < end) {
        PM_SimpleSleep(10);
    }
    return PM_RxBytes(static_cast<int32_t>(n), buffer) == 1;
}

// Sends bytes and expects the phone's echo of all of them.
void exchange(size_t n)
{
    std::vector<uint8_t> out = pattern(n), in(n);
    ASSERT_EQ(PM_TxBytes(static_cast<int32_t>(n), out.data()), 1) << PM_GetCommErr();
    ASSERT_TRUE(receive(in.data(), n)) << PM_GetCommErr();
    EXPECT_EQ(in, out);
}

void expectOk()
{
    const uint8_t at[] = {'A', 'T', '\r'};
    ASSERT_EQ(PM_TxBytes(3, at), 1) << PM_GetCommErr();
    char reply[10] = {};
    ASSERT_TRUE(receive(reinterpret_cast<uint8_t*>(reply), 9)) << PM_GetCommErr();
    EXPECT_STREQ(reply, "AT\r\r\nOK\r\n");
}

// After the phone went away: sends fail, receives time out, close returns; none of it hangs.
void expectGone()
{
    auto start = Clock::now();
    std::vector<uint8_t> out = pattern(4096), in(16);
    int sent = 1;
    for (int i = 0; i < 20 && sent == 1; ++i) { // the stack may take what is in flight
        sent = PM_TxBytes(static_cast<int32_t>(out.size()), out.data());
    }
    EXPECT_EQ(sent, 0);
    EXPECT_NE(PM_GetCommErr(), PM_ERR_NONE);
    EXPECT_EQ(PM_RxBytes(static_cast<int32_t>(in.size()), in.data()), 0);
    PM_ClosePort();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
}

// What the process holds. The module keeps no thread between sessions, so at rest the process
// has only the threads it started with; its lasting descriptors (the system bus) are counted in.
struct Held {
    int descriptors;
    int threads;
    bool operator==(const Held&) const = default;
};

const int g_ownThreads = proccount::Threads(); // before the module ran anything

Held held()
{
    return {proccount::Descriptors(), proccount::Threads()};
}

// Waits (bounded) until the process holds what it did; a thread may take a moment to end.
Held settlesTo(const Held& expected)
{
    auto end = Clock::now() + std::chrono::seconds(30);
    Held now = held();
    while (!(now == expected) && Clock::now() < end) {
        PM_SimpleSleep(10);
        now = held();
    }
    return now;
}

// What the process holds at rest, once a listing's query thread (it ends just after answering) is
// gone.
Held atRest()
{
    auto end = Clock::now() + std::chrono::seconds(30);
    while (proccount::Threads() != g_ownThreads && Clock::now() < end) {
        PM_SimpleSleep(10);
    }
    Held now = held();
    EXPECT_EQ(now.threads, g_ownThreads) << "a thread outlived its work";
    return now;
}

// After a fault and the close: every descriptor and thread of the session is gone.
void expectReleased(const Held& before)
{
    Held after = settlesTo(before);
    EXPECT_EQ(after.descriptors, before.descriptors) << "descriptors left behind";
    EXPECT_EQ(after.threads, before.threads) << "threads left behind";
}

uint8_t g_phone[6];

int quietProgress(const char*, int, int)
{
    return 0;
}

class Bluetooth : public ::testing::Test {
  protected:
    void SetUp() override
    {
        unsigned int b[6];
        ASSERT_EQ(std::sscanf(env("BT_PHONE").c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2],
                              &b[3], &b[4], &b[5]),
                  6);
        for (int i = 0; i < 6; ++i) {
            g_phone[i] = static_cast<uint8_t>(b[i]);
        }
    }
};

// Lists the phone, then opens every listed channel that has a listener, talks on it with an
// exchange of n bytes, closes it and does it all again.
void opensEveryListedChannel(size_t n)
{
    uint8_t address[6];
    std::memcpy(address, g_phone, 6);
    // Channels 3 and 4 carry accepted names, 6 too ("COM0", nobody listening), 5 does not.
    ASSERT_EQ(PM_CountBluetoothChannels(address, quietProgress), 3) << PM_GetCommErr();
    EXPECT_EQ(std::memcmp(address, g_phone, 6), 0);
    for (int index = 0; index < 2; ++index) {
        SCOPED_TRACE(index);
        for (int round = 0; round < 2; ++round) { // closed and opened again
            ASSERT_EQ(PM_OpenBluetoothChannel(index), 1) << PM_GetCommErr();
            EXPECT_EQ(PM_GetOpenMode(), 3);
            PM_SetRxTimeout(10000);
            PM_SetTxTimeout(10000);
            expectOk();
            exchange(n);
            EXPECT_EQ(PM_ClosePort(), 1);
        }
    }
}

TEST_F(Bluetooth, ListsOpensAndExchangesOnEveryChannel)
{
    opensEveryListedChannel(64 * 1024);
}

TEST_F(Bluetooth, RefusedConnectFailsTheOpen)
{
    uint8_t address[6];
    std::memcpy(address, g_phone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, quietProgress), 3);
    const Held before = atRest();
    auto start = Clock::now();
    EXPECT_EQ(PM_OpenBluetoothChannel(2), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
    expectReleased(before);
    // The module goes on: another channel opens.
    ASSERT_EQ(PM_OpenBluetoothChannel(0), 1) << PM_GetCommErr();
    PM_SetRxTimeout(10000);
    expectOk();
    PM_ClosePort();
    expectReleased(before);
}

TEST_F(Bluetooth, ControllerGoneMidSession)
{
    uint8_t address[6];
    std::memcpy(address, g_phone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, quietProgress), 3);
    const Held before = atRest();
    ASSERT_EQ(PM_OpenBluetoothChannel(0), 1) << PM_GetCommErr();
    PM_SetRxTimeout(2000);
    PM_SetTxTimeout(2000);
    expectOk();
    shell("busctl set-property org.bluez /org/bluez/hci1 org.bluez.Adapter1 Powered b false");
    expectGone();
    expectReleased(before);
    shell("busctl set-property org.bluez /org/bluez/hci1 org.bluez.Adapter1 Powered b true");
}

// The computer's own controller is reset (powered off and on) under an open channel: the session
// ends as when the phone goes, and once the controller is back the phone opens again.
TEST_F(Bluetooth, ComputerControllerResetMidSession)
{
    uint8_t address[6];
    std::memcpy(address, g_phone, 6);
    ASSERT_EQ(PM_CountBluetoothChannels(address, quietProgress), 3) << PM_GetCommErr();
    const Held before = atRest();
    ASSERT_EQ(PM_OpenBluetoothChannel(0), 1) << PM_GetCommErr();
    PM_SetRxTimeout(2000);
    PM_SetTxTimeout(2000);
    expectOk();
    shell("busctl set-property org.bluez /org/bluez/hci0 org.bluez.Adapter1 Powered b false");
    expectGone();
    expectReleased(before);
    shell("busctl set-property org.bluez /org/bluez/hci0 org.bluez.Adapter1 Powered b true");
    ASSERT_EQ(PM_CountBluetoothChannels(address, quietProgress), 3) << PM_GetCommErr();
    ASSERT_EQ(PM_OpenBluetoothChannel(0), 1) << PM_GetCommErr();
    PM_SetRxTimeout(10000);
    expectOk();
    EXPECT_EQ(PM_ClosePort(), 1);
}

// A phone the computer found by a scan and never paired with, nor the phone with the computer:
// every open pairs anew ("just works", no key kept) and every listed channel opens and answers.
// Last of the Bluetooth tests, so that the others meet the phone as the earlier lab tests left it.
TEST_F(Bluetooth, OpensEveryChannelOfAnUnpairedPhone)
{
    shell("bash -c '. \"$LAB_SOURCE/tests/lab/stacks.sh\" && unpair_phone'");
    shell("busctl get-property org.bluez /org/bluez/hci0/dev_$(echo $BT_PHONE | tr : _) "
          "org.bluez.Device1 Paired | grep -qx 'b false'");
    opensEveryListedChannel(4096);
}

class Usb : public ::testing::Test {
  protected:
    void SetUp() override
    {
        const int32_t info[2] = {1002, 0};
        PM_SetInfo(info);
    }
    void plug(bool in)
    {
        shell("echo '" + (in ? env("USB_UDC") : std::string()) + "' > " + env("GADGET") + "/UDC");
        if (in) {
            shell("udevadm settle --timeout=60 && for i in $(seq 600); do "
                  "[ -e /dev/ttyACM0 ] && exit 0; sleep 0.1; done; exit 1");
        }
    }
};

TEST_F(Usb, OpensByCableTypeAndExchanges)
{
    ASSERT_EQ(PM_OpenPort(0), 1) << PM_GetCommErr();
    PM_SetRxTimeout(10000);
    expectOk();
    exchange(64 * 1024);
    EXPECT_EQ(PM_ClosePort(), 1);
}

TEST_F(Usb, UnpluggedMidSessionThenPluggedBack)
{
    const Held before = atRest();
    ASSERT_EQ(PM_OpenPort(0), 1) << PM_GetCommErr();
    PM_SetRxTimeout(2000);
    PM_SetTxTimeout(2000);
    expectOk();
    plug(false);
    expectGone();
    expectReleased(before);
    plug(true);
    ASSERT_EQ(PM_OpenPort(0), 1) << PM_GetCommErr();
    PM_SetRxTimeout(10000);
    expectOk();
    EXPECT_EQ(PM_ClosePort(), 1);
}

// Quick unplug and plug cycles (a loose cable: a burst of udev events, ttys coming and going)
// while a port is open and then while the host keeps opening: every call returns within its
// time-outs, and once the cable stays in the phone opens by cable type and answers.
TEST_F(Usb, ReplugStorm)
{
    const Held before = atRest();
    ASSERT_EQ(PM_OpenPort(0), 1) << PM_GetCommErr();
    PM_SetRxTimeout(500);
    PM_SetTxTimeout(500);
    expectOk();
    const std::string udc = env("GADGET") + "/UDC";
    const std::string cycles = "for i in 1 2 3 4 5 6; do echo '' > " + udc + "; echo '" +
                               env("USB_UDC") + "' > " + udc + "; done; echo '' > " + udc;
    std::atomic<bool> over{false};
    int stormStatus = -1;
    std::thread storm([&] {
        stormStatus = std::system(cycles.c_str());
        over = true;
    });
    const uint8_t at[] = {'A', 'T', '\r'};
    uint8_t in[16];
    auto start = Clock::now();
    while (!over) {
        auto call = Clock::now();
        PM_TxBytes(3, at);
        PM_RxBytes(sizeof in, in);
        PM_ClosePort();
        if (PM_OpenPort(0) == 1) {
            PM_SetRxTimeout(500);
            PM_SetTxTimeout(500);
        }
        EXPECT_LT(Clock::now() - call, std::chrono::seconds(30));
    }
    storm.join();
    EXPECT_EQ(stormStatus, 0) << cycles;
    PM_ClosePort();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(120));
    expectReleased(before);

    plug(true);
    auto end = Clock::now() + std::chrono::seconds(60);
    int opened = 0;
    while ((opened = PM_OpenPort(0)) != 1 && Clock::now() < end) {
        PM_SimpleSleep(100);
    }
    ASSERT_EQ(opened, 1) << PM_GetCommErr();
    PM_SetRxTimeout(10000);
    expectOk();
    exchange(4096);
    EXPECT_EQ(PM_ClosePort(), 1);
    expectReleased(before);
}

} // namespace
