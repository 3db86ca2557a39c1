// Reading a world file: nlohmann's parser for the JSON, then every value checked against the
// schema, with the JSON pointer of the first value that breaks it.
#include "BluetoothWorld.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>
#include <sys/un.h>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// Elements nest sequences in sequences; a real record needs a few levels, and a bound keeps a
// hostile file from exhausting the stack.
constexpr int kMaxElementDepth = 32;
constexpr uint32_t kMaxAttributeID = 0xFFFF;

struct SchemaError {
    std::string where, what;
};

[[noreturn]] void fail(const std::string& where, const std::string& what)
{
    throw SchemaError{where.empty() ? "/" : where, what};
}

std::string child(const std::string& where, const std::string& key)
{
    std::string escaped;
    for (char c : key) {
        if (c == '~') {
            escaped += "~0";
        } else if (c == '/') {
            escaped += "~1";
        } else {
            escaped += c;
        }
    }
    return where + "/" + escaped;
}

std::string child(const std::string& where, size_t index)
{
    return where + "/" + std::to_string(index);
}

void onlyKeys(const json& object, const std::string& where, std::set<std::string> allowed)
{
    for (const auto& [key, value] : object.items()) {
        if (allowed.count(key) == 0) {
            fail(child(where, key), "unknown key \"" + key + "\"");
        }
    }
}

const json& objectAt(const json& value, const std::string& where)
{
    if (!value.is_object()) {
        fail(where, "expected an object");
    }
    return value;
}

bool boolean(const json& value, const std::string& where)
{
    if (!value.is_boolean()) {
        fail(where, "expected true or false");
    }
    return value.get<bool>();
}

int64_t integer(const json& value, const std::string& where, int64_t low, int64_t high)
{
    if (!value.is_number_integer()) {
        fail(where, "expected an integer from " + std::to_string(low) + " to " +
                        std::to_string(high));
    }
    if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(high)) {
        fail(where, "expected an integer from " + std::to_string(low) + " to " +
                        std::to_string(high));
    }
    int64_t n = value.get<int64_t>();
    if (n < low || n > high) {
        fail(where, "expected an integer from " + std::to_string(low) + " to " +
                        std::to_string(high));
    }
    return n;
}

const std::string& string(const json& value, const std::string& where)
{
    if (!value.is_string()) {
        fail(where, "expected a string");
    }
    return value.get_ref<const std::string&>();
}

std::vector<uint8_t> hexBytes(const json& value, const std::string& where)
{
    const std::string& text = string(value, where);
    std::vector<uint8_t> bytes;
    if (text.size() % 2 != 0) {
        fail(where, "expected hex digits in pairs");
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigitValue(text[i]), low = HexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) {
            fail(where, "expected hex digits, found \"" + text.substr(i, 2) + "\"");
        }
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

class Reader {
  public:
    explicit Reader(BluetoothWorld& world) : m_world(world) {}

    void world(const json& root)
    {
        objectAt(root, "");
        onlyKeys(root, "", {"panel", "alert", "alert_ms", "front_window", "trace", "devices"});
        std::string panelAt;
        if (root.contains("alert")) {
            const std::string& alert = string(root["alert"], "/alert");
            if (alert == "ok") {
                m_world.alert = BluetoothWorld::Ok;
            } else if (alert == "cancel") {
                m_world.alert = BluetoothWorld::Cancel;
            } else if (alert == "none") {
                m_world.alert = BluetoothWorld::None;
            } else {
                fail("/alert", "expected \"ok\", \"cancel\" or \"none\"");
            }
        }
        if (root.contains("alert_ms")) {
            m_world.alertMs =
                static_cast<uint32_t>(integer(root["alert_ms"], "/alert_ms", 0, 600000));
        }
        if (root.contains("front_window")) {
            m_world.frontWindow = boolean(root["front_window"], "/front_window");
        }
        if (root.contains("trace")) {
            m_world.trace = string(root["trace"], "/trace");
            if (m_world.trace.empty()) {
                fail("/trace", "expected a file path");
            }
        }
        if (root.contains("devices")) {
            const json& devices = root["devices"];
            if (!devices.is_array()) {
                fail("/devices", "expected an array");
            }
            for (size_t i = 0; i < devices.size(); ++i) {
                device(devices[i], child("/devices", i));
            }
        }
        if (root.contains("panel") && !root["panel"].is_null()) {
            BluetoothDeviceAddress address;
            if (!ParseBluetoothAddress(string(root["panel"], "/panel"), address)) {
                fail("/panel", "expected null or an address like \"AA:BB:CC:DD:EE:01\"");
            }
            bool listed = false;
            for (const WorldDevice& d : m_world.devices) {
                listed = listed || BluetoothAddressText(d.address) == BluetoothAddressText(address);
            }
            if (!listed) {
                fail("/panel", "the panel picks a device that \"devices\" does not list");
            }
            m_world.panel = address;
        }
    }

  private:
    void device(const json& value, const std::string& where)
    {
        objectAt(value, where);
        onlyKeys(value, where,
                 {"address", "connected", "connect_failures", "needs_pairing",
                  "channel_open_failures", "write_failures", "chunk", "sdp", "records", "phone"});
        WorldDevice d;
        if (!value.contains("address")) {
            fail(where, "a device needs an \"address\"");
        }
        if (!ParseBluetoothAddress(string(value["address"], child(where, "address")),
                                   d.address)) {
            fail(child(where, "address"), "expected an address like \"AA:BB:CC:DD:EE:01\"");
        }
        d.addressText = BluetoothAddressText(d.address);
        for (const WorldDevice& other : m_world.devices) {
            if (other.addressText == d.addressText) {
                fail(child(where, "address"), "address " + d.addressText + " listed twice");
            }
        }
        constexpr int64_t kMaxCount = std::numeric_limits<int32_t>::max();
        if (value.contains("connected")) {
            d.connected = boolean(value["connected"], child(where, "connected"));
        }
        if (value.contains("connect_failures")) {
            d.connectFailures =
                integer(value["connect_failures"], child(where, "connect_failures"), -1, kMaxCount);
        }
        if (value.contains("needs_pairing")) {
            d.needsPairing = boolean(value["needs_pairing"], child(where, "needs_pairing"));
        }
        if (value.contains("channel_open_failures")) {
            d.channelOpenFailures = integer(value["channel_open_failures"],
                                            child(where, "channel_open_failures"), -1, kMaxCount);
        }
        if (value.contains("write_failures")) {
            d.writeFailures =
                integer(value["write_failures"], child(where, "write_failures"), -1, kMaxCount);
        }
        if (value.contains("chunk")) {
            d.chunk = static_cast<uint32_t>(integer(value["chunk"], child(where, "chunk"), 1, 65535));
        }
        if (value.contains("sdp")) {
            sdp(value["sdp"], child(where, "sdp"), d);
        }
        if (value.contains("records")) {
            const json& records = value["records"];
            std::string at = child(where, "records");
            if (!records.is_array()) {
                fail(at, "expected an array");
            }
            for (size_t i = 0; i < records.size(); ++i) {
                d.records.push_back(record(records[i], child(at, i)));
            }
        }
        if (value.contains("phone")) {
            phone(value["phone"], child(where, "phone"), d);
        }
        m_world.devices.push_back(std::move(d));
    }

    void sdp(const json& value, const std::string& where, WorldDevice& d)
    {
        objectAt(value, where);
        onlyKeys(value, where, {"start_fails", "delay_ms", "from_query"});
        if (value.contains("start_fails")) {
            d.sdpStartFails = boolean(value["start_fails"], child(where, "start_fails"));
        }
        if (value.contains("delay_ms")) {
            d.sdpDelayMs = integer(value["delay_ms"], child(where, "delay_ms"), -1, 600000);
        }
        if (value.contains("from_query")) {
            d.sdpFromQuery = integer(value["from_query"], child(where, "from_query"), 1,
                                     std::numeric_limits<int32_t>::max());
        }
    }

    BluetoothRef record(const json& value, const std::string& where)
    {
        if (value.is_null()) {
            return nullptr;
        }
        objectAt(value, where);
        onlyKeys(value, where, {"rfcomm", "attributes"});
        BluetoothRecord* r = m_world.store.NewRecord();
        if (value.contains("rfcomm")) {
            r->rfcomm = static_cast<int>(integer(value["rfcomm"], child(where, "rfcomm"), 0, 255));
        }
        if (value.contains("attributes")) {
            std::string at = child(where, "attributes");
            const json& attributes = objectAt(value["attributes"], at);
            for (const auto& [key, element] : attributes.items()) {
                std::string keyAt = child(at, key);
                uint32_t id = 0;
                bool digits = !key.empty() && key.size() <= 5;
                for (char c : key) {
                    digits = digits && c >= '0' && c <= '9';
                    id = id * 10 + static_cast<uint32_t>(c - '0');
                }
                if (!digits || id > kMaxAttributeID) {
                    fail(keyAt, "an attribute ID is a decimal number from 0 to 65535");
                }
                r->attributes.emplace_back(id, this->element(element, keyAt, 1));
            }
        }
        return r;
    }

    BluetoothRef element(const json& value, const std::string& where, int depth)
    {
        if (depth > kMaxElementDepth) {
            fail(where, "data elements nested more than " + std::to_string(kMaxElementDepth) +
                            " deep");
        }
        if (!value.is_object() || value.size() != 1) {
            fail(where, "a data element is an object with one key: nil, uint, int, bool, uuid, "
                        "text, url, seq or alt");
        }
        BluetoothElement* e = m_world.store.NewElement();
        auto only = value.begin();
        const std::string& kind = only.key();
        const json& content = only.value();
        std::string at = child(where, kind);
        if (kind == "nil") {
            if (!content.is_null()) {
                fail(at, "expected null");
            }
        } else if (kind == "uint") {
            e->type = kBluetoothSDPDataElementTypeUnsignedInt;
            if (!content.is_number_unsigned()) {
                fail(at, "expected an integer of 0 or more");
            }
            e->number = static_cast<int64_t>(content.get<uint64_t>());
        } else if (kind == "int") {
            e->type = kBluetoothSDPDataElementTypeSignedInt;
            e->number = integer(content, at, std::numeric_limits<int64_t>::min(),
                                std::numeric_limits<int64_t>::max());
        } else if (kind == "bool") {
            e->type = kBluetoothSDPDataElementTypeBoolean;
            e->number = boolean(content, at) ? 1 : 0;
        } else if (kind == "uuid") {
            e->type = kBluetoothSDPDataElementTypeUUID;
            e->uuid = hexBytes(content, at);
            if (e->uuid.size() != 2 && e->uuid.size() != 4 && e->uuid.size() != 16) {
                fail(at, "a UUID has 2, 4 or 16 bytes");
            }
        } else if (kind == "text" || kind == "url") {
            e->type = kind == "text" ? kBluetoothSDPDataElementTypeString
                                     : kBluetoothSDPDataElementTypeURL;
            e->text = string(content, at);
        } else if (kind == "seq" || kind == "alt") {
            e->type = kind == "seq" ? kBluetoothSDPDataElementTypeDataElementSequence
                                    : kBluetoothSDPDataElementTypeDataElementAlternative;
            if (!content.is_array()) {
                fail(at, "expected an array of data elements");
            }
            for (size_t i = 0; i < content.size(); ++i) {
                e->members.push_back(element(content[i], child(at, i), depth + 1));
            }
        } else {
            fail(at, "unknown data element type \"" + kind + "\"");
        }
        return e;
    }

    void phone(const json& value, const std::string& where, WorldDevice& d)
    {
        objectAt(value, where);
        if (value.contains("echo")) {
            onlyKeys(value, where, {"echo"});
            d.phone = WorldDevice::Echo;
            d.echo = boolean(value["echo"], child(where, "echo"));
        } else if (value.contains("replies")) {
            onlyKeys(value, where, {"replies"});
            d.phone = WorldDevice::Replies;
            std::string at = child(where, "replies");
            for (const auto& [request, reply] : objectAt(value["replies"], at).items()) {
                if (request.empty()) {
                    fail(at, "a request must not be empty");
                }
                d.replies.emplace_back(request, string(reply, child(at, request)));
            }
        } else if (value.contains("send")) {
            onlyKeys(value, where, {"send", "repeat"});
            d.phone = WorldDevice::Send;
            std::vector<uint8_t> bytes = hexBytes(value["send"], child(where, "send"));
            d.send.assign(bytes.begin(), bytes.end());
            if (value.contains("repeat")) {
                d.repeat = static_cast<uint32_t>(
                    integer(value["repeat"], child(where, "repeat"), 0, 1000000));
            }
            if (static_cast<uint64_t>(d.send.size()) * d.repeat > (64u << 20)) {
                fail(where, "a phone sends at most 64 MiB at each open");
            }
        } else if (value.contains("socket")) {
            onlyKeys(value, where, {"socket"});
            d.phone = WorldDevice::Socket;
            d.socket = string(value["socket"], child(where, "socket"));
            if (d.socket.empty() || d.socket.size() >= sizeof(sockaddr_un::sun_path)) {
                fail(child(where, "socket"), "expected a socket path of 1 to " +
                                                 std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
                                                 " bytes");
            }
        } else {
            fail(where, "a phone is {\"echo\": B}, {\"replies\": {...}}, {\"send\": HEX} or "
                        "{\"socket\": PATH}");
        }
    }

    BluetoothWorld& m_world;
};

} // namespace

// Where the parser stopped: the DOM parser reports a number too large for a double without its
// position, so a second pass over the text, reading events only, finds it.
class StopPosition : public nlohmann::json_sax<json> {
  public:
    std::size_t offset = 0; // bytes read when the parser stopped

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception&) override
    {
        offset = position;
        return false;
    }
};

// " at line L, column C" of the place where the parser gives up on the text, counted as the
// parser's own syntax errors count them.
std::string positionOfFailure(const std::string& text)
{
    StopPosition stop;
    json::sax_parse(text, &stop, nlohmann::json::input_format_t::json, true, true);
    size_t end = std::min(stop.offset, text.size());
    size_t line = 1, lineStart = 0;
    for (size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return " at line " + std::to_string(line) + ", column " + std::to_string(end - lineStart);
}

// A key or value quoted in a reason may hold control characters; the reason stays one line.
std::string printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The exception's text without its "[json.exception.…] " tag.
std::string untagged(const json::exception& e)
{
    std::string what = e.what();
    size_t at = what.find("] ");
    return at == std::string::npos ? what : what.substr(at + 2);
}

bool ParseBluetoothWorld(const std::string& text, BluetoothWorld& world, std::string& error)
{
    json root;
    try {
        root = json::parse(text, nullptr, true, true); // comments allowed, as in sim/'s example
    } catch (const json::parse_error& e) {
        // "parse error at line 3, column 7: ..."
        error = untagged(e);
        return false;
    } catch (const json::exception& e) {
        // Such as "number overflow parsing '1e999'": the same position a syntax error gives.
        error = untagged(e) + positionOfFailure(text);
        return false;
    }
    try {
        Reader(world).world(root);
    } catch (const SchemaError& e) {
        error = "at " + printable(e.where) + ": " + printable(e.what);
        return false;
    }
    return true;
}
