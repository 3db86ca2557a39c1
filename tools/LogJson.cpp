#include "LogJson.h"

#include <ostream>

#include "ErrorNames.h"

namespace pmlog {

namespace {

using nlohmann::json;

std::string hexOf(const std::vector<uint8_t>& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0f];
    }
    return hex;
}

// One error slot of a closing summary: its code, the source line that set it, and the code's
// name when the module knows it.
json errorSlot(long long code, long long line)
{
    json slot = {{"code", code}, {"line", line}};
    if (const pmctl::ModuleError* error = pmctl::findModuleError(code))
        slot["name"] = error->constant;
    return slot;
}

const char* kindName(const Event& e)
{
    switch (e.kind) {
    case Event::Banner:
        return "start";
    case Event::Traffic:
        return e.direction == 1 ? "send" : e.direction == 0 ? "receive" : "traffic";
    case Event::ResponseTime:
        return "response_time";
    case Event::LineControl:
        return "line_change";
    case Event::Speed:
        return "speed";
    case Event::Pause:
        return "pause";
    case Event::RxTimeout:
        return "timeout";
    case Event::Comment:
        return "comment";
    case Event::PortClose:
        return "close";
    case Event::UserInfo:
        return "header";
    case Event::Finished:
        return "finished";
    case Event::Unrecognised:
        return "unrecognised";
    case Event::Damaged:
        return "damaged";
    case Event::Note:
        return "note";
    }
    return "unknown";
}

} // namespace

json eventJson(const Event& e)
{
    json o = {{"event", kindName(e)}, {"line", e.line}};
    if (e.cut)
        o["cut"] = true;
    switch (e.kind) {
    case Event::Banner:
        o["restart"] = e.text == "ReStart";
        break;
    case Event::Traffic:
        if (e.alignmentUnknown) {
            o["alignment_unknown"] = true;
            o["digits"] = e.text;
        } else {
            o["hex"] = hexOf(e.bytes);
            if (e.halfByte)
                o["half_byte"] = true;
        }
        break;
    case Event::ResponseTime:
    case Event::Pause:
        o["ms"] = e.values[0];
        break;
    case Event::LineControl:
        o["signal"] = e.text.substr(e.text.size() - 3); // "SetDTR" -> "DTR"
        o["raised"] = e.text.rfind("Set", 0) == 0;
        break;
    case Event::Speed:
        o["bps"] = e.values[0];
        break;
    case Event::RxTimeout:
        o["timeout_ms"] = e.values[0];
        o["obtained"] = e.values[1];
        o["waiting"] = e.values[2];
        break;
    case Event::Comment:
        o["text"] = e.text;
        o["tick"] = e.values[0];
        break;
    case Event::PortClose: {
        json eng = errorSlot(e.values[0], e.values[1]);
        eng["text"] = e.text;
        eng["last_modify"] = e.text2;
        o["host"] = eng;
        o["module"] = errorSlot(e.values[2], e.values[3]);
        o["port_api"] = errorSlot(e.values[4], e.values[5]);
        break;
    }
    case Event::UserInfo:
        o["phone_id"] = e.text;
        o["os_major"] = e.values[0];
        o["os_minor"] = e.values[1];
        o["platform"] = e.values[2];
        o["cable_type"] = e.values[3];
        o["port"] = e.values[4];
        break;
    case Event::Finished:
        o["total_seconds"] = e.text;
        o["date"] = e.text2;
        break;
    case Event::Unrecognised:
    case Event::Note:
        o["text"] = e.text;
        break;
    case Event::Damaged:
        o["problem"] = e.text;
        o["last_line"] = e.lastLine;
        o["lines"] = damagedLineCount(e);
        break;
    }
    return o;
}

void JsonLines::write(const json& object)
{
    // Invalid UTF-8 from a damaged or foreign log is replaced, never a reason to stop reading.
    m_out << object.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
}

void JsonLines::begin(const std::string& file, const std::vector<std::string>& notes)
{
    write({{"event", "log"}, {"file", file}, {"notes", notes}});
}

void JsonLines::event(const Event& e)
{
    m_sum.add(e);
    // A traffic line that holds only pauses (the reader's line opens receiving before anything
    // came) has no bytes to report: the transcript and the page show nothing for it either.
    if (e.kind == Event::Traffic && e.bytes.empty() && !e.alignmentUnknown && !e.halfByte &&
        !e.cut)
        return;
    json object = eventJson(e);
    if (e.kind == Event::ResponseTime) {
        m_responseMs = e.values[0];
    } else if (e.kind == Event::Traffic && e.direction == 0) {
        // The reply carries the response time recorded before it, as on the page.
        if (m_responseMs)
            object["response_ms"] = *m_responseMs;
        m_responseMs.reset();
    } else if (e.kind != Event::Pause && e.kind != Event::Note) {
        m_responseMs.reset(); // only a pause may come between a response time and its reply
    }
    write(object);
}

void JsonLines::end()
{
    write({{"event", "summary"},
           {"communications", m_sum.communications},
           {"damaged_lines", m_sum.damagedLines},
           {"unrecognised", m_sum.unrecognised}});
    m_out.flush();
}

} // namespace pmlog
