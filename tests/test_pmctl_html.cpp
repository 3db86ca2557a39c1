// The HTML page of a log: its rows for a communication the module logged, escaping of every text
// from the log, and a whole page for any input, damaged or empty.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <regex>
#include <sstream>

#include "CommLog.h"
#include "LogHtml.h"
#include "LogReader.h"
#include "LogTranscript.h"
#include "html_check.h"
#include "pmctl_test_support.h"

using namespace pmctltest;

namespace {

// The page as pmctl makes it: streamed from the reader.
std::string pageOf(const fs::path& fileOrFolder)
{
    std::ostringstream out;
    pmlog::HtmlTimeline page(out);
    pmlog::streamLog(fileOrFolder, page);
    return out.str();
}

// In pieces of 7 bytes, so that records and lines span the reader's chunks.
std::string pageOfText(const std::string& content, bool plain, const char* name = "PM_LOG.tmp")
{
    std::ostringstream out;
    pmlog::HtmlTimeline page(out);
    pmlog::streamLogContent(content, name, plain, page, 7);
    return out.str();
}

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(LogHtml, RowsOfACommunicationTheModuleLogged)
{
    TempDir dir;
    pmsim::CableSim cable;
    cable.AddReply("AT\r", kOk);
    logOneCommunication(dir.path(), cable);
    const std::string page = pageOf(dir.path());
    ASSERT_EQ(htmlProblem(page), "") << page;

    // The send on the host's side, the reply with its response time on the phone's side, each with
    // its hex dump behind a click.
    EXPECT_TRUE(std::regex_search(
        page, std::regex("<li class=\"send\"><details class=\"h\"><summary><span class=\"bytes\">"
                         "AT<i>\\\\r</i></span><span class=\"count\">3 bytes</span></summary>"
                         "<pre class=\"hex\">41 54 0d [^<]*\\|AT\\.\\|")))
        << page;
    EXPECT_TRUE(std::regex_search(
        page,
        std::regex("<li class=\"reply\"><span class=\"a rt\"[^>]*>\\d+ ms</span><details "
                   "class=\"p\"><summary><span class=\"bytes\"><i>\\\\r\\\\n</i>OK<i>\\\\r\\\\n"
                   "</i></span><span class=\"count\">6 bytes</span>")))
        << page;
    // The host's 20 ms pause: a gap of 4 px at 5 ms a pixel.
    EXPECT_NE(page.find("<span class=\"a bar\" style=\"height:4px\"></span><span class=\"p gl\">"
                        "pause 20 ms</span>"),
              std::string::npos);
    EXPECT_NE(page.find("<li class=\"mark speed\"><span class=\"w\">speed 115200 bit/s</span>"),
              std::string::npos);
    EXPECT_NE(page.find("<li class=\"mark comment\"><span class=\"w\">// note 7 "),
              std::string::npos);
    EXPECT_NE(page.find("<li class=\"timeout err\"><span class=\"p\">time-out: waited 50 ms, got "
                        "0 bytes, 0 waiting</span>"),
              std::string::npos);
    // The closing summary names the code in red; the list at the top says how it ended.
    EXPECT_NE(page.find("<tr class=\"bad\"><td>PortMdlLastErr</td><td>3</td><td>PM_ERR_TIMEOUT "
                        "\u2014 time-out</td><td>880</td></tr>"),
              std::string::npos);
    EXPECT_TRUE(std::regex_search(
        page, std::regex("<li class=\"bad\"><a href=\"#c1\">Communication 1</a> <small>line 2 "
                         "\u00b7 phone test-phone \u00b7 +\\d+ s \u00b7 [^<]+</small><span "
                         "class=\"tag err\">1 time-out</span><span class=\"tag err\"[^>]*>"
                         "PortMdlLastErr 3 PM_ERR_TIMEOUT")))
        << page;
    EXPECT_NE(page.find("<section id=\"c1\">"), std::string::npos);
    EXPECT_EQ(page.find("<section id=\"c0\">"), std::string::npos);
    EXPECT_NE(page.find("1 communication, 0 damaged lines, 0 unrecognised texts"),
              std::string::npos);
    // Nothing to fetch from anywhere.
    EXPECT_EQ(page.find("src="), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("url("), std::string::npos);
}

TEST(LogHtml, TextsFromTheLogAreEscapedNeverMarkup)
{
    const std::string markup = "<b id=\"x\">&amp;'</b>";
    const std::string escaped = "&lt;b id=&quot;x&quot;&gt;&amp;amp;&#39;&lt;/b&gt;";
    const std::string text =
        "\nLogStart Port Open (Start Communication)\n\nRD:"
        "\n//---" +
        markup +
        "\x01\xff---{TickCnt = 5}\n"
        "\nSD:4T#x474T" // "<\r><" sent: 3c 0d 3e 3c
        "\n{3}\nRD:4T"  // "<" replied
        "\n\nPortClose (End Communication)\n[" +
        markup + "] _LastModify(" + markup +
        ")\n : CommEngLastErr(LINE) [7(1)] PortMdlLastErr(LINE) [0(0)] PortAPILastErr(LINE) "
        "[103(951)]\x81\x41"
        "\nUserInfo - PhoneUnivID[" +
        markup +
        "]OSVer[10.3 PlatID -1]CableType[1002]PortNo[0]"
        "\nComm Finished TotalTime    3 Sec. Dete : " +
        markup + "\n\n\n<script>alert(1)</script>\n";
    const std::string page = pageOfText(text, true, "<x>&.tmp");
    ASSERT_EQ(htmlProblem(page), "") << page;
    EXPECT_EQ(page.find("<b id"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<x>"), std::string::npos);
    EXPECT_NE(page.find("&lt;x&gt;&amp;.tmp"), std::string::npos); // the file's name as well
    // Comment, both engine texts, phone id, date: each shown escaped.
    EXPECT_EQ(count(page, escaped), 7u) << page; // the list at the top repeats phone and date
    EXPECT_NE(page.find(escaped + "\\x01\\xff"), std::string::npos); // bytes that are no text
    EXPECT_NE(page.find("<span class=\"bytes\">&lt;<i>\\r</i>&gt;&lt;</span>"), std::string::npos);
    EXPECT_NE(page.find("<pre class=\"hex\">3c 0d 3e 3c "), std::string::npos);
    EXPECT_NE(page.find("|&lt;.&gt;&lt;|"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    // The engine's codes are the host's, the port API's slot holds the module's 103.
    EXPECT_NE(page.find("<td>CommEngLastErr</td><td>7</td><td>the host&#39;s own code</td>"),
              std::string::npos);
    EXPECT_NE(page.find("<td>PortAPILastErr</td><td>103</td><td>PM_ERR_APICALL"),
              std::string::npos);
}

TEST(LogHtml, AnyInputGivesAWholePage)
{
    struct Case {
        const char* name;
        std::string content;
        bool plain;
        std::vector<const char*> says;
    };
    std::string longLine = ";" + std::string(99999, 'A') + "\n";
    std::string longPlainLine = ";" + std::string(100000, '#') + "\n";
    std::string manyDamaged;
    for (int i = 0; i < 50; ++i)
        manyDamaged += "not an encoded line <&>\n";
    std::string longTraffic = "\nSD:";
    for (int i = 0; i < 2550; ++i)
        longTraffic += "$p"; // 0x41, 2550 times
    const Case cases[] = {
        {"empty file", "", false, {"is empty", "0 communications", "Nothing in this file."}},
        {"only damaged lines",
         manyDamaged,
         false,
         {"Damaged PM_LOG.dat lines 1\u201350, skipped: 50 lines (line 1: not an encoded line",
          "0 communications, 50 damaged lines", "<a href=\"#c0\">Before the first Port Open</a>"}},
        {"a line of 100000 characters", longLine, false, {"cut short", "1 damaged line"}},
        {"a stored plain line of 100000 characters",
         longPlainLine,
         false,
         {"is not Base64", "0 damaged lines, 1 unrecognised text"}},
        {"a send of 2550 bytes",
         longTraffic,
         true,
         {"<span class=\"count\">2550 bytes</span>", "\u2026 2390 more",
          "The log begins inside a communication"}},
        {"a pause of a minute and a negative one",
         "\nLogStart Port Open (Start Communication)\n<60000><-5>",
         true,
         {"style=\"height:600px\"></span><span class=\"p gl\">pause 60000 ms (drawn cut)",
          "style=\"height:0px\"></span><span class=\"p gl\">pause -5 ms<",
          "no Comm Finished: cut short or still open"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string page = pageOfText(c.content, c.plain, "PM_LOG.dat");
        EXPECT_EQ(htmlProblem(page), "");
        for (const char* part : c.says)
            EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page.substr(0, 20000);
    }

    // Random damage of a log the module wrote: always a whole page.
    TempDir dir;
    pmsim::CableSim cable;
    cable.AddReply("AT\r", kOk);
    logOneCommunication(dir.path(), cable);
    const std::string dat = readFile(dir.path() / "PM_LOG.dat");
    std::mt19937 random(2024);
    for (int round = 0; round < 200; ++round) {
        const std::string content = randomlyDamaged(dat, random, false);
        for (bool plain : {false, true}) {
            const std::string page = pageOfText(content, plain);
            ASSERT_EQ(htmlProblem(page), "") << "round " << round;
        }
    }
}

// What the reader remarks on reaches the page as such: traffic whose pairing the roll-over lost, a
// stored plain ';' line, a run of damaged lines, a last record the file ends inside, and a
// communication that waits beside the log. The page counts as the transcript does.
TEST(LogHtml, ReadersRemarksAreShown)
{
    auto encoded = [](std::string piece) {
        return ";" + std::string(LogFileData.StrEncodeSecond(piece.data())) + "\n";
    };
    TempDir dir;
    writeFile(dir.path() / "PM_LOG.dat",
              encoded("pw$#x<5>") +                                         // line 1
                  encoded("\nLogStart Port Open (Start Communication)\n") + // line 2
                  encoded("\n//---a\n") + ";b <c>---{TickCnt = 1}\n" +      // lines 3, 4
                  "garbage <&>\ngarbage\ngarbage\n" +                       // lines 5-7
                  encoded("\nSD:$p$p"));                                    // line 8
    writeFile(dir.path() / "PM_LOG.tmp.Ab12Cd", "\nLogStart Port Open (Start Communication)\n");
    const std::string page = pageOf(dir.path());
    ASSERT_EQ(htmlProblem(page), "") << page;
    const char* says[] = {
        "<p class=\"note\">Note: PM_LOG.tmp.Ab12Cd: a communication of another program",
        "The log begins inside a communication",
        "<li class=\"unknown\"><details class=\"w\"><summary><span class=\"bytes\">1540d</span>"
        "<span class=\"count\">5 traffic digits whose pairing into bytes is unknown",
        "<pre class=\"hex\">1540d\n</pre>",
        "// a\\n;b &lt;c&gt; <small>tick 1 ms",
        "<li class=\"mark remark\"><span class=\"w\">Note on PM_LOG.dat line 4: this line begins "
        "with &#39;;&#39; but is not Base64",
        "Damaged PM_LOG.dat lines 5\u20137, skipped: 3 lines (line 5: not an encoded line",
        "<li class=\"send\"><details class=\"h\"><summary><span class=\"bytes\">AA</span>",
        "the file ends in this traffic (PM_LOG.dat line 8): more may have been sent or received",
        "<span class=\"tag err\">3 damaged lines</span><span class=\"tag err\">the file ends "
        "inside its last record</span>",
        "1 communication, 3 damaged lines, 0 unrecognised texts",
    };
    for (const char* part : says)
        EXPECT_NE(page.find(part), std::string::npos) << part << "\n" << page;
    EXPECT_EQ(count(page, "class=\"damaged err\""), 1u);

    // The same counts as the transcript's closing line.
    pmlog::Log log = pmlog::readLog(dir.path());
    std::ostringstream text, html;
    const pmlog::Summary fromText = pmlog::printTranscript(text, log);
    pmlog::HtmlTimeline timeline(html);
    pmlog::replay(log, timeline);
    EXPECT_EQ(timeline.summary().communications, fromText.communications);
    EXPECT_EQ(timeline.summary().damagedLines, fromText.damagedLines);
    EXPECT_EQ(timeline.summary().unrecognised, fromText.unrecognised);
    EXPECT_EQ(html.str(), page);

    // A record of another kind cut by the file's end; a note before anything opened a section.
    const std::string cut = pageOfText("\nRD:\n//---hello---{Tick", true);
    EXPECT_NE(cut.find("cut: the file ends inside this record"), std::string::npos) << cut;
    const std::string first = pageOfText(";x y\n", false, "PM_LOG.dat");
    ASSERT_EQ(htmlProblem(first), "") << first;
    EXPECT_NE(first.find("Note on PM_LOG.dat line 1: this line begins with"), std::string::npos)
        << first;
}

TEST(LogHtml, SavedThroughATemporaryFileRenamedIntoPlace)
{
    TempDir dir;
    const auto read = [](pmlog::LogSink& sink) {
        pmlog::streamLogContent("\nLogStart Port Open (Start Communication)\n", "PM_LOG.tmp", true,
                                sink);
    };
    const fs::path page = dir.path() / "page.html";
    pmlog::saveHtmlPage(page, read);
    EXPECT_EQ(htmlProblem(readFile(page)), "");
    struct stat st {};
    ASSERT_EQ(::stat(page.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // Where the page cannot go: a clear error and nothing left behind.
    for (const fs::path& bad : {dir.path(), dir.path() / "missing" / "page.html"}) {
        SCOPED_TRACE(bad.string());
        try {
            pmlog::saveHtmlPage(bad, read);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(bad == dir.path() ? "is a folder" : "missing"),
                      std::string::npos)
                << e.what();
        }
    }
    // A log that cannot be read: no temporary file, and the page already there stays as it was.
    writeFile(page, "an older page");
    EXPECT_THROW(
        pmlog::saveHtmlPage(
            page, [&](pmlog::LogSink& sink) { pmlog::streamLog(dir.path() / "missing", sink); }),
        std::runtime_error);
    EXPECT_EQ(readFile(page), "an older page");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path()))
        ++entries;
    EXPECT_EQ(entries, 1u); // page.html
}
