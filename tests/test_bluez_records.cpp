// SDP records built with libbluetooth's own constructors, converted into the platform interface's
// records and rendered as the channel listing renders them.
#include <gtest/gtest.h>

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "BluetoothTestSupport.h"
#include "platform/bluetooth/bluez/BluezRecords.h"

namespace {

// A record offering a serial service: its name, and L2CAP + RFCOMM in its protocol list (without
// an RFCOMM channel when channel is 0).
sdp_record_t* serviceRecord(const char* name, uint8_t channel)
{
    sdp_record_t* record = sdp_record_alloc();
    sdp_set_info_attr(record, name, nullptr, nullptr);
    uuid_t l2capUuid, rfcommUuid;
    sdp_uuid16_create(&l2capUuid, L2CAP_UUID);
    sdp_uuid16_create(&rfcommUuid, RFCOMM_UUID);
    sdp_list_t* l2cap = sdp_list_append(nullptr, &l2capUuid);
    sdp_list_t* protos = sdp_list_append(nullptr, l2cap);
    sdp_list_t* rfcomm = nullptr;
    sdp_data_t* port = nullptr;
    if (channel != 0) {
        port = sdp_data_alloc(SDP_UINT8, &channel);
        rfcomm = sdp_list_append(nullptr, &rfcommUuid);
        sdp_list_append(rfcomm, port);
        sdp_list_append(protos, rfcomm);
    }
    sdp_list_t* access = sdp_list_append(nullptr, protos);
    sdp_set_access_protos(record, access);
    sdp_list_free(l2cap, nullptr);
    sdp_list_free(rfcomm, nullptr);
    sdp_list_free(protos, nullptr);
    sdp_list_free(access, nullptr);
    if (port != nullptr) {
        sdp_data_free(port);
    }
    return record;
}

std::string render(BluetoothRef element)
{
    char buffer[256] = {};
    EI_CommBaseBluetooth::dumpDataElement(element, buffer, sizeof buffer);
    return buffer;
}

const BluetoothElement* attribute(const BluetoothRecord* record, uint32_t id)
{
    for (const auto& [key, element] : record->attributes) {
        if (key == id) {
            return static_cast<const BluetoothElement*>(element);
        }
    }
    return nullptr;
}

// The renderings go through a backend's element getters: the simulated one, with an empty world.
class BluezRecords : public ::testing::Test {
  protected:
    BluetoothWorldFile world{json{{"devices", json::array()}}};
    BluetoothRecordStore store;
};

TEST_F(BluezRecords, AServiceRecordGivesItsNameAndRfcommChannel)
{
    sdp_record_t* dun = serviceRecord("Dial-up Networking", 7);
    sdp_record_t* plain = serviceRecord("Audio Source", 0);
    BluetoothRecord* withChannel = ConvertSDPRecord(dun, store);
    BluetoothRecord* without = ConvertSDPRecord(plain, store);
    sdp_record_free(dun);
    sdp_record_free(plain);
    ASSERT_NE(withChannel, nullptr);
    EXPECT_EQ(withChannel->rfcomm, 7);
    EXPECT_EQ(without->rfcomm, -1);
    uint8_t id = 0;
    EXPECT_EQ(Bluetooth().IOBluetoothSDPServiceRecordGetRFCOMMChannelID(withChannel, &id), 0);
    EXPECT_EQ(id, 7);
    EXPECT_NE(Bluetooth().IOBluetoothSDPServiceRecordGetRFCOMMChannelID(without, &id), 0);

    char name[512] = {};
    EI_CommBaseBluetooth::dumpNameAttributes(withChannel, name, sizeof name);
    EXPECT_STREQ(name, "Dial-up Networking");

    // The protocol list: ((L2CAP) (RFCOMM 7)) as nested sequences of UUIDs and an integer.
    const BluetoothElement* protocols = attribute(withChannel, SDP_ATTR_PROTO_DESC_LIST);
    ASSERT_NE(protocols, nullptr);
    ASSERT_EQ(protocols->type, kBluetoothSDPDataElementTypeDataElementSequence);
    ASSERT_EQ(protocols->members.size(), 2u);
    auto* rfcomm = static_cast<const BluetoothElement*>(protocols->members[1]);
    ASSERT_EQ(rfcomm->members.size(), 2u);
    auto* uuid = static_cast<const BluetoothElement*>(rfcomm->members[0]);
    EXPECT_EQ(uuid->type, kBluetoothSDPDataElementTypeUUID);
    EXPECT_EQ(uuid->uuid, (std::vector<uint8_t>{0x00, 0x03}));
    EXPECT_EQ(render(rfcomm->members[1]), "7");
}

TEST_F(BluezRecords, EveryElementTypeConvertsAndRendersAsTheSimulatorsDo)
{
    sdp_record_t* record = sdp_record_alloc();
    struct Case {
        uint16_t id;
        sdp_data_t* data;
        uint8_t type;
        std::string text;
    };
    uint8_t u8 = 200;
    uint16_t u16 = 65535;
    uint32_t u32 = 4294967295u;
    int8_t i8 = -3;
    int64_t i64 = -7;
    uint8_t yes = 1;
    uint32_t uuid32 = 0x41424344;
    const uint8_t uuid128[16] = {'X', 'Y', 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    const char url[] = "http://example.invalid/";
    const char text[] = "Caf\xc3\xa9";
    const Case cases[] = {
        {0x200, sdp_data_alloc(SDP_UINT8, &u8), kBluetoothSDPDataElementTypeUnsignedInt, "200"},
        {0x201, sdp_data_alloc(SDP_UINT16, &u16), kBluetoothSDPDataElementTypeUnsignedInt,
         "65535"},
        {0x202, sdp_data_alloc(SDP_UINT32, &u32), kBluetoothSDPDataElementTypeUnsignedInt, "-1"},
        {0x203, sdp_data_alloc(SDP_INT8, &i8), kBluetoothSDPDataElementTypeSignedInt, "-3"},
        {0x204, sdp_data_alloc(SDP_INT64, &i64), kBluetoothSDPDataElementTypeSignedInt, "-7"},
        {0x205, sdp_data_alloc(SDP_BOOL, &yes), kBluetoothSDPDataElementTypeBoolean, "1"},
        {0x206, sdp_data_alloc(SDP_UUID32, &uuid32), kBluetoothSDPDataElementTypeUUID, "ABCD"},
        {0x207, sdp_data_alloc(SDP_UUID128, uuid128), kBluetoothSDPDataElementTypeUUID, "XY"},
        {0x208, sdp_data_alloc(SDP_URL_STR8, url), kBluetoothSDPDataElementTypeURL, url},
        {0x209, sdp_data_alloc(SDP_TEXT_STR8, text), kBluetoothSDPDataElementTypeString,
         "Caf\x8e"},
        {0x20A, sdp_data_alloc(SDP_DATA_NIL, nullptr), kBluetoothSDPDataElementTypeNil, ""},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.data, nullptr);
        ASSERT_EQ(sdp_attr_add(record, c.id, c.data), 0);
    }
    BluetoothRecord* converted = ConvertSDPRecord(record, store);
    sdp_record_free(record);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const BluetoothElement* e = attribute(converted, c.id);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->type, c.type);
        EXPECT_EQ(render(const_cast<BluetoothElement*>(e)), c.text);
    }
    EXPECT_EQ(attribute(converted, 0x206)->uuid, (std::vector<uint8_t>{'A', 'B', 'C', 'D'}));
    EXPECT_EQ(attribute(converted, 0x207)->uuid.size(), 16u);
}

TEST_F(BluezRecords, DeeplyNestedSequencesEndInNilElements)
{
    uint8_t value = 1;
    sdp_data_t* inner = sdp_data_alloc(SDP_UINT8, &value);
    for (int i = 0; i < 100; ++i) {
        inner = sdp_data_alloc(SDP_SEQ8, inner);
        ASSERT_NE(inner, nullptr);
    }
    sdp_record_t* record = sdp_record_alloc();
    ASSERT_EQ(sdp_attr_add(record, 0x300, inner), 0);
    BluetoothRecord* converted = ConvertSDPRecord(record, store);
    sdp_record_free(record);
    const BluetoothElement* e = attribute(converted, 0x300);
    int depth = 1;
    while (e->type == kBluetoothSDPDataElementTypeDataElementSequence) {
        ASSERT_EQ(e->members.size(), 1u);
        e = static_cast<const BluetoothElement*>(e->members.front());
        ++depth;
    }
    EXPECT_EQ(depth, kMaxBluezElementDepth + 1);
    EXPECT_EQ(e->type, kBluetoothSDPDataElementTypeNil);
    EXPECT_EQ(ConvertSDPRecord(nullptr, store), nullptr);
}

} // namespace
