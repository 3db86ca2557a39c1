// Two processes logging into one folder at the same time: no record is lost or torn, and each
// communication reads back whole, one after the other, whichever closes first.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CommLog.h"
#include "portmdl/PortMdl.h"
#include "test_log_support.h"

using namespace logtest;

namespace {

constexpr int kRecords = 150; // two lines each: both communications fit the 1000 kept lines

// One byte through a pipe: a step of the other process is done.
void signalStep(int fd)
{
    char c = 's';
    ASSERT_EQ(write(fd, &c, 1), 1);
}
void awaitStep(int fd)
{
    char c = 0;
    ASSERT_EQ(read(fd, &c, 1), 1);
}

// The communication of one process: its records numbered and tagged.
void writeRecords(const char* tag)
{
    for (int i = 0; i < kRecords; ++i) {
        PM_Log_WriteMessage("%s%d", tag, i);
        PM_Sleep(0);
    }
}

// The decoded log holds exactly the two communications, each whole: banner, its own records in
// order, header, footer; first is the one that opened first.
void expectTwoWholeCommunications(const std::string& text, const std::string& first,
                                  const std::string& second)
{
    std::string expected;
    for (const std::string& tag : {first, second}) {
        expected += "\nLogStart Port Open (Start Communication)\n\nRD:";
        for (int i = 0; i < kRecords; ++i) {
            expected += "\n//---" + tag + std::to_string(i) + "---{TickCnt = T}\n<0>";
        }
        expected += "\nUserInfo - PhoneUnivID[" + tag +
                    "]OSVer[10.3 PlatID -1]CableType[0]PortNo[0]\nFOOTER\n\n";
    }
    EXPECT_EQ(normalise(text), expected);
}

class LogTwoProcesses : public LogFolder {
  protected:
    // Runs the second process: opens its communication once the first holds the folder, writes
    // while the first writes, and closes when told; its exit status says whether all went well.
    void startSecond(bool closesFirst)
    {
        ASSERT_EQ(pipe(toChild), 0);
        ASSERT_EQ(pipe(toParent), 0);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int status = 0;
            awaitStep(toChild[0]);
            if (PM_Log_SetUserInfo(folder.c_str(), "B") != 0 || LogFileData.PM_LogOpen(0) != 1) {
                status |= 1;
            }
            signalStep(toParent[1]);
            writeRecords("B");
            if (LogFileData.PM_SaveLog() != 201) { // the log is the first process's meanwhile
                status |= 4;
            }
            if (!closesFirst) {
                signalStep(toParent[1]);
                awaitStep(toChild[0]);
            }
            if (LogFileData.PM_LogClose() != 1) {
                status |= 2;
            }
            signalStep(toParent[1]);
            _exit(status);
        }
    }
    void TearDown() override
    {
        if (child > 0) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "second process: "
                                                                        << status;
        }
        LogFolder::TearDown();
    }
    bool onlyTheLogIsLeft()
    {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().filename() != "PM_LOG.dat") {
                ADD_FAILURE() << "left in the folder: " << entry.path();
                return false;
            }
        }
        return true;
    }

    int toChild[2] = {-1, -1}, toParent[2] = {-1, -1};
    pid_t child = -1;
};

} // namespace

// The second process closes while the first still writes: its communication waits, whole, and
// the first one's save folds it in after its own.
TEST_F(LogTwoProcesses, SecondClosesFirst)
{
    startSecond(true);
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "A"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    signalStep(toChild[1]);
    awaitStep(toParent[0]);
    writeRecords("A");
    awaitStep(toParent[0]); // the second process closed
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    expectTwoWholeCommunications(decodeLog(readFile(dat)), "A", "B");
    EXPECT_TRUE(onlyTheLogIsLeft());
}

// The first process closes while the second still writes: the second folds its own
// communication in at its close, after the first one's.
TEST_F(LogTwoProcesses, FirstClosesFirst)
{
    startSecond(false);
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "A"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    signalStep(toChild[1]);
    awaitStep(toParent[0]);
    writeRecords("A");
    awaitStep(toParent[0]); // the second process wrote its records
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    signalStep(toChild[1]);
    awaitStep(toParent[0]); // and closed
    expectTwoWholeCommunications(decodeLog(readFile(dat)), "A", "B");
    EXPECT_TRUE(onlyTheLogIsLeft());
}
