// Converting libbluetooth's parsed SDP records: each data element by its type descriptor, UUIDs as
// their bytes in network order, text as given, sequences member by member.
#include "BluezRecords.h"

#include <cstring>

#include <bluetooth/sdp_lib.h>

namespace {

void putBigEndian(std::vector<uint8_t>& out, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A text or URL string. libbluetooth keeps the bytes of a string it built unterminated, counting
// them in the element's size after its type byte; a string it parsed is terminated as well. So the
// text is at most that many bytes, and ends at a terminator.
std::string stringValue(const sdp_data_t* d)
{
    int room = d->unitSize - 1;
    if (d->val.str == nullptr || room <= 0) {
        return {};
    }
    return std::string(d->val.str, strnlen(d->val.str, static_cast<size_t>(room)));
}

BluetoothElement* convertElement(const sdp_data_t* d, BluetoothRecordStore& store, int depth)
{
    BluetoothElement* e = store.NewElement();
    if (d == nullptr || depth > kMaxBluezElementDepth) {
        return e; // nil
    }
    switch (d->dtd) {
    case SDP_UINT8:
        e->type = kBluetoothSDPDataElementTypeUnsignedInt;
        e->number = d->val.uint8;
        break;
    case SDP_UINT16:
        e->type = kBluetoothSDPDataElementTypeUnsignedInt;
        e->number = d->val.uint16;
        break;
    case SDP_UINT32:
        e->type = kBluetoothSDPDataElementTypeUnsignedInt;
        e->number = d->val.uint32;
        break;
    case SDP_UINT64:
        e->type = kBluetoothSDPDataElementTypeUnsignedInt;
        e->number = static_cast<int64_t>(d->val.uint64);
        break;
    case SDP_INT8:
        e->type = kBluetoothSDPDataElementTypeSignedInt;
        e->number = d->val.int8;
        break;
    case SDP_INT16:
        e->type = kBluetoothSDPDataElementTypeSignedInt;
        e->number = d->val.int16;
        break;
    case SDP_INT32:
        e->type = kBluetoothSDPDataElementTypeSignedInt;
        e->number = d->val.int32;
        break;
    case SDP_INT64:
        e->type = kBluetoothSDPDataElementTypeSignedInt;
        e->number = d->val.int64;
        break;
    case SDP_UINT128:
    case SDP_INT128: {
        // Only the low 64 bits fit the number; the renderings show 32 of them anyway.
        e->type = d->dtd == SDP_UINT128 ? kBluetoothSDPDataElementTypeUnsignedInt
                                        : kBluetoothSDPDataElementTypeSignedInt;
        uint64_t low = 0;
        for (int i = 8; i < 16; ++i) {
            low = low << 8 | d->val.uint128.data[i];
        }
        e->number = static_cast<int64_t>(low);
        break;
    }
    case SDP_BOOL:
        e->type = kBluetoothSDPDataElementTypeBoolean;
        e->number = d->val.uint8 != 0 ? 1 : 0;
        break;
    case SDP_UUID16:
    case SDP_UUID32:
    case SDP_UUID128:
        e->type = kBluetoothSDPDataElementTypeUUID;
        if (d->val.uuid.type == SDP_UUID16) {
            putBigEndian(e->uuid, d->val.uuid.value.uuid16, 2);
        } else if (d->val.uuid.type == SDP_UUID32) {
            putBigEndian(e->uuid, d->val.uuid.value.uuid32, 4);
        } else {
            e->uuid.assign(d->val.uuid.value.uuid128.data, d->val.uuid.value.uuid128.data + 16);
        }
        break;
    case SDP_TEXT_STR8:
    case SDP_TEXT_STR16:
    case SDP_TEXT_STR32:
    case SDP_URL_STR8:
    case SDP_URL_STR16:
    case SDP_URL_STR32:
        e->type = d->dtd >= SDP_URL_STR8 ? kBluetoothSDPDataElementTypeURL
                                         : kBluetoothSDPDataElementTypeString;
        e->text = stringValue(d);
        break;
    case SDP_SEQ8:
    case SDP_SEQ16:
    case SDP_SEQ32:
    case SDP_ALT8:
    case SDP_ALT16:
    case SDP_ALT32:
        e->type = d->dtd >= SDP_ALT8 ? kBluetoothSDPDataElementTypeDataElementAlternative
                                     : kBluetoothSDPDataElementTypeDataElementSequence;
        for (const sdp_data_t* m = d->val.dataseq; m != nullptr; m = m->next) {
            e->members.push_back(convertElement(m, store, depth + 1));
        }
        break;
    default:
        break; // nil, or a type SDP does not define
    }
    return e;
}

int rfcommChannel(const sdp_record_t* record)
{
    sdp_list_t* protos = nullptr;
    if (sdp_get_access_protos(record, &protos) != 0) {
        return -1;
    }
    int channel = sdp_get_proto_port(protos, RFCOMM_UUID);
    for (sdp_list_t* p = protos; p != nullptr; p = p->next) {
        sdp_list_free(static_cast<sdp_list_t*>(p->data), nullptr);
    }
    sdp_list_free(protos, nullptr);
    return channel >= 1 && channel <= 255 ? channel : -1;
}

} // namespace

BluetoothRecord* ConvertSDPRecord(const sdp_record_t* record, BluetoothRecordStore& store)
{
    if (record == nullptr) {
        return nullptr;
    }
    BluetoothRecord* r = store.NewRecord();
    for (const sdp_list_t* a = record->attrlist; a != nullptr; a = a->next) {
        const auto* d = static_cast<const sdp_data_t*>(a->data);
        if (d != nullptr) {
            r->attributes.emplace_back(d->attrId, convertElement(d, store, 1));
        }
    }
    r->rfcomm = rfcommChannel(record);
    return r;
}
