// The Bluetooth transport and the parts of the listing that take no pauses, against a simulated
// world: world files, data element renderings, the receive store, sends, serial parameters, the
// open's retries and its failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "BluetoothTestSupport.h"
#include "LogProbe.h"
#include "PortMdlState.h"
#include "platform/bluetooth/sim/BluetoothSim.h"
#include "platform/bluetooth/sim/BluetoothWorld.h"

namespace {

using namespace std::chrono_literals;

json phoneDevice(json phone, json extra = json::object())
{
    json device = {{"address", kPhoneText},
                   {"connected", true},
                   {"records", {textRecord(3, "Dial-up Networking")}},
                   {"phone", phone}};
    device.update(extra);
    return device;
}

std::string str(const uint8_t* p, size_t n)
{
    return std::string(reinterpret_cast<const char*>(p), n);
}

// ---- world files

struct BadWorld {
    const char* text;
    const char* reason; // what the one line on standard error must say
};

TEST(BluetoothWorldFileTest, AFileThatBreaksTheSchemaIsReportedWithItsPositionAndGivesNoBackend)
{
    const BadWorld cases[] = {
        {"{\n  \"alert\": \"ok\",\n  oops\n}", "line 3, column 3"},
        // Numbers beyond a double: the parser's own message, with the position all the same.
        {"{\n  \"alert_ms\": 1e999\n}", "number overflow parsing '1e999' at line 2, column 19"},
        {"{\"devices\": [{\"chunk\": -1e400}]}", "at line 1, column 29"},
        {R"({"colour": 1})", "at /colour: unknown key \"colour\""},
        // A key holding control characters is quoted escaped: the reason stays one line.
        {"{\"ch\\nan\\u0001\": 1}", "at /ch\\nan\\x01: unknown key \"ch\\nan\\x01\""},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE"}]})", "at /devices/0/address"},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01"}, {"address": "aa:bb:cc:dd:ee:01"}]})",
         "at /devices/1/address: address AA:BB:CC:DD:EE:01 listed twice"},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01", "chunk": 0}]})",
         "at /devices/0/chunk"},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01", "sdp": {"delay_ms": "soon"}}]})",
         "at /devices/0/sdp/delay_ms"},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01",
             "records": [{"attributes": {"256": {"uuid": "414"}}}]}]})",
         "at /devices/0/records/0/attributes/256/uuid"},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01",
             "records": [{"attributes": {"256": {"float": 1.5}}}]}]})",
         "unknown data element type \"float\""},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01",
             "records": [{"attributes": {"70000": {"nil": null}}}]}]})",
         "at /devices/0/records/0/attributes/70000"},
        {R"({"panel": "AA:BB:CC:DD:EE:09", "devices": []})", "at /panel"},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01", "phone": {"echo": true, "send": "00"}}]})",
         "at /devices/0/phone/send: unknown key"},
        {R"({"devices": [{"address": "AA:BB:CC:DD:EE:01", "phone": {"socket": ""}}]})",
         "at /devices/0/phone/socket: expected a socket path of 1 to 107 bytes"},
        {"[1, 2]", "at /: expected an object"},
    };
    BluetoothWorldFile file(json::object());
    for (const BadWorld& c : cases) {
        SCOPED_TRACE(c.text);
        file.Write(c.text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadBluetoothWorld(file.Path().c_str()), nullptr);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(file.Path()), std::string::npos) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

TEST(BluetoothWorldFileTest, DeeplyNestedElementsAreRefusedNotRecursedInto)
{
    std::string element = "{\"nil\": null}";
    for (int i = 0; i < 5000; ++i) {
        element = "{\"seq\": [" + element + "]}";
    }
    BluetoothWorldFile file(json::object());
    file.Write(R"({"devices": [{"address": "AA:BB:CC:DD:EE:01", "records": [{"attributes": {"256": )" +
               element + "}}]}]}");
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadBluetoothWorld(file.Path().c_str()), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("nested more than"), std::string::npos);
}

TEST(BluetoothWorldFileTest, AMissingFileIsReportedOnceAndTheModuleWorksWithoutBluetooth)
{
    setenv("PM_BLUETOOTH_SIM", "/nonexistent/world.json", 1);
    testing::internal::CaptureStderr();
    uint8_t address[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01};
    EXPECT_EQ(PM_CountBluetoothChannels(address, nullptr), 0);
    EXPECT_EQ(PM_CountBluetoothChannels(address, nullptr), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("/nonexistent/world.json: No such file"), std::string::npos) << err;
    // No backend: no device, the panel comes up and is cancelled.
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 7);
    EXPECT_EQ(std::memcmp(address, "\0\0\0\0\0\0", 6), 0);
    EXPECT_EQ(EI_CommBaseBluetooth::okCancelAlert("anyone?"), 0);
}

TEST(BluetoothWorldFileTest, TheDocumentedExampleIsAValidWorld)
{
    BluetoothPlatform* backend = LoadBluetoothWorld(PM_EXAMPLE_WORLD);
    EXPECT_NE(backend, nullptr);
    delete backend;
}

TEST(BluetoothWorldFileTest, CommentsAndDefaultsAreAccepted)
{
    BluetoothWorldFile file(json::object());
    file.Write("// a phone\n{ /* nothing else */ \"devices\": [{\"address\": \"aa:bb:cc:dd:ee:01\"}]}");
    BluetoothPlatform* backend = LoadBluetoothWorld(file.Path().c_str());
    ASSERT_NE(backend, nullptr);
    BluetoothDeviceAddress a;
    std::memcpy(a.data, kPhone, 6);
    BluetoothRef device = backend->IOBluetoothDeviceCreateWithAddress(&a);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(backend->IOBluetoothDeviceIsConnected(device));
    EXPECT_EQ(backend->FrontWindow(), nullptr);
    a.data[5] = 2;
    EXPECT_EQ(backend->IOBluetoothDeviceCreateWithAddress(&a), nullptr);
    delete backend;
}

// ---- data elements

class DataElementTest : public ::testing::Test {
  protected:
    // The service name elements of one record, in the order given.
    std::vector<BluetoothRef> elements(const std::vector<json>& values)
    {
        json attributes = json::object();
        for (size_t i = 0; i < values.size(); ++i) {
            attributes[std::to_string(1000 + i)] = values[i];
        }
        world = std::make_unique<BluetoothWorldFile>(
            json{{"devices",
                  {{{"address", kPhoneText},
                    {"sdp", {{"delay_ms", 0}}},
                    {"records", {{{"attributes", attributes}}}}}}}});
        BluetoothPlatform& bt = Bluetooth();
        BluetoothDeviceAddress a;
        std::memcpy(a.data, kPhone, 6);
        BluetoothRef device = bt.IOBluetoothDeviceCreateWithAddress(&a);
        std::atomic<uint8_t> done{0};
        EXPECT_EQ(bt.IOBluetoothDevicePerformSDPQuery(
                      device, EI_CommBaseBluetooth::callbackSDPQuery, &done),
                  0);
        while (!done) {
            std::this_thread::sleep_for(1ms);
        }
        const BluetoothRefList* records = bt.IOBluetoothDeviceGetServices(device);
        std::vector<BluetoothRef> found;
        if (records == nullptr || records->size() != 1) {
            ADD_FAILURE() << "no record";
            return found;
        }
        for (const auto& [id, element] :
             *bt.IOBluetoothSDPServiceRecordGetAttributes(records->front())) {
            found.push_back(element);
        }
        return found;
    }

    std::unique_ptr<BluetoothWorldFile> world;
};

TEST_F(DataElementTest, EachTypeRendersAsText)
{
    struct Case {
        json element;
        std::string text;
    };
    const Case cases[] = {
        {{{"uint", 42}}, "42"},
        {{{"uint", 4294967295u}}, "-1"},
        {{{"int", -5}}, "-5"},
        {{{"bool", true}}, "1"},
        {{{"uuid", "41424344"}}, "ABCD"}, // no zero byte: ends with the UUID
        {{{"uuid", "41420043"}}, "AB"},
        {{{"text", "Dial-up Networking"}}, "Dial-up Networking"},
        {{{"url", "http://x/"}}, "http://x/"},
        {{{"text", "Caf\u00e9 \u6f22"}}, "Caf\x8e ?"}, // MacRoman, '?' where it has no form
        {{{"text", ""}}, ""},
    };
    std::vector<json> values;
    for (const Case& c : cases) {
        values.push_back(c.element);
    }
    std::vector<BluetoothRef> refs = elements(values);
    ASSERT_EQ(refs.size(), std::size(cases));
    for (size_t i = 0; i < refs.size(); ++i) {
        SCOPED_TRACE(cases[i].element.dump());
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        EI_CommBaseBluetooth::dumpDataElement(refs[i], buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer), cases[i].text);
    }
}

TEST_F(DataElementTest, NilWritesNothingAndSequencesListTheirMembers)
{
    std::vector<BluetoothRef> refs =
        elements({{{"nil", nullptr}}, {{"seq", {{{"uint", 1}}, {{"alt", json::array()}}}}}});
    ASSERT_EQ(refs.size(), 2u);
    char buffer[128] = "untouched";
    EI_CommBaseBluetooth::dumpDataElement(refs[0], buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "untouched");
    EI_CommBaseBluetooth::dumpDataElement(refs[1], buffer, sizeof buffer);
    const BluetoothRefList* members = Bluetooth().IOBluetoothSDPDataElementGetArrayValue(refs[1]);
    ASSERT_NE(members, nullptr);
    char expected[128];
    snprintf(expected, sizeof expected, "0x%lx, 0x%lx",
             reinterpret_cast<unsigned long>((*members)[0]),
             reinterpret_cast<unsigned long>((*members)[1]));
    EXPECT_STREQ(buffer, expected);
    // An empty alternative empties the buffer.
    EI_CommBaseBluetooth::dumpDataElement((*members)[1], buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");
}

TEST_F(DataElementTest, RenderingsNeverPassTheLengthGiven)
{
    std::vector<BluetoothRef> refs =
        elements({{{"text", "Dial-Up Networking Gateway"}},
                  {{"uuid", "41424344454647484142434445464748"}},
                  {{"uint", 1234567}},
                  {{"seq", {{{"nil", nullptr}}, {{"nil", nullptr}}, {{"nil", nullptr}}}}}});
    ASSERT_EQ(refs.size(), 4u);
    for (BluetoothRef ref : refs) {
        for (int length : {1, 2, 5, 8}) {
            char buffer[16];
            std::memset(buffer, '#', sizeof buffer);
            EI_CommBaseBluetooth::dumpDataElement(ref, buffer, length);
            EXPECT_LT(strnlen(buffer, length), static_cast<size_t>(length));
            for (int i = length; i < 16; ++i) {
                EXPECT_EQ(buffer[i], '#') << "byte " << i << " of a buffer of " << length;
            }
        }
    }
    char buffer[4] = "abc";
    EI_CommBaseBluetooth::dumpDataElement(refs[0], buffer, 0);
    EI_CommBaseBluetooth::dumpDataElement(refs[0], nullptr, 4);
    EI_CommBaseBluetooth::dumpNameAttributes(nullptr, buffer, 4);
    EXPECT_STREQ(buffer, "abc");
}

TEST_F(DataElementTest, ARecordWithoutAServiceNameLeavesTheBufferEmpty)
{
    elements({{{"text", "not attribute 256"}}});
    BluetoothDeviceAddress a;
    std::memcpy(a.data, kPhone, 6);
    BluetoothPlatform& bt = Bluetooth();
    const BluetoothRefList* records =
        bt.IOBluetoothDeviceGetServices(bt.IOBluetoothDeviceCreateWithAddress(&a));
    ASSERT_NE(records, nullptr);
    char buffer[512] = {};
    EI_CommBaseBluetooth::dumpNameAttributes(records->front(), buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");
}

// ---- the open port

// A channel opened through PM_OpenBluetoothChannel on a connected device, so that nothing pauses;
// the tests close the channel without the baseband's 2-second pause.
class BluetoothPort : public ::testing::Test {
  protected:
    void open(json device, json world = json::object())
    {
        world["devices"] = {device};
        file = std::make_unique<BluetoothWorldFile>(world);
        probe.Open();
        LogFileData.SetUserInfo(probe.Folder().c_str(), "bt");
        selectDevice(kPhone, {{"Dial-up Networking", 3}});
        ASSERT_EQ(PM_OpenBluetoothChannel(0), 1);
        ASSERT_EQ(PM_GetOpenMode(), 3);
        transport = static_cast<EI_CommBaseBluetooth*>(TheCommBase);
    }

    void TearDown() override
    {
        if (TheCommBase != nullptr) {
            static_cast<EI_CommBaseBluetooth*>(TheCommBase)->closechannel();
            delete TheCommBase;
            TheCommBase = nullptr;
        }
    }

    // Takes count bytes as they arrive.
    std::string receive(size_t count)
    {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            int32_t waiting = PM_InBufferCount();
            if (waiting == 0) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            std::vector<uint8_t> buffer(static_cast<size_t>(waiting));
            EXPECT_EQ(PM_RxBytes(waiting, buffer.data()), 1);
            got += str(buffer.data(), buffer.size());
        }
        return got;
    }

    std::unique_ptr<BluetoothWorldFile> file;
    LogProbe probe;
    EI_CommBaseBluetooth* transport = nullptr;
};

TEST_F(BluetoothPort, BytesGoBothWaysThroughTheExportedFunctionsAndReachTheLog)
{
    open(phoneDevice({{"replies", {{"AT\r", "\r\nOK\r\n"}}}}));
    EXPECT_EQ(PM_SetRxTimeout(5000), 1);
    EXPECT_EQ(PM_SetTxTimeout(10), 1);
    ASSERT_EQ(PM_TxBytes(3, reinterpret_cast<const uint8_t*>("AT\r")), 1);
    EXPECT_EQ(receive(6), "\r\nOK\r\n");
    EXPECT_EQ(file->Count("IOBluetoothRFCOMMChannelWriteSimple 3 3"), 1u);
    std::string log = probe.Text();
    EXPECT_NE(log.find("SD:" + LogProbe::Traffic("AT\r")), std::string::npos);
    EXPECT_NE(log.find(LogProbe::Traffic("\r\nOK\r\n")), std::string::npos);
    EXPECT_EQ(PM_GetPortHandle(), 0);
    EXPECT_EQ(PM_ChargeEnable(), 0);
}

TEST_F(BluetoothPort, AReceiveTakesOnlyWhatHasArrivedAndNeverWaits)
{
    open(phoneDevice({{"send", "0102030405"}}));
    ASSERT_EQ(PM_SetRxTimeout(60000), 1);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (PM_InBufferCount() < 5 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    uint8_t buffer[8] = {};
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(PM_RxBytes(6, buffer), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s); // not the minute asked for
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 102);
    EXPECT_EQ(probe.Slots().portLine, PM_LINE_RX_FAILED);
    EXPECT_EQ(PM_InBufferCount(), 5);
    EXPECT_EQ(transport->readBuffer(buffer, -1), 0);
    ASSERT_EQ(PM_RxBytes(2, buffer), 1);
    EXPECT_EQ(str(buffer, 2), "\x01\x02");
    ASSERT_EQ(PM_RxBytes(3, buffer), 1);
    EXPECT_EQ(str(buffer, 3), "\x03\x04\x05");
    EXPECT_EQ(PM_InBufferCount(), 0);
}

TEST_F(BluetoothPort, AStreamFarLargerThanTheStoreArrivesWholeAndInOrder)
{
    std::string pattern;
    for (int i = 0; i < 997; ++i) { // a length that no chunk or store size divides
        pattern += static_cast<char>(i * 7 + i / 256);
    }
    std::string hex;
    for (unsigned char c : pattern) {
        char h[3];
        snprintf(h, sizeof h, "%02x", c);
        hex += h;
    }
    const int repeat = 400; // about four times the store
    open(phoneDevice({{"send", hex}, {"repeat", repeat}}, {{"chunk", 4000}}));
    // Let the phone fill the store before the host reads anything.
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (PM_InBufferCount() < EI_CommBaseBluetooth::kRecvLimit &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(PM_InBufferCount(), EI_CommBaseBluetooth::kRecvLimit);
    std::string got = receive(pattern.size() * repeat);
    ASSERT_EQ(got.size(), pattern.size() * repeat);
    for (int i = 0; i < repeat; ++i) {
        ASSERT_EQ(got.compare(i * pattern.size(), pattern.size(), pattern), 0) << "copy " << i;
    }
}

TEST_F(BluetoothPort, ClosingNeverWaitsOnADeliveryHeldByAFullStore)
{
    open(phoneDevice({{"send", std::string(2000, 'a')}, {"repeat", 200}}));
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (PM_InBufferCount() < EI_CommBaseBluetooth::kRecvLimit &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(PM_InBufferCount(), EI_CommBaseBluetooth::kRecvLimit);
    transport->closechannel(); // returns: the held delivery gave up
    EXPECT_EQ(transport->m_pChannel, nullptr);
    EXPECT_EQ(file->Count("IOBluetoothRFCOMMChannelCloseChannel 3"), 1u);
}

// The phone's bytes come in pieces of 1024; the store fills one byte short of the hundredth piece,
// whose delivery waits for room. A clear ends that wait and removes the piece's last byte with
// everything else received before it; the pieces delivered after the clear come whole.
TEST_F(BluetoothPort, ClearingTheStoreEndsAHeldDeliveryAndKeepsTheLaterOnes)
{
    constexpr int kPiece = 1024, kSent = EI_CommBaseBluetooth::kRecvLimit + 1000;
    open(phoneDevice({{"send", "41"}, {"repeat", kSent}}));
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (PM_InBufferCount() < EI_CommBaseBluetooth::kRecvLimit &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(PM_ClearBuffer(), 1);
    const size_t later = kSent - (EI_CommBaseBluetooth::kRecvLimit / kPiece + 1) * kPiece;
    EXPECT_EQ(receive(later), std::string(later, 'A'));
    EXPECT_EQ(PM_InBufferCount(), 0);
}

// A program listening on a socket plays the phone: the channel's open connects to it, it reads
// what the host sends and the host receives what it writes, and it sees the connection end when
// the channel closes. With nobody listening there the channel does not open.
TEST_F(BluetoothPort, ASocketPhoneTalksOverItsConnectionAndSeesTheChannelClose)
{
    char dir[] = "/tmp/pmbtphone.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/phone";
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    open(phoneDevice({{"socket", path}}));
    int phone = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(phone, 0);

    ASSERT_EQ(PM_TxBytes(3, reinterpret_cast<const uint8_t*>("AT\r")), 1);
    char got[8] = {};
    size_t have = 0;
    while (have < 3) {
        ssize_t n = read(phone, got + have, 3 - have);
        ASSERT_GT(n, 0);
        have += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(got, 3), "AT\r");
    ASSERT_EQ(write(phone, "\r\nOK\r\n", 6), 6);
    EXPECT_EQ(receive(6), "\r\nOK\r\n");

    transport->closechannel();
    EXPECT_EQ(read(phone, got, sizeof got), 0); // end of file
    close(phone);

    close(listener);
    unlink(path.c_str());
    BluetoothRef channel = nullptr;
    EXPECT_NE(Bluetooth().IOBluetoothDeviceOpenRFCOMMChannel(
                  EI_CommBaseBluetooth::g_myBluetoothDevice.GetActiveDevice(), 3, &channel),
              kIOReturnSuccess);
    EXPECT_EQ(channel, nullptr);
    rmdir(dir);
}

TEST_F(BluetoothPort, ASendOverSixteenBitsGoesOutAsSeveralWritesInOrder)
{
    open(phoneDevice({{"echo", true}}));
    std::string data;
    for (int i = 0; i < 70000; ++i) {
        data += static_cast<char>('a' + i % 26 + (i / 65535));
    }
    ASSERT_EQ(PM_TxBytes(static_cast<int32_t>(data.size()),
                         reinterpret_cast<const uint8_t*>(data.data())),
              1);
    EXPECT_EQ(file->Count("IOBluetoothRFCOMMChannelWriteSimple 3 65535"), 1u);
    EXPECT_EQ(file->Count("IOBluetoothRFCOMMChannelWriteSimple 3 4465"), 1u);
    EXPECT_EQ(receive(data.size()), data);
}

TEST_F(BluetoothPort, ARejectedWriteFailsTheSendAndTheNextOneGoesOut)
{
    open(phoneDevice({{"echo", true}}, {{"write_failures", 1}}));
    const uint8_t ping[] = {'p'};
    EXPECT_EQ(PM_TxBytes(1, ping), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_SEND);
    EXPECT_EQ(probe.Slots().portLine, PM_LINE_TX_REFUSED);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 101);
    EXPECT_EQ(PM_TxBytes(1, ping), 1);
    EXPECT_EQ(receive(1), "p");
    PM_ClearCommErr();
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 0);
}

TEST_F(BluetoothPort, SerialParametersReachTheChannelAndThePortStatus)
{
    open(phoneDevice({{"echo", true}}));
    // Before the host sets any: the transport's defaults.
    PM_PortStatus s{};
    ASSERT_EQ(PM_GetPortStatus(&s), 1);
    EXPECT_EQ(s.nSpeedCode, 1);
    EXPECT_EQ(s.nDataBits, 8);
    EXPECT_EQ(s.nParity, 1);
    ASSERT_EQ(PM_SetBPS(8), 1);
    EXPECT_EQ(file->Count("IOBluetoothRFCOMMSetSerialParameters 3 115200 8 2 1"), 1u);
    // Any rate goes to the channel as a code's does: RFCOMM has no line rate to refuse it.
    ASSERT_EQ(PM_SetBitRate(250000), 1);
    EXPECT_EQ(file->Count("IOBluetoothRFCOMMSetSerialParameters 3 250000 8 2 1"), 1u);
    EXPECT_EQ(PM_GetBPS(), 250000);
    EXPECT_EQ(PM_SetFlowControl(PM_FLOW_RTS_CTS), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_INVALID);

    struct Case {
        int32_t parity, dataBits;
        const char* traced;
    };
    const Case cases[] = {
        {2, 8, "IOBluetoothRFCOMMSetSerialParameters 3 9600 8 0 1"},
        {3, 7, "IOBluetoothRFCOMMSetSerialParameters 3 9600 7 1 1"},
        {1, 5, "IOBluetoothRFCOMMSetSerialParameters 3 9600 8 2 1"},
    };
    for (const Case& c : cases) {
        PM_PortStatus set = {3, 2, c.parity, c.dataBits, 0, 1, 77, 88};
        ASSERT_EQ(PM_SetPortStatus(&set), 1);
        EXPECT_EQ(file->Count(c.traced), 1u) << c.traced;
        ASSERT_EQ(PM_GetPortStatus(&s), 1);
        EXPECT_EQ(s.nSpeedCode, 3);
        EXPECT_EQ(s.nStopBits, 1);
        EXPECT_EQ(s.nParity, c.parity);
        EXPECT_EQ(s.nDataBits, c.dataBits);
        EXPECT_EQ(s.nRTS, 1); // RTS, DTR and the options are not the record's to change
        EXPECT_EQ(s.nDTR, 0);
        EXPECT_EQ(s.nOption1, 0);
    }
    EXPECT_EQ(PM_SetRTS(), 1);
    EXPECT_EQ(PM_ClearDTR(), 1);
    // Without a channel only the status changes.
    transport->closechannel();
    size_t traced = file->Trace().size();
    EXPECT_EQ(transport->ChangeBaudRate(9), 1);
    EXPECT_EQ(file->Trace().size(), traced);
    ASSERT_EQ(PM_GetPortStatus(&s), 1);
    EXPECT_EQ(s.nSpeedCode, 9);
}

TEST_F(BluetoothPort, SetupCommAppliesTheDefaultsAndEmptiesTheStore)
{
    open(phoneDevice({{"send", "0102"}}));
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (PM_InBufferCount() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(transport->SetupComm(), 1);
    EXPECT_EQ(file->Count("IOBluetoothRFCOMMSetSerialParameters 3 600 8 2 1"), 1u);
    EXPECT_EQ(PM_InBufferCount(), 0);
}

// ---- opening

TEST(BluetoothOpenTest, AFailingChannelOpenIsTriedAgainAfterAPairingRequest)
{
    struct Case {
        const char* address;
        json extra;
        size_t opens; // channel-open attempts until the channel opened
    };
    const Case cases[] = {
        {"AA:BB:CC:DD:EE:01", {{"channel_open_failures", 1}}, 2},
        {"AA:BB:CC:DD:EE:02", {{"channel_open_failures", 2}}, 3},
        {"AA:BB:CC:DD:EE:03", {{"needs_pairing", true}}, 3},
    };
    json devices = json::array();
    for (const Case& c : cases) {
        json device = phoneDevice({{"echo", true}}, c.extra);
        device["address"] = c.address;
        devices.push_back(device);
    }
    BluetoothWorldFile file(json{{"devices", devices}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        unsigned char address[6];
        BluetoothDeviceAddress a;
        ASSERT_TRUE(ParseBluetoothAddress(c.address, a));
        std::memcpy(address, a.data, 6);
        selectDevice(address, {{"Dial-up Networking", 3}});
        ASSERT_EQ(PM_OpenBluetoothChannel(0), 1);
        std::string at = std::string(" ") + c.address;
        EXPECT_EQ(file.Count("IOBluetoothDeviceOpenRFCOMMChannel" + at + " 3"), c.opens);
        EXPECT_EQ(file.Count("IOBluetoothDeviceRequestAuthentication" + at), c.opens > 2 ? 1u : 0u);
        EXPECT_EQ(file.Count("IOBluetoothDeviceOpenConnection" + at), 0u); // was connected
        static_cast<EI_CommBaseBluetooth*>(TheCommBase)->closechannel();
        g_bIsOpen = 0;
    }
    EXPECT_EQ(file.Count("IOBluetoothRFCOMMChannelRegisterIncomingDataListener 3"), 3u);
    delete TheCommBase;
    TheCommBase = nullptr;
}

TEST(BluetoothOpenTest, OpeningBeforeAnyListingFailsWithoutAPlatformCall)
{
    BluetoothWorldFile file(json{{"devices", {phoneDevice({{"echo", true}})}}});
    EXPECT_EQ(PM_OpenBluetoothChannel(0), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 8);
    EXPECT_EQ(PM_GetOpenMode(), 3);
    EXPECT_TRUE(file.Trace().empty());
    // The unopened transport stays until the next open or close replaces it.
    EXPECT_NE(TheCommBase, nullptr);
    EXPECT_EQ(PM_OpenBluetoothChannel(-1), 0);
    EXPECT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(TheCommBase, nullptr);
}

TEST(BluetoothOpenTest, ADeviceThatCannotBeConnectedFailsWithFiveAndNoPause)
{
    BluetoothWorldFile file(json{{"devices",
                                  {phoneDevice({{"echo", true}}, {{"connected", false},
                                                                  {"connect_failures", -1}})}}});
    selectDevice(kPhone, {{"Dial-up Networking", 3}});
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(PM_OpenBluetoothChannel(0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 5);
    EXPECT_EQ(file.Count("IOBluetoothDeviceOpenConnection AA:BB:CC:DD:EE:01"), 1u);
    EXPECT_EQ(file.Count("IOBluetoothDeviceOpenRFCOMMChannel", true), 0u);
    EXPECT_EQ(EI_CommBaseBluetooth::g_myBluetoothDevice.m_nChannels, 1); // holder unchanged
}

TEST(BluetoothOpenTest, ATransportWithNeitherChannelNorDeviceClosesAtOnce)
{
    BluetoothWorldFile file(json{{"devices", json::array()}});
    EI_CommBaseBluetooth transport(1);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(transport.Close(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1500ms);
    EXPECT_EQ(transport.Open("x"), 0);
    EXPECT_EQ(transport.SetReadTimeOut(5), 1);
    EXPECT_EQ(transport.m_nReadTimeOut, 0u);
    int sent = -1;
    EXPECT_EQ(transport.internalWrite(reinterpret_cast<const unsigned char*>("x"), 1, &sent), 0);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 101);
    EXPECT_EQ(sent, -1);
}

TEST(BluetoothListingTest, ACancelledPanelListsNothingAndZeroesTheAddress)
{
    BluetoothWorldFile file(json{{"panel", nullptr},
                                 {"front_window", true},
                                 {"devices", {phoneDevice({{"echo", true}})}}});
    LogProbe probe;
    LogFileData.SetUserInfo(probe.Folder().c_str(), "bt");
    for (uint8_t fill : {0x00, 0xFF, 0x42}) {
        SCOPED_TRACE(static_cast<int>(fill));
        uint8_t address[6];
        std::memset(address, fill, sizeof address); // 42:42:...: no such device, so the panel
        EXPECT_EQ(PM_CountBluetoothChannels(address, nullptr), 0);
        EXPECT_EQ(std::memcmp(address, "\0\0\0\0\0\0", 6), 0);
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
        EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 7);
    }
    EXPECT_EQ(file.Count("IOBluetoothDeviceSelectorRunPanelWithAttributes"), 3u);
    EXPECT_EQ(file.Count("HideWindow"), 3u);
    EXPECT_EQ(file.Count("ShowWindow"), 3u);
    EXPECT_EQ(file.Count("IOBluetoothDevicePerformSDPQuery", true), 0u);
    // The listing's communication was saved with its error.
    EXPECT_EQ(PM_CountBluetoothChannels(nullptr, nullptr), 0);
    std::ifstream saved(probe.Folder() + "PM_LOG.dat");
    EXPECT_TRUE(saved.good());
}

int countProgress = 0;
int onProgress(const char* text, int a, int b)
{
    EXPECT_STREQ(text, "Please wait...");
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    ++countProgress;
    return 0;
}

TEST(BluetoothListingTest, ANullRecordEndsTheListing)
{
    BluetoothWorldFile file(json{
        {"devices",
         {phoneDevice({{"echo", true}},
                      {{"records", {textRecord(3, "Dial-up Networking"), nullptr}}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    EXPECT_EQ(PM_CountBluetoothChannels(address, onProgress), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(EI_CommBaseBluetooth::g_nLastError, 7);
    EXPECT_EQ(file.Count("IOBluetoothDevicePerformSDPQuery AA:BB:CC:DD:EE:01"), 1u);
    EXPECT_EQ(file.Count("IOBluetoothDeviceCloseConnection", true), 0u);
    EXPECT_EQ(std::memcmp(address, kPhone, 6), 0);
}

TEST(BluetoothListingTest, AQueryThatCannotStartEndsTheListing)
{
    BluetoothWorldFile file(json{
        {"devices", {phoneDevice({{"echo", true}}, {{"sdp", {{"start_fails", true}}}})}}});
    uint8_t address[6];
    std::memcpy(address, kPhone, 6);
    EXPECT_EQ(PM_CountBluetoothChannels(address, onProgress), 0);
    EXPECT_EQ(countProgress, 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(file.Count("IOBluetoothDevicePerformSDPQuery AA:BB:CC:DD:EE:01"), 1u);
}

} // namespace
