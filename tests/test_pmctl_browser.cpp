// The page of "pmctl log --html" in a real browser: headless Chromium renders the page of a log
// the module wrote (a time-out, a failed open, a damaged line, a comment full of markup);
// the DOM it built holds the expected rows and no injected element, and its screenshot is a
// drawn page with the error colour in it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "SpawnArgs.h"
#include "LogReader.h"
#include "pmctl_test_support.h"

using namespace pmctltest;

namespace {

// A browser that hangs must not hang the test.
constexpr auto kBrowserTimeLimit = std::chrono::seconds(120);

std::string findInPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
        if (!candidate.parent_path().empty() && ::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
        start = end + 1;
    }
    return "";
}

struct Outcome {
    bool finished = false; // false: killed at the time limit
    int status = -1;
};

// Runs a program in its own process group, standard output and error into files; the whole group
// is killed at the time limit, and whatever it left running once the program has ended.
Outcome runBounded(std::vector<std::string> args, const fs::path& out, const fs::path& err,
                   std::chrono::seconds limit)
{
    std::vector<char*> argv = spawnargs::ArgvOf(args);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    Outcome run;
    if (posix_spawn(&pid, argv[0], &files, &attributes, argv.data(), environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    if (pid < 0)
        return run;
    auto deadline = std::chrono::steady_clock::now() + limit;
    int raw = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &raw, WNOHANG);
        if (done == pid) {
            run.finished = true;
            run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &raw, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(-pid, SIGKILL); // helpers the browser started and left behind
    return run;
}

// The 1-based number of the first line of a "PM_LOG.dat" whose decoded piece contains text.
size_t lineHolding(const std::string& dat, const std::string& text)
{
    size_t lineNo = 0, pos = 0;
    while (pos < dat.size()) {
        size_t end = dat.find('\n', pos);
        ++lineNo;
        std::string piece, problem;
        if (pmlog::decodeLine(dat.substr(pos + 1, end - pos - 1), piece, problem) &&
            piece.find(text) != std::string::npos)
            return lineNo;
        pos = end + 1;
    }
    return 0;
}

struct Pixels {
    size_t total = 0, drawn = 0, errorRed = 0;
};

// Counts the pixels of a screenshot that are not the white page, and those of the error colour.
bool readScreenshot(const fs::path& file, Pixels& px, std::string& problem)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, file.c_str())) {
        problem = image.message;
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> data(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, data.data(), 0, nullptr)) {
        problem = image.message;
        return false;
    }
    px.total = static_cast<size_t>(image.width) * image.height;
    for (size_t i = 0; i + 2 < data.size(); i += 3) {
        int r = data[i], g = data[i + 1], b = data[i + 2];
        if (r < 245 || g < 245 || b < 245)
            ++px.drawn;
        if (r > 170 && g < 60 && b < 80)
            ++px.errorRed;
    }
    return true;
}

} // namespace

TEST(PmctlHtmlInBrowser, TheLibrarysLogRendersWithItsRows)
{
    const std::string chromium = findInPath("chromium");
    if (chromium.empty())
        GTEST_SKIP() << "chromium is not installed (./dev.sh installs it): the page is not "
                        "checked in a browser";

    TempDir dir;
    const fs::path logFolder = dir.path() / "log";
    fs::create_directories(logFolder);
    pmsim::CableSim cable;
    cable.AddReply("AT\r", kOk);
    logOneCommunication(logFolder, cable, "phone \"<7>\"", [] {
        PM_Sleep(200);
        PM_SetRTS();
        PM_Log_WriteMessage("%s", "<b id=\"injected\">bold</b> & 'more'");
    });
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    // A second communication: an open that fails, which the summary reports.
    EXPECT_EQ(PM_OpenPortByDeviceName((dir.path() / "no-such-device").c_str()), 0);
    // One damaged line: the speed record's, one Base64 character short (a character that is no
    // Base64 would make it a stored plain line, which is read as text).
    std::string dat = readFile(logFolder / "PM_LOG.dat");
    size_t speedLine = lineHolding(dat, "Set CommSpeed");
    ASSERT_GT(speedLine, 0u);
    size_t at = 0;
    for (size_t l = 1; l < speedLine; ++l)
        at = dat.find('\n', at) + 1;
    dat.erase(at + 2, 1);
    writeFile(logFolder / "PM_LOG.dat", dat);

    // The page, as a user makes it.
    const fs::path page = dir.path() / "page.html";
    Outcome made =
        runBounded({PMCTL_BINARY, "log", "--html", "-o", page.string(), logFolder.string()},
                   dir.path() / "pmctl.out", dir.path() / "pmctl.err", kBrowserTimeLimit);
    ASSERT_TRUE(made.finished);
    ASSERT_EQ(made.status, 0) << readFile(dir.path() / "pmctl.err");

    const std::vector<std::string> browser = {
        chromium,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--user-data-dir=" + (dir.path() / "profile").string(),
        "--window-size=1200,1000",
    };
    const std::string url = "file://" + page.string();

    auto dumpArgs = browser;
    dumpArgs.insert(dumpArgs.end(), {"--dump-dom", url});
    Outcome dumped = runBounded(dumpArgs, dir.path() / "dom.html", dir.path() / "chromium-dom.err",
                                kBrowserTimeLimit);
    ASSERT_TRUE(dumped.finished) << "chromium did not finish within the time limit";
    ASSERT_EQ(dumped.status, 0) << readFile(dir.path() / "chromium-dom.err");
    const std::string dom = readFile(dir.path() / "dom.html");

    struct Row {
        const char* what;
        const char* pattern;
    };
    const Row rows[] = {
        {"the send", "<li class=\"send\"><details class=\"h\"><summary><span class=\"bytes\">AT"
                     "<i>\\\\r</i></span>"},
        {"the reply and its response time",
         "<li class=\"reply\"><span class=\"a rt\"[^>]*>\\d+ ms</span><details class=\"p\">"
         "<summary><span class=\"bytes\"><i>\\\\r\\\\n</i>OK"},
        {"the hex dump behind the send", "<pre class=\"hex\">41 54 0d "},
        {"the pause to scale", "style=\"height:40px\"></span><span class=\"p gl\">pause 200 ms"},
        {"the time-out", "<li class=\"timeout err\"><span class=\"p\">time-out: waited 50 ms"},
        {"the damaged line",
         "<li class=\"damaged err\"><span class=\"w\">Damaged PM_LOG.dat line "},
        {"the comment, as text", "// &lt;b id=\"injected\"&gt;bold&lt;/b&gt; &amp; 'more'"},
        {"the line change", "<li class=\"mark line\"><span class=\"w\">RTS raised"},
        {"the failed open in the summary",
         "<td>PortAPILastErr</td><td>103</td><td>PM_ERR_APICALL — transport call failed</td>"
         "<td>1669</td>"},
        {"the module's error in the summary",
         "<td>PortMdlLastErr</td><td>3</td><td>PM_ERR_TIMEOUT — time-out</td><td>880</td>"},
        {"the list at the top",
         "<li class=\"bad\"><a href=\"#c1\">Communication 1</a> <small>line 2 · phone phone "
         "\"&lt;7&gt;\""},
        {"the list's entry of the failed open",
         "<li class=\"bad\"><a href=\"#c2\">Communication 2</a>.*PortAPILastErr 103 "
         "PM_ERR_APICALL"},
        {"the counts", "2 communications, 1 damaged line, 0 unrecognised texts"},
    };
    for (const Row& r : rows)
        EXPECT_TRUE(std::regex_search(dom, std::regex(r.pattern))) << r.what << "\n" << dom;
    EXPECT_EQ(dom.find("<b id=\"injected\""), std::string::npos) << "markup from the log";

    auto shotArgs = browser;
    const fs::path shot = dir.path() / "shot.png";
    shotArgs.insert(shotArgs.end(), {"--screenshot=" + shot.string(), url});
    Outcome shown = runBounded(shotArgs, dir.path() / "chromium-shot.out",
                               dir.path() / "chromium-shot.err", kBrowserTimeLimit);
    ASSERT_TRUE(shown.finished) << "chromium did not finish within the time limit";
    ASSERT_EQ(shown.status, 0) << readFile(dir.path() / "chromium-shot.err");
    Pixels px;
    std::string problem;
    ASSERT_TRUE(readScreenshot(shot, px, problem)) << problem;
    ASSERT_GT(px.total, 0u);
    // A drawn page (text, timeline, marks), with the red of the errors in the list at the top.
    EXPECT_GT(px.drawn, px.total / 50) << px.drawn << " of " << px.total << " pixels drawn";
    EXPECT_GT(px.errorRed, 500u) << "no error colour in the screenshot";
}
