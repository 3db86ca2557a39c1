// pmctl's own parts: the log reader (on logs the module wrote, whole and damaged), the step syntax
// of "pmctl talk" and its text helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CommLog.h"
#include "Escapes.h"
#include "LogReader.h"
#include "LogRecordsView.h"
#include "LogTranscript.h"
#include "Steps.h"
#include "Text.h"
#include "pmctl_test_support.h"

using pmlog::Event;
using namespace pmctltest;

namespace {

std::vector<Event> ofKind(const std::vector<Event>& events, Event::Kind kind)
{
    std::vector<Event> out;
    std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                 [kind](const Event& e) { return e.kind == kind; });
    return out;
}

std::vector<uint8_t> bytesOf(const std::string& s)
{
    return {s.begin(), s.end()};
}

std::vector<std::string> splitLines(const std::string& content)
{
    std::vector<std::string> lines;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line + "\n");
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines)
{
    std::string out;
    for (const auto& l : lines)
        out += l;
    return out;
}

// The 1-based number of the first line of a "PM_LOG.dat" whose decoded piece contains text.
size_t lineHolding(const std::vector<std::string>& lines, const std::string& text)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string piece, problem;
        std::string encoded = lines[i].substr(1, lines[i].size() - 2);
        if (pmlog::decodeLine(encoded, piece, problem) && piece.find(text) != std::string::npos)
            return i + 1;
    }
    ADD_FAILURE() << "no line holds " << text;
    return 0;
}

class LogReaderOnModuleLog : public ::testing::Test {
  protected:
    void SetUp() override
    {
        cable.AddReply("AT\r", kOk);
        logOneCommunication(dir.path(), cable);
        dat = readFile(dir.path() / "PM_LOG.dat");
        ASSERT_FALSE(dat.empty());
        ASSERT_FALSE(fs::exists(dir.path() / "PM_LOG.tmp"));
    }

    TempDir dir;
    pmsim::CableSim cable;
    std::string dat;
};

} // namespace

TEST(LogReaderDecode, Base64ThenHalvesSwapped)
{
    struct Case {
        const char* text;
        const char* piece; // nullptr: must fail
    };
    const Case cases[] = {
        {"FiY2oA==", "abc\n"}, // the module's own example
        {"oA==", "\n"},
        {"FA==", "A"},
        {"FCU=", "AR"},
        {"MzOq", "\x33\x33\xaa"}, // equal halves stay as they are
        {"", nullptr},
        {"FiY2oA=", nullptr},     // cut short
        {"FiY", nullptr},         // cut short
        {"Fi*2oA==", nullptr},    // not in the alphabet
        {"FA==FA==", nullptr},    // text after the padding
        {"F===", nullptr},        // too much padding
        {"FiY2\x01oA=", nullptr}, // a stray control byte
    };
    for (const Case& c : cases) {
        std::string piece, problem;
        bool ok = pmlog::decodeLine(c.text, piece, problem);
        if (c.piece != nullptr) {
            EXPECT_TRUE(ok) << c.text << ": " << problem;
            EXPECT_EQ(piece, c.piece) << c.text;
        } else {
            EXPECT_FALSE(ok) << c.text;
            EXPECT_FALSE(problem.empty()) << c.text;
        }
    }
}

TEST(LogReaderParse, EveryRecordOfThePlainText)
{
    // The records as the module writes them into "PM_LOG.tmp"; traffic through the key table
    // "#pL4$w9Q)k2%Tx7=": 41 54 -> key[4] key[1] key[5] key[4] = "$pw$".
    const std::string text =
        "\nLogStart Port Open (Start Communication)\n\nRD:"
        "\n//---PM_OpenPort Successful [/dev/x]---{TickCnt = 106}\n"
        "\nSD:$pw$<100>$p\n{25}\nRD:$=$%#x#2"
        "\nSetDTR\nClearRTS\nSet CommSpeed [115200]bps\n"
        "<TimeoutErr (500msec GetCnt = 2 InBufCnt = 4)>"
        "\n//---a ---{TickCnt = x} b---{TickCnt = -5}\n"
        "\n\nPortClose (End Communication)\n[eng] _LastModify(mod)\n : CommEngLastErr(LINE) "
        "[1(2)] PortMdlLastErr(LINE) [3(880)] PortAPILastErr(LINE) [103(672)]\x81\x41"
        "\nUserInfo - PhoneUnivID[ph]OSVer[10.3 PlatID -1]CableType[1002]PortNo[0]"
        "\nComm Finished TotalTime    3 Sec. Dete : Mon Jan  1 10:00:00 2024\n\n"
        "\nPort Open (ReStart Communication)\n";
    pmlog::Log log = pmlog::readLogContent(text, "PM_LOG.tmp", true);
    std::vector<Event::Kind> kinds;
    for (const Event& e : log.events)
        kinds.push_back(e.kind);
    const std::vector<Event::Kind> expected = {
        Event::Banner,      Event::Traffic,     Event::Comment,      Event::Traffic,
        Event::Pause,       Event::Traffic,     Event::ResponseTime, Event::Traffic,
        Event::LineControl, Event::LineControl, Event::Speed,        Event::RxTimeout,
        Event::Comment,     Event::PortClose,   Event::UserInfo,     Event::Finished,
        Event::Banner,
    };
    ASSERT_EQ(kinds, expected);
    const auto& ev = log.events;
    EXPECT_EQ(ev[0].text, "LogStart");
    EXPECT_EQ(ev[2].text, "PM_OpenPort Successful [/dev/x]");
    EXPECT_EQ(ev[3].direction, 1);
    EXPECT_EQ(ev[3].bytes, bytesOf("AT"));
    EXPECT_EQ(ev[4].values[0], 100);
    EXPECT_EQ(ev[5].direction, 1); // the send line goes on after the pause
    EXPECT_EQ(ev[5].bytes, bytesOf("A"));
    EXPECT_EQ(ev[6].values[0], 25);
    EXPECT_EQ(ev[7].direction, 0);
    EXPECT_EQ(ev[7].bytes, bytesOf("OK\r\n"));
    EXPECT_EQ(ev[8].text, "SetDTR");
    EXPECT_EQ(ev[10].values[0], 115200);
    EXPECT_EQ(ev[11].values, (std::vector<long long>{500, 2, 4}));
    EXPECT_EQ(ev[12].text, "a ---{TickCnt = x} b"); // the first complete closing ends it
    EXPECT_EQ(ev[12].values[0], -5);
    EXPECT_EQ(ev[13].text, "eng");
    EXPECT_EQ(ev[13].text2, "mod");
    EXPECT_EQ(ev[13].values, (std::vector<long long>{1, 2, 3, 880, 103, 672}));
    EXPECT_EQ(ev[14].text, "ph");
    EXPECT_EQ(ev[14].values, (std::vector<long long>{10, 3, -1, 1002, 0}));
    EXPECT_EQ(ev[15].text, "3");
    EXPECT_EQ(ev[15].text2, "Mon Jan  1 10:00:00 2024");
    EXPECT_EQ(ev[16].text, "ReStart");
}

TEST(LogReaderParse, OddAndUnknownTextIsReportedNotSwallowed)
{
    // A lone traffic character, a record the reader does not know, and a pause cut short.
    const std::string text = "\nSD:$p$\nSomething else\n<12";
    pmlog::Log log = pmlog::readLogContent(text, "PM_LOG.tmp", true);
    ASSERT_GE(log.events.size(), 2u);
    EXPECT_EQ(log.events[0].kind, Event::Traffic);
    EXPECT_EQ(log.events[0].bytes, bytesOf("A"));
    EXPECT_TRUE(log.events[0].halfByte);
    auto unknown = ofKind(log.events, Event::Unrecognised);
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_NE(unknown[0].text.find("Something else"), std::string::npos);
    EXPECT_NE(unknown[0].text.find("<12"), std::string::npos);
    EXPECT_EQ(unknown[0].line, 3u);
    std::ostringstream out;
    auto sum = pmlog::printTranscript(out, log);
    EXPECT_EQ(sum.unrecognised, 1u);
    EXPECT_NE(out.str().find("PM_LOG.tmp line 3: unrecognised text"), std::string::npos);
}

TEST_F(LogReaderOnModuleLog, ReadsBackTheWholeCommunication)
{
    pmlog::Log log = pmlog::readLog(dir.path());
    EXPECT_EQ(log.file, "PM_LOG.dat");
    EXPECT_TRUE(ofKind(log.events, Event::Damaged).empty());
    EXPECT_TRUE(ofKind(log.events, Event::Unrecognised).empty());

    // The host's records in their order; the reader thread's own pauses may stand between them.
    std::vector<Event> host;
    for (const Event& e : log.events) {
        bool readerPause = e.kind == Event::Pause && e.values[0] != 20;
        bool emptyPrefix = e.kind == Event::Traffic && e.bytes.empty();
        if (!readerPause && !emptyPrefix)
            host.push_back(e);
    }
    std::vector<Event::Kind> kinds;
    for (const Event& e : host)
        kinds.push_back(e.kind);
    const std::vector<Event::Kind> expected = {
        Event::Banner,       Event::Comment,   Event::Speed,    Event::Traffic,
        Event::ResponseTime, Event::Traffic,   Event::Pause,    Event::Comment,
        Event::RxTimeout,    Event::PortClose, Event::UserInfo, Event::Finished,
    };
    ASSERT_EQ(kinds, expected);
    EXPECT_EQ(host[0].text, "LogStart");
    EXPECT_EQ(host[1].text, "PM_OpenPort Successful [" + cable.SlavePath() + "]");
    EXPECT_EQ(host[2].values[0], 115200);
    EXPECT_EQ(host[3].direction, 1);
    EXPECT_EQ(host[3].bytes, bytesOf("AT\r"));
    EXPECT_GE(host[4].values[0], 0);
    EXPECT_EQ(host[5].direction, 0);
    EXPECT_EQ(host[5].bytes, bytesOf(kOk));
    EXPECT_EQ(host[7].text, "note 7");
    EXPECT_EQ(host[8].values, (std::vector<long long>{50, 0, 0}));
    EXPECT_EQ(host[9].values[2], PM_ERR_TIMEOUT); // the receive that timed out, at its line
    EXPECT_EQ(host[9].values[3], 880);
    EXPECT_EQ(host[10].text, "test-phone");

    std::ostringstream out;
    auto sum = pmlog::printTranscript(out, log);
    EXPECT_EQ(sum.communications, 1u);
    EXPECT_EQ(sum.damagedLines, 0u);
    const std::string t = out.str();
    for (const char* expectedText :
         {"=== Port Open (LogStart, Start Communication)", "SD> 41 54 0d ", "|AT.|",
          "RD< 0d 0a 4f 4b 0d 0a ", "|..OK..|", "Set CommSpeed 115200 bps", "<pause 20 ms>",
          "// note 7", "<TimeoutErr: waited 50 ms, got 0 bytes, 0 waiting>",
          "PortMdlLastErr 3 (time-out) at line 880", "PhoneUnivID[test-phone]",
          "=== Comm Finished: total time", "1 communication, 0 damaged lines"}) {
        EXPECT_NE(t.find(expectedText), std::string::npos) << expectedText << "\n" << t;
    }
}

TEST_F(LogReaderOnModuleLog, DamagedLinesAreNamedAndReadingGoesOn)
{
    const auto lines = splitLines(dat);
    const size_t speedLine = lineHolding(lines, "Set CommSpeed");
    const size_t userLine = lineHolding(lines, "UserInfo");
    ASSERT_GT(speedLine, 0u);
    ASSERT_GT(userLine, speedLine);

    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::vector<size_t> damaged; // lines that must be reported as damage
        std::vector<size_t> noted;   // lines read as record text, with a note
        bool keepsTraffic;           // the AT exchange is still read
    };
    std::vector<Case> cases;
    {
        // Not Base64 at all: the plain piece that the save stores unchanged when it begins with
        // ';'. Read as text, with a note.
        auto l = lines;
        l[speedLine - 1][3] = '*';
        cases.push_back({"not Base64", l, {}, {speedLine}, true});
    }
    {
        auto l = lines;
        l[speedLine - 1] = l[speedLine - 1].substr(0, l[speedLine - 1].size() - 3) + "\n";
        cases.push_back({"line cut short", l, {speedLine}, {}, true});
    }
    {
        auto l = lines;
        l.insert(l.begin() + static_cast<long>(speedLine),
                 std::string("\x00\xff\x81garbage\r\n", 12));
        l.insert(l.begin() + static_cast<long>(speedLine), std::string(100000, '#') + "\n");
        cases.push_back({"garbage lines", l, {speedLine + 1, speedLine + 2}, {}, true});
    }
    {
        auto l = lines;
        l[speedLine - 1] = ";" + std::string(l[speedLine - 1].size() - 2, '=') + "\n";
        cases.push_back({"padding only", l, {speedLine}, {}, true});
    }
    {
        // The file ends in the middle of the UserInfo line, inside a group of four: what came
        // before is all there.
        auto l =
            std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(userLine));
        l.back() = l.back().substr(0, 1 + l.back().size() / 8 * 4 + 2);
        cases.push_back({"file truncated", l, {userLine}, {}, true});
    }
    {
        // Decodable as far as it goes: read, with a note that the file ends inside it.
        auto l =
            std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(userLine));
        l.back() = l.back().substr(0, 1 + l.back().size() / 8 * 4);
        cases.push_back({"file truncated after a whole group", l, {}, {userLine}, true});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pmlog::Log log = pmlog::readLogContent(joinLines(c.lines), "PM_LOG.dat", false);
        std::vector<size_t> damaged, noted;
        for (const Event& e : ofKind(log.events, Event::Damaged)) {
            for (size_t line = e.line; line <= e.lastLine; ++line)
                damaged.push_back(line);
        }
        for (const Event& e : ofKind(log.events, Event::Note))
            noted.push_back(e.line);
        EXPECT_EQ(damaged, c.damaged);
        EXPECT_EQ(noted, c.noted);
        auto traffic = ofKind(log.events, Event::Traffic);
        bool sentAt = std::any_of(traffic.begin(), traffic.end(),
                                  [](const Event& e) { return e.bytes == bytesOf("AT\r"); });
        bool gotOk = std::any_of(traffic.begin(), traffic.end(),
                                 [](const Event& e) { return e.bytes == bytesOf(kOk); });
        EXPECT_EQ(sentAt && gotOk, c.keepsTraffic);
        EXPECT_EQ(ofKind(log.events, Event::Banner).size(), 1u);
        std::ostringstream out;
        auto sum = pmlog::printTranscript(out, log);
        EXPECT_EQ(sum.damagedLines, c.damaged.size());
        EXPECT_NE(out.str().find("PM_LOG.dat line"), std::string::npos) << out.str();
    }

    // Damage ahead of the footer leaves the footer readable.
    auto l = lines;
    l[speedLine - 1][3] = '*';
    pmlog::Log log = pmlog::readLogContent(joinLines(l), "PM_LOG.dat", false);
    EXPECT_EQ(ofKind(log.events, Event::Finished).size(), 1u);
    EXPECT_EQ(ofKind(log.events, Event::UserInfo).size(), 1u);
}

TEST_F(LogReaderOnModuleLog, ALogThatRolledOverReadsFromAnyLine)
{
    // The rolling log keeps the newest lines only, so it may begin at any line of a communication:
    // what is left of the record cut there is reported at line 1, everything after it reads.
    const auto lines = splitLines(dat);
    const size_t closeLine = lineHolding(lines, "PortClose");
    const size_t finishedLine = lineHolding(lines, "Comm Finished");
    for (size_t first = 1; first < lines.size(); ++first) {
        SCOPED_TRACE("log begins at line " + std::to_string(first + 1));
        std::vector<std::string> kept(lines.begin() + static_cast<long>(first), lines.end());
        pmlog::Log log = pmlog::readLogContent(joinLines(kept), "PM_LOG.dat", false);
        EXPECT_TRUE(ofKind(log.events, Event::Damaged).empty());
        auto unknown = ofKind(log.events, Event::Unrecognised);
        EXPECT_TRUE(unknown.empty() || (unknown.size() == 1 && unknown[0].line == 1));
        if (first < finishedLine) {
            EXPECT_EQ(ofKind(log.events, Event::Finished).size(), 1u);
        }
        if (first + 1 == closeLine) {
            // The record's leading blank line was the line dropped last.
            EXPECT_TRUE(unknown.empty());
            auto close = ofKind(log.events, Event::PortClose);
            ASSERT_EQ(close.size(), 1u);
            EXPECT_EQ(close[0].line, 1u);
            EXPECT_EQ(close[0].values[2], PM_ERR_TIMEOUT);
        }
    }
}

TEST_F(LogReaderOnModuleLog, RandomDamageNeverStopsTheReader)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        const std::string content = randomlyDamaged(dat, random, true);
        for (bool plain : {false, true}) {
            pmlog::Log log = pmlog::readLogContent(content, "PM_LOG.dat", plain);
            std::ostringstream out;
            pmlog::printTranscript(out, log);
            pmlog::printRecords(out, log);
            EXPECT_NE(out.str().find("--- end of PM_LOG.dat"), std::string::npos);
        }
    }
}

TEST_F(LogReaderOnModuleLog, FolderWithAnUnfinishedCommunicationReadsTheTemporaryFile)
{
    // What a host that stopped in the middle of a communication leaves: the carried-over encoded
    // lines, then plain records (a send of "AT").
    writeFile(dir.path() / "PM_LOG.tmp",
              dat + "\nPort Open (ReStart Communication)\n\nRD:\n//---a\n;b---{TickCnt = 9}\n"
                    "\nSD:$pw$");
    pmlog::Log log = pmlog::readLog(dir.path());
    EXPECT_EQ(log.file, "PM_LOG.tmp");
    ASSERT_EQ(log.notes.size(), 2u); // the choice of file, and why PM_LOG.dat is not read too
    EXPECT_NE(log.notes[1].find("PM_LOG.dat"), std::string::npos);
    auto banners = ofKind(log.events, Event::Banner);
    ASSERT_EQ(banners.size(), 2u);
    EXPECT_EQ(banners[1].text, "ReStart");
    auto traffic = ofKind(log.events, Event::Traffic);
    ASSERT_FALSE(traffic.empty());
    EXPECT_EQ(traffic.back().direction, 1);
    EXPECT_EQ(traffic.back().bytes, bytesOf("AT"));
    EXPECT_TRUE(ofKind(log.events, Event::Damaged).empty());
    auto comments = ofKind(log.events, Event::Comment);
    ASSERT_FALSE(comments.empty());
    EXPECT_EQ(comments.back().text, "a\n;b"); // a message line that begins with ';'

    // The same plain lines in a rolling log file are damage.
    writeFile(dir.path() / "copy.dat", dat + "\nRD:\n");
    pmlog::Log copy = pmlog::readLog(dir.path() / "copy.dat");
    auto damaged = ofKind(copy.events, Event::Damaged);
    ASSERT_EQ(damaged.size(), 1u); // two lines in a row: one stretch
    EXPECT_EQ(damaged[0].line, splitLines(dat).size() + 1);
    EXPECT_EQ(damaged[0].lastLine, splitLines(dat).size() + 2);

    EXPECT_THROW(pmlog::readLog(dir.path() / "missing"), std::runtime_error);
    TempDir empty;
    EXPECT_THROW(pmlog::readLog(empty.path()), std::runtime_error);
}

// A message line that begins with ';' is stored in the rolling log as it is, not encoded: it is
// record text, read back into its comment, with a note, and no damage.
TEST(LogReaderOnStoredPlainPiece, MessageLineBeginningWithSemicolonReadsBack)
{
    TempDir dir;
    std::string folder = dir.path().string() + "/";
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    ASSERT_EQ(PM_Log_WriteMessage("a\n;b c"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    ASSERT_NE(readFile(dir.path() / "PM_LOG.dat").find("\n;b c---{TickCnt = "), std::string::npos);

    pmlog::Log log = pmlog::readLog(dir.path());
    EXPECT_TRUE(ofKind(log.events, Event::Damaged).empty());
    EXPECT_TRUE(ofKind(log.events, Event::Unrecognised).empty());
    auto comments = ofKind(log.events, Event::Comment);
    ASSERT_EQ(comments.size(), 1u);
    EXPECT_EQ(comments[0].text, "a\n;b c");
    auto notes = ofKind(log.events, Event::Note);
    ASSERT_EQ(notes.size(), 1u);
    std::ostringstream out;
    auto sum = pmlog::printTranscript(out, log);
    EXPECT_EQ(sum.damagedLines, 0u);
    EXPECT_NE(out.str().find("not Base64: a plain piece"), std::string::npos) << out.str();
}

// The roll-over can keep a piece that begins inside a traffic line, even inside a byte's pair of
// digits: which digits pair is unknown, so no bytes are made up from them. After a record that
// starts a line, pairing is known again.
TEST(LogReaderParse, TrafficWhoseLineStartWasDroppedHasUnknownAlignment)
{
    auto encoded = [](std::string piece) {
        return ";" + std::string(LogFileData.StrEncodeSecond(piece.data())) + "\n";
    };
    // "\nSD:$pw$#x" (41 54 0d) kept from its fourth traffic digit on.
    std::string dat = encoded("pw$#x<5>$p") + encoded("\n//---c---{TickCnt = 1}\n") +
                      encoded("$p\n");
    pmlog::Log log = pmlog::readLogContent(dat, "PM_LOG.dat", false);
    auto traffic = ofKind(log.events, Event::Traffic);
    ASSERT_EQ(traffic.size(), 3u);
    for (int i : {0, 1}) { // the pause does not fix the pairing of the digits after it
        EXPECT_TRUE(traffic[i].alignmentUnknown) << i;
        EXPECT_TRUE(traffic[i].bytes.empty()) << i;
    }
    EXPECT_EQ(traffic[0].text, "1540d");
    EXPECT_EQ(traffic[1].text, "41");
    EXPECT_FALSE(traffic[2].alignmentUnknown);
    EXPECT_EQ(traffic[2].bytes, bytesOf("A"));
    std::ostringstream out;
    pmlog::printTranscript(out, log);
    EXPECT_NE(out.str().find("pairing into bytes is unknown"), std::string::npos) << out.str();
    EXPECT_EQ(out.str().find("15 40"), std::string::npos) << out.str();
}

// A host killed while writing leaves its last record cut: the reader says so instead of showing
// it as whole, or as mere unknown text.
TEST(LogReaderParse, CutLastRecordIsMarked)
{
    struct Case {
        const char* text;
        Event::Kind last;
        const char* says;
    };
    const Case cases[] = {
        {"\nRD:\n//---hello---{Tick", Event::Unrecognised, "cut: the file ends inside"},
        {"\nRD:\nSet CommSpeed [96", Event::Unrecognised, "cut: the file ends inside"},
        {"\nRD:\nSD:$p$p", Event::Traffic, "the file ends in this traffic"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        pmlog::Log log = pmlog::readLogContent(c.text, "PM_LOG.tmp", true);
        ASSERT_FALSE(log.events.empty());
        EXPECT_EQ(log.events.back().kind, c.last);
        EXPECT_TRUE(log.events.back().cut);
        std::ostringstream out;
        pmlog::printTranscript(out, log);
        EXPECT_NE(out.str().find(c.says), std::string::npos) << out.str();
    }
    // A whole record at the end is not cut.
    pmlog::Log whole = pmlog::readLogContent("\nRD:\nSetDTR<5>", "PM_LOG.tmp", true);
    ASSERT_FALSE(whole.events.empty());
    EXPECT_FALSE(whole.events.back().cut);
}

// Reading keeps a small window of the file, not objects per line: tens of MiB of line feeds, of
// damage or of tiny records read within a few hundred MiB of address space.
TEST(LogReaderStream, LargeFilesReadInBoundedMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
    TempDir dir;
    const size_t size = 16u << 20;
    writeFile(dir.path() / "feeds.dat", std::string(size, '\n'));
    writeFile(dir.path() / "feeds.tmp", std::string(size, '\n'));
    std::string pauses;
    while (pauses.size() < size)
        pauses += "<1>";
    writeFile(dir.path() / "pauses.tmp", pauses);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &limit);
        struct Counter : pmlog::LogSink {
            size_t events = 0;
            void event(const Event&) override { ++events; }
        };
        try {
            Counter feedsDat, feedsTmp, pausesTmp;
            pmlog::streamLog(dir.path() / "feeds.dat", feedsDat);
            pmlog::streamLog(dir.path() / "feeds.tmp", feedsTmp);
            pmlog::streamLog(dir.path() / "pauses.tmp", pausesTmp);
            bool ok = feedsDat.events == 1 && feedsTmp.events == 0 &&
                      pausesTmp.events >= size / 3;
            _exit(ok ? 0 : 1);
        } catch (...) {
            _exit(2);
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong events, 2: out of memory";
}

// A communication of a second program that shared the folder waits beside the log until the next
// save: the folder's reading names it, and it reads as a temporary file.
TEST(LogReaderOnFolder, WaitingCommunicationIsNamedAndReadable)
{
    TempDir dir;
    const std::string records = "\nLogStart Port Open (Start Communication)\n\nRD:"
                                "\n//---waiting---{TickCnt = 5}\n";
    writeFile(dir.path() / "PM_LOG.tmp.Ab12Cd", records);
    EXPECT_THROW(pmlog::readLog(dir.path()), std::runtime_error);
    writeFile(dir.path() / "PM_LOG.dat", ";oA==\n");
    pmlog::Log log = pmlog::readLog(dir.path());
    ASSERT_EQ(log.notes.size(), 1u);
    EXPECT_NE(log.notes[0].find("PM_LOG.tmp.Ab12Cd"), std::string::npos);

    pmlog::Log waiting = pmlog::readLog(dir.path() / "PM_LOG.tmp.Ab12Cd");
    auto comments = ofKind(waiting.events, Event::Comment);
    ASSERT_EQ(comments.size(), 1u);
    EXPECT_EQ(comments[0].text, "waiting");
}

TEST(PmctlSteps, ParseTheStepWords)
{
    std::vector<pmctl::Step> steps;
    std::string error;
    ASSERT_TRUE(pmctl::parseSteps({"send", "AT\\r",   "sendhex", "0x41 54:0d", "recv",
                                   "6",    "recvall", "timeout", "250",        "txtimeout",
                                   "900",  "speed",   "115200",  "speed",      "3",
                                   "rts",  "on",      "dtr",     "off",        "sleep",
                                   "10",   "clear",   "note",    "hi there",   "status"},
                                  steps, error))
        << error;
    ASSERT_EQ(steps.size(), 14u);
    using K = pmctl::Step;
    EXPECT_EQ(steps[0].kind, K::Send);
    EXPECT_EQ(steps[0].bytes, bytesOf("AT\r"));
    EXPECT_EQ(steps[1].bytes, bytesOf("AT\r"));
    EXPECT_EQ(steps[2].number, 6u);
    EXPECT_EQ(steps[3].kind, K::RecvAll);
    EXPECT_EQ(steps[4].number, 250u);
    EXPECT_EQ(steps[5].kind, K::TxTimeout);
    EXPECT_EQ(steps[6].number, 8u); // 115200 bit/s is code 8
    EXPECT_EQ(steps[7].number, 3u);
    EXPECT_TRUE(steps[8].on);
    EXPECT_FALSE(steps[9].on);
    EXPECT_EQ(steps[10].number, 10u);
    EXPECT_EQ(steps[12].text, "hi there");
    EXPECT_EQ(steps[13].kind, K::Status);

    struct Bad {
        std::vector<std::string> words;
        const char* mentions;
    };
    const Bad bad[] = {
        {{"sned", "x"}, "('sned') is not a step"},
        {{"send"}, "needs an argument"},
        {{"send", "a\\q"}, "unknown escape \\q"},
        {{"send", "a\\"}, "lone '\\'"},
        {{"send", "\\xZZ"}, "\\x"},
        {{"sendhex", "4"}, "odd number"},
        {{"sendhex", "4g"}, "not a hex digit"},
        {{"recv", "-1"}, "byte count"},
        {{"recv", "99999999"}, "byte count"},
        {{"timeout", "1s"}, "milliseconds"},
        {{"speed", "12345"}, "speed code"},
        {{"speed", "0"}, "speed code"},
        {{"rts", "yes"}, "'on' or 'off'"},
        {{"recvall", "recv", "x"}, "step 2"},
    };
    for (const Bad& b : bad) {
        EXPECT_FALSE(pmctl::parseSteps(b.words, steps, error)) << b.mentions;
        EXPECT_NE(error.find(b.mentions), std::string::npos) << error;
    }
}

TEST(PmctlText, EscapesAndHexDump)
{
    std::vector<uint8_t> out;
    std::string error;
    ASSERT_TRUE(escapes::unescape("a\\x7\\x41\\0\\e\\\\\\t", out, error)) << error;
    EXPECT_EQ(out, (std::vector<uint8_t>{'a', 0x07, 0x41, 0x00, 0x1b, '\\', '\t'}));

    auto rows = pmctl::hexRows(reinterpret_cast<const uint8_t*>("0123456789abcdef\x01Z"), 18);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], "30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|");
    EXPECT_EQ(rows[1], "01 5a                                            |.Z|");
    EXPECT_EQ(pmctl::escapeForDisplay(std::string("a\r\n\x81\\", 5)), "a\\r\\n\\x81\\\\");
    EXPECT_EQ(pmctl::escapeForDisplay("abcdef", 3), "abc...");
}
