// Bluetooth addresses as text: "AA:BB:CC:DD:EE:01", the bytes in the order written.
#include "BluetoothAddress.h"

#include <cstdio>

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseBluetoothAddress(const std::string& text, BluetoothDeviceAddress& address)
{
    if (text.size() != 17) {
        return false;
    }
    for (size_t i = 0; i < 6; ++i) {
        int high = HexDigitValue(text[3 * i]), low = HexDigitValue(text[3 * i + 1]);
        if (high < 0 || low < 0 || (i < 5 && text[3 * i + 2] != ':')) {
            return false;
        }
        address.data[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::string BluetoothAddressText(const BluetoothDeviceAddress& a)
{
    char text[18];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", a.data[0], a.data[1], a.data[2],
             a.data[3], a.data[4], a.data[5]);
    return text;
}

