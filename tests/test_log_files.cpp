// The log's own files when the folder holds something other than the module's regular files:
// planted links, FIFOs and devices; and records that must be on disk when their call returns.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "CommLog.h"
#include "PortMdlState.h"
#include "portmdl/PortMdl.h"
#include "test_log_support.h"

using namespace logtest;

namespace {

// A blocked open or close is a failure, not a hung test run.
class LogFiles : public LogFolder {
  protected:
    void SetUp() override
    {
        LogFolder::SetUp();
        alarm(60);
    }
    void TearDown() override
    {
        alarm(0);
        LogFolder::TearDown();
    }

    mode_t modeOf(const std::string& path)
    {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        return st.st_mode;
    }
};

const char kSecret[] = "private content of another file\n";

} // namespace

// A link at "PM_LOG.tmp" is never written through: the opening fails as for a file that cannot
// be opened, and the link's target is untouched.
TEST_F(LogFiles, LinkAtTheTemporaryFileIsNotFollowed)
{
    std::string secret = base + "/secret";
    writeFile(secret, kSecret);
    ASSERT_EQ(symlink(secret.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    EXPECT_EQ(LogFileData.PM_LogOpen(0), 201);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("x"), 1);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(readFile(secret), kSecret);
    EXPECT_FALSE(exists(dat));

    // Linked to a device that never ends, the same.
    ASSERT_EQ(unlink(tmp.c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", tmp.c_str()), 0);
    EXPECT_EQ(LogFileData.PM_LogOpen(0), 201);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);
}

// A link at "PM_LOG.dat" counts as no earlier log: its target is neither read into the log nor
// written, and the save puts a regular file in the link's place.
TEST_F(LogFiles, LinkAtTheLogIsReplacedNotRead)
{
    std::string secret = base + "/secret";
    writeFile(secret, kSecret);
    ASSERT_EQ(symlink(secret.c_str(), dat.c_str()), 0);
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("mine"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(readFile(secret), kSecret);
    EXPECT_TRUE(S_ISREG(modeOf(dat)));
    std::string text = decodeLog(readFile(dat));
    EXPECT_NE(text.find("mine"), std::string::npos);
    EXPECT_EQ(text.find("private"), std::string::npos);
}

// The log holds a phone's traffic: both files are readable by their owner only.
TEST_F(LogFiles, FilesAreCreatedForTheOwnerOnly)
{
    umask(022);
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(modeOf(tmp) & 0777, 0600u);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(modeOf(dat) & 0777, 0600u);
}

// A FIFO blocks whoever opens it for reading or writing; the log treats one as a file that
// cannot be used, with the result the log gives for that, and never waits.
TEST_F(LogFiles, FifosNeitherBlockNorCount)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);

    // At "PM_LOG.tmp": the opening fails.
    ASSERT_EQ(mkfifo(tmp.c_str(), 0600), 0);
    EXPECT_EQ(LogFileData.PM_LogOpen(0), 201);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);
    ASSERT_EQ(unlink(tmp.c_str()), 0);

    // At "PM_LOG.dat": no earlier log; the save replaces it.
    ASSERT_EQ(mkfifo(dat.c_str(), 0600), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("after the fifo"), 1);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_TRUE(S_ISREG(modeOf(dat)));
    EXPECT_NE(decodeLog(readFile(dat)).find("after the fifo"), std::string::npos);

    // At "PM_STD.ini": no settings file.
    gRxTimeout = 77;
    gRxSleepTime = 5;
    ASSERT_EQ(mkfifo(settings.c_str(), 0600), 0);
    EXPECT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    EXPECT_EQ(gRxTimeout, 1);
    EXPECT_EQ(gRxSleepTime, 5);
}

// A host that is killed keeps every record it wrote: each is in "PM_LOG.tmp" when its call
// returns, not in a buffer of the process.
TEST_F(LogFiles, EveryRecordIsInTheFileWhenItsCallReturns)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_NE(readFile(tmp).find("\nRD:"), std::string::npos);
    const unsigned char at[] = {0x41, 0x54};
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(at, 2, 1), 1);
    EXPECT_NE(readFile(tmp).find("\nSD:$pw$"), std::string::npos);
    EXPECT_EQ(PM_Log_WriteMessage("step %d", 1), 1);
    EXPECT_NE(readFile(tmp).find("//---step 1---"), std::string::npos);
    EXPECT_EQ(PM_Sleep(1), 1);
    EXPECT_EQ(readFile(tmp).back(), '>');
    EXPECT_EQ(LogFileData.PM_LogWriteInternalInfo(), 1);
    EXPECT_EQ(readFile(tmp).substr(readFile(tmp).size() - 2), "\x81\x41");
}
