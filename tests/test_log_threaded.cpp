// Records from the host's thread and from a reader thread's pauses at the same time: every record
// stays whole, and the lifecycle may run while pauses keep arriving.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "CommLog.h"
#include "portmdl/PortMdl.h"
#include "test_log_support.h"

using namespace logtest;

namespace {

using LogThreads = LogFolder;

const char kKeyChars[] = "#pL4$w9Q)k2%Tx7=";

// Splits the decoded log into the records this test writes; fails on anything else, so a record
// broken by another one shows up. Returns the counts of pauses and comments; traffic runs must be
// whole records of four bytes.
struct Tally {
    int pauses = 0, comments = 0, opens = 0, closes = 0;
};

bool consume(const std::string& text, size_t& at, const std::string& token)
{
    if (text.compare(at, token.size(), token) == 0) {
        at += token.size();
        return true;
    }
    return false;
}

bool consumeNumberThen(const std::string& text, size_t& at, const std::string& tail)
{
    size_t start = at;
    while (at < text.size() && isdigit(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    if (at == start || !consume(text, at, tail)) {
        at = start;
        return false;
    }
    return true;
}

Tally tokenize(const std::string& text, const std::string& header)
{
    Tally tally;
    size_t at = 0;
    int nextComment = 0;
    while (at < text.size()) {
        size_t before = at;
        if (consume(text, at, "<") && consumeNumberThen(text, at, ">")) {
            ++tally.pauses;
        } else if (consume(text, at, "\nLogStart Port Open (Start Communication)\n") ||
                   consume(text, at, "\nPort Open (ReStart Communication)\n")) {
            ++tally.opens;
        } else if (consume(text, at, "\nRD:") || consume(text, at, "\nSD:")) {
        } else if (consume(text, at, "\n{") && consumeNumberThen(text, at, "}")) {
        } else if (consume(text, at, "\n//---msg ")) {
            size_t number = at;
            EXPECT_TRUE(consumeNumberThen(text, at, "---{TickCnt = ") &&
                        consumeNumberThen(text, at, "}\n"))
                << "broken comment at " << before;
            EXPECT_EQ(std::stoi(text.substr(number)), nextComment++);
            ++tally.comments;
        } else if (consume(text, at, header)) {
            EXPECT_TRUE(consume(text, at, "\nComm Finished TotalTime ")) << at;
            at = text.find("\n\n", at);
            EXPECT_NE(at, std::string::npos);
            at += 2;
            ++tally.closes;
        } else {
            size_t run = 0;
            while (at < text.size() && strchr(kKeyChars, text[at]) != nullptr && text[at]) {
                ++at;
                ++run;
            }
            EXPECT_TRUE(run > 0 && run % 8 == 0)
                << "unexpected text at " << at << ": " << text.substr(at, 40);
            if (run == 0 || run % 8 != 0) {
                return tally;
            }
        }
    }
    return tally;
}

const std::string kHeader = "\nUserInfo - PhoneUnivID[P]OSVer[10.3 PlatID -1]CableType[0]PortNo[0]";

void traffic(int i)
{
    unsigned char bytes[4] = {static_cast<unsigned char>(i), 0x3B, 0x0A, 0xFF};
    LogFileData.PM_LogWriteAnaliz(bytes, 4, 1);
    LogFileData.PM_LogWriteAnaliz(bytes, 4, 0);
}

} // namespace

TEST_F(LogThreads, PausesNeverBreakARecord)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    std::atomic<bool> done{false};
    int pauses = 0;
    std::thread reader([&] {
        while (!done.load() && pauses < 20000) {
            EXPECT_EQ(PM_Sleep(0), 1);
            ++pauses;
        }
    });
    const int kComments = 150; // five pieces each: no roll-over
    for (int i = 0; i < kComments; ++i) {
        EXPECT_EQ(PM_Log_WriteMessage("msg %d", i), 1);
        traffic(i);
    }
    done = true;
    reader.join();
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);

    Tally tally = tokenize(decodeLog(readFile(dat)), kHeader);
    EXPECT_EQ(tally.comments, kComments);
    EXPECT_EQ(tally.pauses, pauses);
    EXPECT_EQ(tally.opens, 1);
    EXPECT_EQ(tally.closes, 1);
}

// Openings, closings and saves on the host's thread while the reader thread keeps pausing.
TEST_F(LogThreads, LifecycleWhilePausesArrive)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            PM_Sleep(1);
        }
    });
    int comment = 0;
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(PM_Log_WriteMessage("msg %d", comment++), 1);
            traffic(i);
            PM_SimpleSleep(0);
        }
        EXPECT_EQ(LogFileData.PM_LogClose(), 1);
    }
    done = true;
    reader.join();

    Tally tally = tokenize(decodeLog(readFile(dat)), kHeader);
    EXPECT_EQ(tally.comments, comment);
    EXPECT_EQ(tally.opens, 5);
    EXPECT_EQ(tally.closes, 5);
}
