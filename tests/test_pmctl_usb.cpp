// pmctl's --usb: the identity read from the command line, and the one device it names among a
// device list such as udev gives.
#include <gtest/gtest.h>

#include "UsbIdentity.h"

using pmctl::DeviceFacts;
using pmctl::UsbIdentity;

namespace {

DeviceFacts usbDevice(const std::string& path, const std::string& kernel, const std::string& vid,
                      const std::string& pid, const std::string& serial)
{
    DeviceFacts d;
    d.callout = path;
    d.kernelName = kernel;
    d.usbVendor = vid;
    d.usbProduct = pid;
    d.serial = serial;
    d.byIdLinks = {"/dev/serial/by-id/usb-Maker_Phone_" + serial + "-if00"};
    return d;
}

UsbIdentity parse(const std::string& text)
{
    std::string error;
    auto identity = pmctl::parseUsbIdentity(text, error);
    EXPECT_TRUE(identity) << text << ": " << error;
    return identity.value_or(UsbIdentity{});
}

} // namespace

TEST(PmctlUsbIdentity, ReadsIdsInAnyCaseAndTheRestAsSerial)
{
    struct Case {
        const char* text;
        const char* vendor;
        const char* product;
        const char* serial;
    };
    for (const Case& c : {Case{"22b8:4902", "22b8", "4902", ""},
                          Case{"22B8:4902:ABC", "22b8", "4902", "ABC"},
                          Case{"5ac:12a8", "05ac", "12a8", ""},
                          Case{"1d6b:0104:a:b:c", "1d6b", "0104", "a:b:c"}}) {
        UsbIdentity id = parse(c.text);
        EXPECT_EQ(id.vendor, c.vendor) << c.text;
        EXPECT_EQ(id.product, c.product) << c.text;
        EXPECT_EQ(id.serial, c.serial) << c.text;
    }
}

TEST(PmctlUsbIdentity, RefusesWhatIsNoIdentityAndSaysWhy)
{
    struct Case {
        const char* text;
        const char* says;
    };
    for (const Case& c : {Case{"22b8", "no USB identity"}, Case{"", "no USB identity"},
                          Case{"22g8:4902", "vendor id '22g8'"}, Case{"22b8:", "product id ''"},
                          Case{":4902", "vendor id ''"}, Case{"12345:1", "vendor id '12345'"},
                          Case{"22b8:0x49", "product id '0x49'"},
                          Case{"22b8:4902:", "serial number after the second ':' is empty"}}) {
        std::string error;
        EXPECT_FALSE(pmctl::parseUsbIdentity(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
    }
}

TEST(PmctlUsbIdentity, PicksTheOneDeviceOrListsTheCandidates)
{
    DeviceFacts pts;
    pts.callout = "/dev/pts/3";
    pts.kernelName = "pts/3";
    const std::vector<DeviceFacts> devices = {
        pts,
        usbDevice("/dev/ttyACM0", "ttyACM0", "22b8", "4902", "PHONE1"),
        usbDevice("/dev/ttyACM1", "ttyACM1", "22B8", "4902", "PHONE2"),
        usbDevice("/dev/ttyUSB0", "ttyUSB0", "0403", "6001", "FT1"),
        // The same adapter once more, through a registry link: one device, not two.
        usbDevice("/tmp/reg/usbserial-FT1", "ttyUSB0", "0403", "6001", "FT1"),
    };
    std::string error;
    EXPECT_EQ(pmctl::pickUsbDevice(parse("0403:6001"), devices, error), "/dev/ttyUSB0") << error;
    EXPECT_EQ(pmctl::pickUsbDevice(parse("22b8:4902:PHONE2"), devices, error), "/dev/ttyACM1");
    // The serial number is matched exactly.
    EXPECT_EQ(pmctl::pickUsbDevice(parse("22b8:4902:phone2"), devices, error), "");

    bool several = false;
    EXPECT_EQ(pmctl::pickUsbDevice(parse("22b8:4902"), devices, error, &several), "");
    EXPECT_TRUE(several);
    for (const char* part : {"2 serial devices have the USB identity 22b8:4902",
                             "/dev/ttyACM0  22b8:4902:PHONE1", "/dev/ttyACM1  22B8:4902:PHONE2",
                             "/dev/serial/by-id/usb-Maker_Phone_PHONE1-if00",
                             "--usb VID:PID:SERIAL"})
        EXPECT_NE(error.find(part), std::string::npos) << part << "\n" << error;
    EXPECT_EQ(error.find("0403"), std::string::npos) << error;

    EXPECT_EQ(pmctl::pickUsbDevice(parse("1d6b:0104"), devices, error, &several), "");
    EXPECT_FALSE(several);
    for (const char* part : {"no serial device has the USB identity 1d6b:0104",
                             "/dev/ttyACM0  22b8:4902:PHONE1", "/dev/ttyUSB0  0403:6001:FT1"})
        EXPECT_NE(error.find(part), std::string::npos) << part << "\n" << error;
    EXPECT_EQ(error.find("pts/3"), std::string::npos) << error;

    EXPECT_EQ(pmctl::pickUsbDevice(parse("1d6b:0104"), {pts}, error), "");
    EXPECT_NE(error.find("no USB serial device is connected"), std::string::npos) << error;
}
