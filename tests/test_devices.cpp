#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PortMdlDevices.h"
#include "platform/serial/SerialRegistry.h"
#include "portmdl/PortMdl.h"

namespace fs = std::filesystem;

namespace {

// A stand-in registry directory that the module reads at every enumeration.
class Devices : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/pm_devices_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        useRegistry(root);
    }
    void TearDown() override { fs::remove_all(root); }

    void useRegistry(const std::string& dir)
    {
        registry = dir;
        setenv("PM_SERIAL_REGISTRY", dir.c_str(), 1);
    }
    void add(const std::string& name, const std::string& dir = "")
    {
        std::ofstream(fs::path(dir.empty() ? registry : dir) / name).put('\0');
    }
    std::string path(const std::string& name) const { return registry + "/" + name; }

    // getDeviceName on a 256-byte buffer holding the pattern.
    int lookup(const std::string& pattern, int index, std::string& result)
    {
        char name[kDevicePathSize] = {};
        std::strncpy(name, pattern.c_str(), sizeof name - 1);
        int rc = getDeviceName(name, index);
        result = name;
        return rc;
    }

    std::string root, registry;
};

TEST_F(Devices, PatternIsACaseSensitivePrefixOfTheTerminalName)
{
    for (const char* n :
         {"usbmodem1411", "usbmodem3A21", "xusbmodem", "USBMODEM9", "ORVUUSBC0", "usbserial-A1"}) {
        add(n);
    }
    struct Case {
        const char* pattern;
        int index;
        int rc;
        std::string name; // the pattern itself when nothing matched
    };
    const Case cases[] = {
        {"usbmodem", 0, 1, path("usbmodem1411")},
        {"usbmodem", 1, 1, path("usbmodem3A21")},
        {"usbmodem", 2, 1, ""}, // only two match: a third is the empty path
        {"USBMODEM", 0, 1, path("USBMODEM9")},
        {"USBMODEM", 1, 1, ""},
        {"modem", 0, 0, "modem"},
        {"usbmodem14110", 0, 0, "usbmodem14110"}, // longer than every name
        {"ORVUUSBC", 0, 1, path("ORVUUSBC0")},
        {"ORVUUSBP", 0, 0, "ORVUUSBP"},
        {"usbserial-A1", 0, 1, path("usbserial-A1")},
        {"usbmodem", -1, 1, ""},
        {"usbmodem", 7, 1, ""},
    };
    for (const auto& c : cases) {
        std::string result;
        EXPECT_EQ(lookup(c.pattern, c.index, result), c.rc) << c.pattern << " #" << c.index;
        EXPECT_EQ(result, c.name) << c.pattern << " #" << c.index;
    }
}

TEST_F(Devices, SecondMatchOfASingleDeviceIsFoundButEmpty)
{
    add("usbmodemFD121");
    std::string result;
    EXPECT_EQ(lookup("usbmodem", 1, result), 1);
    EXPECT_EQ(result, "");
    EXPECT_EQ(lookup("usbmodem", 0, result), 1);
    EXPECT_EQ(result, path("usbmodemFD121"));
}

TEST_F(Devices, OnlyTheFirstFiveMatchesAreCandidates)
{
    // Non-matching names before them do not use up the five.
    for (int i = 0; i < 8; ++i) {
        add("a" + std::to_string(i));
        add("usbmodem" + std::to_string(i));
    }
    std::string result;
    EXPECT_EQ(lookup("usbmodem", 4, result), 1);
    EXPECT_EQ(result, path("usbmodem4"));
    EXPECT_EQ(lookup("usbmodem", 5, result), 1);
    EXPECT_EQ(result, "");
}

TEST_F(Devices, EmptyPatternOrFailedQueryFindsNothing)
{
    add("usbmodem1");
    std::string result;
    EXPECT_EQ(lookup("", 0, result), 0);
    EXPECT_EQ(getDeviceName(nullptr, 0), 0);

    useRegistry(root + "/missing");
    EXPECT_EQ(lookup("usbmodem", 0, result), 0);
    EXPECT_EQ(result, "usbmodem");
    EXPECT_EQ(PM_CountDevices(), 0);
}

TEST_F(Devices, CountListsEntriesInBytewiseOrderWithoutDotEntries)
{
    for (const char* n : {"b", "a", "B", ".hidden", "..x", "Z9"}) {
        add(n);
    }
    fs::create_directory(path("sub")); // any entry is a device, whatever its kind
    ASSERT_EQ(PM_CountDevices(), 5);
    EXPECT_EQ(g_nNumDevices, 5);
    const std::vector<std::string> expected = {path("B"), path("Z9"), path("a"), path("b"),
                                               path("sub")};
    for (int i = 0; i < 5; ++i) {
        char name[kDevicePathSize];
        ASSERT_EQ(PM_GetDeviceName(i, name, sizeof name), 1);
        EXPECT_EQ(name, expected[i]);
    }
}

TEST_F(Devices, CountStopsAt256Devices)
{
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        char n[16];
        std::snprintf(n, sizeof n, "tty%03d", i);
        names.push_back(n);
        add(n);
    }
    EXPECT_EQ(PM_CountDevices(), 256);
    char name[kDevicePathSize];
    ASSERT_EQ(PM_GetDeviceName(255, name, sizeof name), 1);
    EXPECT_EQ(name, path("tty255"));
    EXPECT_EQ(PM_GetDeviceName(256, name, sizeof name), 0);
}

TEST_F(Devices, OverlongOrNonAsciiNamesAreSkippedAndBadPathsListedEmpty)
{
    // The directory path is padded so that callout paths reach the 255-character limit.
    std::string dir = root + "/" + std::string(200 - root.size(), 'd');
    ASSERT_TRUE(fs::create_directory(dir));
    useRegistry(dir);
    const size_t room = 255 - dir.size() - 1; // longest name whose callout path still fits
    const std::string fits = "m" + std::string(room - 1, 'a');
    const std::string tooLongPath = "m" + std::string(room, 'b');
    const std::string name127 = "n" + std::string(126, 'c');
    const std::string name128 = "n" + std::string(127, 'e');
    for (const auto& n : {fits, tooLongPath, name127, name128, std::string("n\xC3\xA9")}) {
        add(n);
    }
    ASSERT_EQ(path(fits).size(), 255u);

    ASSERT_EQ(PM_CountDevices(), 3);
    EXPECT_EQ(std::string(g_DeviceNames[0]), path(fits));
    EXPECT_EQ(std::string(g_DeviceNames[1]), ""); // counted, but its path does not fit
    EXPECT_EQ(std::string(g_DeviceNames[2]), "");

    std::string result;
    EXPECT_EQ(lookup("mb", 0, result), 1);
    EXPECT_EQ(result, "");
    EXPECT_EQ(lookup("nee", 0, result), 0);
    EXPECT_EQ(lookup("ncc", 0, result), 1);
    EXPECT_EQ(result, "");
    EXPECT_EQ(lookup("n\xC3", 0, result), 0);
}

TEST_F(Devices, NonAsciiCalloutPathIsCountedEmpty)
{
    std::string dir = root + "/r\xC3\xA9g";
    ASSERT_TRUE(fs::create_directory(dir));
    useRegistry(dir);
    add("usbmodem1");
    ASSERT_EQ(PM_CountDevices(), 1);
    char name[8] = "x";
    ASSERT_EQ(PM_GetDeviceName(0, name, sizeof name), 1);
    EXPECT_STREQ(name, "");
    std::string result;
    EXPECT_EQ(lookup("usbmodem", 0, result), 1);
    EXPECT_EQ(result, "");
}

TEST_F(Devices, RecountAfterADeviceVanishes)
{
    for (const char* n : {"a", "b", "c"}) {
        add(n);
    }
    ASSERT_EQ(PM_CountDevices(), 3);
    fs::remove(path("c"));
    EXPECT_EQ(PM_CountDevices(), 2);
    EXPECT_EQ(g_DeviceNames[2][0], '\0');
    char name[kDevicePathSize];
    EXPECT_EQ(PM_GetDeviceName(2, name, sizeof name), 0);
    ASSERT_EQ(PM_GetDeviceName(1, name, sizeof name), 1);
    EXPECT_EQ(name, path("b"));
}

TEST_F(Devices, FailedRecountKeepsTheTableButHidesIt)
{
    add("a");
    ASSERT_EQ(PM_CountDevices(), 1);
    useRegistry(root + "/missing");
    EXPECT_EQ(PM_CountDevices(), 0);
    EXPECT_EQ(std::string(g_DeviceNames[0]), root + "/a");
    char name[kDevicePathSize] = "untouched";
    EXPECT_EQ(PM_GetDeviceName(0, name, sizeof name), 0);
    EXPECT_STREQ(name, "untouched");
}

TEST_F(Devices, GetDeviceNameTruncatesAndRejectsBadArguments)
{
    add("usbmodem1");
    char buf[16];
    auto fill = [&] { std::memset(buf, '#', sizeof buf); };

    fill();
    EXPECT_EQ(PM_GetDeviceName(0, buf, sizeof buf), 0); // nothing enumerated yet
    EXPECT_EQ(buf[0], '#');

    ASSERT_EQ(PM_CountDevices(), 1);
    fill();
    ASSERT_EQ(PM_GetDeviceName(0, buf, 1), 1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], '#');

    fill();
    ASSERT_EQ(PM_GetDeviceName(0, buf, 5), 1);
    EXPECT_EQ(std::string(buf), path("usbmodem1").substr(0, 4));
    EXPECT_EQ(buf[5], '#');

    for (int index : {1, -1}) {
        fill();
        EXPECT_EQ(PM_GetDeviceName(index, buf, sizeof buf), 0) << index;
        EXPECT_EQ(buf[0], '#');
    }
    fill();
    EXPECT_EQ(PM_GetDeviceName(0, buf, 0), 0);
    EXPECT_EQ(PM_GetDeviceName(0, buf, -3), 0);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(PM_GetDeviceName(0, nullptr, 16), 0);
}

TEST(RealTtyName, NamesPortsTheWayTheCableTableExpects)
{
    auto usbSerial = [](std::string kernel, std::string serial) {
        TtyFacts f;
        f.kernelName = kernel;
        f.hasDevice = true;
        f.deviceSubsystem = "usb-serial";
        f.usbInterfaceDriver = "ftdi_sio";
        f.usbInterfaceClass = "ff";
        f.usbSerial = serial;
        f.usbPort = "1-2";
        return f;
    };
    auto acm = [](std::string kernel, std::string serial, std::string port, std::string number) {
        TtyFacts f;
        f.kernelName = kernel;
        f.hasDevice = true;
        f.deviceSubsystem = "usb";
        f.usbInterfaceDriver = "cdc_acm";
        f.usbInterfaceClass = "02";
        f.usbInterfaceNumber = number;
        f.usbSerial = serial;
        f.usbPort = port;
        return f;
    };
    auto plain = [](std::string kernel, std::string subsystem, std::optional<std::string> type) {
        TtyFacts f;
        f.kernelName = kernel;
        f.hasDevice = true;
        f.deviceSubsystem = subsystem;
        f.portType = type;
        return f;
    };
    TtyFacts vendorModem = acm("ttyACM3", "", "3-1", "01");
    vendorModem.usbInterfaceDriver = "";
    TtyFacts boundByQuirk = acm("ttyACM4", "Q1", "3-2", "00");
    boundByQuirk.usbInterfaceClass = "ff";
    TtyFacts virtualTty = plain("tty1", "", std::nullopt);
    virtualTty.hasDevice = false;

    struct Case {
        TtyFacts facts;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {usbSerial("ttyUSB0", "A1B2C3"), "usbserial-A1B2C3"},
        {usbSerial("ttyUSB1", ""), "usbserial-ttyUSB1"},
        {usbSerial("ttyUSB2", "FT 12/3-x"), "usbserial-FT123x"},
        {usbSerial("ttyUSB3", "\xC3\xA9"), "usbserial-ttyUSB3"},
        {usbSerial("ttyUSB4", std::string(100, 'S')), "usbserial-" + std::string(64, 'S')},
        {acm("ttyACM0", "12345", "1-1", "00"), "usbmodem123450"},
        {acm("ttyACM1", "", "1-1.4", "02"), "usbmodem1142"},
        {acm("ttyACM2", "", "2-3", "0a"), "usbmodem2310"},
        {vendorModem, "usbmodem311"},
        {boundByQuirk, "usbmodemQ10"},
        {plain("ttyS0", "pnp", "4"), "ttyS0"},
        {plain("ttyS1", "platform", "0"), std::nullopt},
        {plain("ttyAMA0", "amba", "83"), "ttyAMA0"},
        {plain("ttyGS0", "", std::nullopt), "ttyGS0"},
        {virtualTty, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RealTtyName(c.facts), c.name) << c.facts.kernelName;
    }
}

// The machine's own ports, whatever they are: a stable, sorted list of /dev paths.
TEST(SerialRegistry, SystemPortsAreListedStablyUnderDev)
{
    unsetenv("PM_SERIAL_REGISTRY");
    auto first = QuerySerialRegistry();
    ASSERT_TRUE(first.has_value());
    for (const auto& d : *first) {
        ASSERT_TRUE(d.ttyDevice && d.calloutDevice);
        EXPECT_EQ(d.calloutDevice->rfind("/dev/", 0), 0u) << *d.calloutDevice;
    }
    EXPECT_TRUE(std::is_sorted(first->begin(), first->end(), [](const auto& a, const auto& b) {
        return *a.ttyDevice < *b.ttyDevice;
    }));
    auto second = QuerySerialRegistry();
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(second->size(), first->size());
    for (size_t i = 0; i < first->size(); ++i) {
        EXPECT_EQ((*second)[i].calloutDevice, (*first)[i].calloutDevice);
    }
    EXPECT_EQ(PM_CountDevices(), static_cast<int32_t>(std::min<size_t>(first->size(), 256)));
}

} // namespace
