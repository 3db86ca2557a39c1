// `pmctl log --json`: every kind of event the reader finds comes out as one JSON line that reads
// back to the same event, and a text that is not UTF-8 still makes valid JSON.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "CommLog.h"
#include "LogJson.h"
#include "LogReader.h"
#include "LogTranscript.h"

using nlohmann::json;
using pmlog::Event;

namespace {

std::vector<json> linesOf(const std::string& content, const char* name, bool plain)
{
    std::ostringstream out;
    pmlog::JsonLines sink(out);
    // In pieces of 7 bytes, so that records and lines span the reader's chunks.
    pmlog::streamLogContent(content, name, plain, sink, 7);
    std::vector<json> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);)
        lines.push_back(json::parse(line)); // throws on anything that is not one JSON object
    return lines;
}

std::vector<uint8_t> bytesOfHex(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// What a script reading the line knows, put back into the reader's event.
Event eventOf(const json& o)
{
    static const std::map<std::string, Event::Kind> kKinds = {
        {"start", Event::Banner},
        {"send", Event::Traffic},
        {"receive", Event::Traffic},
        {"traffic", Event::Traffic},
        {"response_time", Event::ResponseTime},
        {"line_change", Event::LineControl},
        {"speed", Event::Speed},
        {"pause", Event::Pause},
        {"timeout", Event::RxTimeout},
        {"comment", Event::Comment},
        {"close", Event::PortClose},
        {"header", Event::UserInfo},
        {"finished", Event::Finished},
        {"unrecognised", Event::Unrecognised},
        {"damaged", Event::Damaged},
        {"note", Event::Note},
    };
    const std::string kind = o.at("event");
    Event e;
    e.kind = kKinds.at(kind);
    e.line = o.at("line");
    e.cut = o.value("cut", false);
    switch (e.kind) {
    case Event::Banner:
        e.text = o.at("restart").get<bool>() ? "ReStart" : "LogStart";
        break;
    case Event::Traffic:
        e.direction = kind == "send" ? 1 : kind == "receive" ? 0 : -1;
        e.alignmentUnknown = o.value("alignment_unknown", false);
        if (e.alignmentUnknown)
            e.text = o.at("digits");
        else
            e.bytes = bytesOfHex(o.at("hex"));
        e.halfByte = o.value("half_byte", false);
        break;
    case Event::ResponseTime:
    case Event::Pause:
        e.values = {o.at("ms")};
        break;
    case Event::LineControl:
        e.text = std::string(o.at("raised").get<bool>() ? "Set" : "Clear") +
                 o.at("signal").get<std::string>();
        break;
    case Event::Speed:
        e.values = {o.at("bps")};
        break;
    case Event::RxTimeout:
        e.values = {o.at("timeout_ms"), o.at("obtained"), o.at("waiting")};
        break;
    case Event::Comment:
        e.text = o.at("text");
        e.values = {o.at("tick")};
        break;
    case Event::PortClose:
        e.text = o.at("host").at("text");
        e.text2 = o.at("host").at("last_modify");
        for (const char* slot : {"host", "module", "port_api"}) {
            e.values.push_back(o.at(slot).at("code"));
            e.values.push_back(o.at(slot).at("line"));
        }
        break;
    case Event::UserInfo:
        e.text = o.at("phone_id");
        e.values = {o.at("os_major"), o.at("os_minor"), o.at("platform"), o.at("cable_type"),
                    o.at("port")};
        break;
    case Event::Finished:
        e.text = o.at("total_seconds");
        e.text2 = o.at("date");
        break;
    case Event::Unrecognised:
    case Event::Note:
        e.text = o.at("text");
        break;
    case Event::Damaged:
        e.text = o.at("problem");
        e.lastLine = o.at("last_line");
        EXPECT_EQ(o.at("lines"), e.lastLine - e.line + 1);
        break;
    }
    return e;
}

void expectSame(const Event& got, const Event& want)
{
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.direction, want.direction);
    EXPECT_EQ(got.bytes, want.bytes);
    EXPECT_EQ(got.halfByte, want.halfByte);
    EXPECT_EQ(got.alignmentUnknown, want.alignmentUnknown);
    EXPECT_EQ(got.cut, want.cut);
    EXPECT_EQ(got.values, want.values);
    EXPECT_EQ(got.text, want.text);
    EXPECT_EQ(got.text2, want.text2);
    EXPECT_EQ(got.line, want.line);
    if (want.kind == Event::Damaged) {
        EXPECT_EQ(got.lastLine, want.lastLine);
    }
}

std::string encoded(std::string piece)
{
    return ";" + std::string(LogFileData.StrEncodeSecond(piece.data())) + "\n";
}

bool isEmptyTraffic(const Event& e)
{
    return e.kind == Event::Traffic && e.bytes.empty() && !e.alignmentUnknown && !e.halfByte &&
           !e.cut;
}

} // namespace

TEST(LogJson, EveryKindOfEventReadsBackTheSame)
{
    // A rolled-over file: it starts inside a send line (pairing unknown), has a plain line (a
    // note), two lines of damage, every record of a communication, text that is no record, a lone
    // traffic digit and a send cut by the file's end.
    const std::string dat =
        encoded("pw$#x<5>") + ";x y\n" + ";F===\n" + ";FA==FA==\n" +
        encoded("\nLogStart Port Open (Start Communication)\n\nRD:"
                "\n//---PM_OpenPort Successful [/dev/x]---{TickCnt = 106}\n") +
        encoded("\nSD:$pw$<100>$p\n{25}\nRD:$=$%#x#2\nSetDTR\nClearRTS\nSet CommSpeed [115200]bps"
                "\n<TimeoutErr (500msec GetCnt = 2 InBufCnt = 4)>\n//---caf\xc3\xa9---{TickCnt = "
                "9}\n") +
        encoded("\n\nPortClose (End Communication)\n[eng] _LastModify(mod)\n : "
                "CommEngLastErr(LINE) [1(2)] PortMdlLastErr(LINE) [3(880)] PortAPILastErr(LINE) "
                "[103(672)]") +
        encoded("\nUserInfo - PhoneUnivID[ph]OSVer[10.3 PlatID -1]CableType[1002]PortNo[0]"
                "\nComm Finished TotalTime    3 Sec. Dete : Mon Jan  1 10:00:00 2024\n\n") +
        encoded("\nPort Open (ReStart Communication)\nSomething else\nSD:$p$\nSD:$p$p");

    pmlog::Log log = pmlog::readLogContent(dat, "PM_LOG.dat", false);
    // A traffic line with no bytes (the "RD:" after the banner) is no event for a script.
    std::erase_if(log.events, [](const Event& e) { return isEmptyTraffic(e); });
    const std::vector<json> lines = linesOf(dat, "PM_LOG.dat", false);
    ASSERT_EQ(lines.size(), log.events.size() + 2);
    EXPECT_EQ(lines.front(),
              (json{{"event", "log"}, {"file", "PM_LOG.dat"}, {"notes", json::array()}}));

    std::set<Event::Kind> kinds;
    for (size_t i = 0; i < log.events.size(); ++i) {
        SCOPED_TRACE(lines[i + 1].dump());
        expectSame(eventOf(lines[i + 1]), log.events[i]);
        kinds.insert(log.events[i].kind);
    }
    EXPECT_EQ(kinds.size(), size_t{Event::Note} + 1) << "a kind of event is missing from the log";

    // The closing object carries the transcript's counts, and the error slots their names.
    std::ostringstream transcript;
    const pmlog::Summary sum = pmlog::printTranscript(transcript, log);
    EXPECT_EQ(lines.back(), (json{{"event", "summary"},
                                  {"communications", sum.communications},
                                  {"damaged_lines", sum.damagedLines},
                                  {"unrecognised", sum.unrecognised}}));
    for (size_t i = 1; i < lines.size(); ++i) {
        const json& o = lines[i];
        // A reply carries the response time just before it.
        if (lines[i - 1]["event"] == "response_time") {
            EXPECT_EQ(o.value("response_ms", -1), lines[i - 1]["ms"]) << o.dump();
        }
        if (o["event"] == "close") {
            EXPECT_EQ(o["module"]["name"], "PM_ERR_TIMEOUT");
            EXPECT_EQ(o["port_api"]["name"], "PM_ERR_APICALL");
            EXPECT_FALSE(o["host"].contains("name")); // 1 is no module code
        }
    }
}

TEST(LogJson, TextThatIsNotUtf8StillMakesJson)
{
    const std::vector<json> lines =
        linesOf("\n//---a\xff\xfe z---{TickCnt = 1}\n", "PM_LOG.tmp", true);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1]["event"], "comment");
    EXPECT_EQ(lines[1]["text"], "a\xef\xbf\xbd\xef\xbf\xbd z");
}

// Every communication the module writes opens a receive line that holds only pauses before the
// first real record: no "receive" without bytes follows "start", and a reply after a response
// time still carries it.
TEST(LogJson, ATrafficLineOfPausesAloneIsNoEvent)
{
    const std::string tmp = "\nLogStart Port Open (Start Communication)\n\nRD:<100><5>"
                            "\n//---PM_OpenPort Successful [/dev/x]---{TickCnt = 106}\n"
                            "\nSD:$p\n{25}\nRD:<3>$=\n";
    std::vector<std::string> kinds;
    std::optional<long long> responseMs;
    for (const json& o : linesOf(tmp, "PM_LOG.tmp", true)) {
        kinds.push_back(o["event"]);
        if (o["event"] == "receive")
            responseMs = o.value("response_ms", -1LL);
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"log", "start", "pause", "pause", "comment", "send",
                                               "response_time", "pause", "receive", "summary"}));
    EXPECT_EQ(responseMs, 25);
}
