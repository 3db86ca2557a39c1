// Service records and SDP data elements as a backend hands them out: plain values owned by a
// store that lives as long as the backend, so references stay valid (see Bluetooth.h).
#ifndef PM_STD_MAC_PLATFORM_BLUETOOTHRECORDS_H
#define PM_STD_MAC_PLATFORM_BLUETOOTHRECORDS_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Bluetooth.h"

struct BluetoothElement final : OpaqueIOBluetoothObjectRef {
    uint8_t type = kBluetoothSDPDataElementTypeNil;
    int64_t number = 0;        // integers and booleans
    std::string text;          // text and URLs, UTF-8
    std::vector<uint8_t> uuid; // 2, 4 or 16 bytes
    BluetoothRefList members;  // sequences and alternatives
};

struct BluetoothRecord final : OpaqueIOBluetoothObjectRef {
    int rfcomm = -1; // RFCOMM channel ID, -1 when the record has none
    BluetoothAttributeList attributes;
};

class BluetoothRecordStore {
  public:
    BluetoothElement* NewElement()
    {
        m_elements.push_back(std::make_unique<BluetoothElement>());
        return m_elements.back().get();
    }
    BluetoothRecord* NewRecord()
    {
        m_records.push_back(std::make_unique<BluetoothRecord>());
        return m_records.back().get();
    }

  private:
    std::vector<std::unique_ptr<BluetoothElement>> m_elements;
    std::vector<std::unique_ptr<BluetoothRecord>> m_records;
};

// The record and data element operations, alike for every backend whose records are these.
IOReturn BluetoothRecordRFCOMMChannelID(BluetoothRef record, uint8_t* channelID);
const BluetoothAttributeList* BluetoothRecordAttributes(BluetoothRef record);
uint8_t BluetoothElementType(BluetoothRef element);
int64_t BluetoothElementNumber(BluetoothRef element);
const std::string* BluetoothElementString(BluetoothRef element);
const BluetoothRefList* BluetoothElementArray(BluetoothRef element);
BluetoothRef BluetoothElementUUID(BluetoothRef element);
std::span<const uint8_t> BluetoothUUIDBytes(BluetoothRef uuid);

#endif
