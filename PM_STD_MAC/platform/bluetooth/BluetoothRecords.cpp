// What a backend answers about its records and data elements.
#include "BluetoothRecords.h"

namespace {

const BluetoothElement* element(BluetoothRef ref)
{
    return static_cast<const BluetoothElement*>(ref);
}

} // namespace

IOReturn BluetoothRecordRFCOMMChannelID(BluetoothRef record, uint8_t* channelID)
{
    const auto* r = static_cast<const BluetoothRecord*>(record);
    if (r == nullptr || r->rfcomm < 0 || channelID == nullptr) {
        return kIOReturnNotFound;
    }
    *channelID = static_cast<uint8_t>(r->rfcomm);
    return kIOReturnSuccess;
}

const BluetoothAttributeList* BluetoothRecordAttributes(BluetoothRef record)
{
    return record != nullptr ? &static_cast<const BluetoothRecord*>(record)->attributes : nullptr;
}

uint8_t BluetoothElementType(BluetoothRef e)
{
    return e != nullptr ? element(e)->type
                        : static_cast<uint8_t>(kBluetoothSDPDataElementTypeNil);
}

int64_t BluetoothElementNumber(BluetoothRef e)
{
    return e != nullptr ? element(e)->number : 0;
}

const std::string* BluetoothElementString(BluetoothRef e)
{
    uint8_t type = BluetoothElementType(e);
    if (type != kBluetoothSDPDataElementTypeString && type != kBluetoothSDPDataElementTypeURL) {
        return nullptr;
    }
    return &element(e)->text;
}

const BluetoothRefList* BluetoothElementArray(BluetoothRef e)
{
    uint8_t type = BluetoothElementType(e);
    if (type != kBluetoothSDPDataElementTypeDataElementSequence &&
        type != kBluetoothSDPDataElementTypeDataElementAlternative) {
        return nullptr;
    }
    return &element(e)->members;
}

BluetoothRef BluetoothElementUUID(BluetoothRef e)
{
    return BluetoothElementType(e) == kBluetoothSDPDataElementTypeUUID ? e : nullptr;
}

std::span<const uint8_t> BluetoothUUIDBytes(BluetoothRef uuid)
{
    if (uuid == nullptr) {
        return {};
    }
    const std::vector<uint8_t>& bytes = element(uuid)->uuid;
    return {bytes.data(), bytes.size()};
}
