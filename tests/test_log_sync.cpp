// A file system that does not support fsync (it fails with EINVAL) still gets its log saved.
// This test program replaces fsync for the module: the first definition in the process wins.
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

#include "CommLog.h"
#include "portmdl/PortMdl.h"
#include "test_log_support.h"

using namespace logtest;

namespace {
bool g_syncUnsupported = false;
} // namespace

extern "C" int fsync(int fd)
{
    if (g_syncUnsupported) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

using LogWithoutSync = LogFolder;

TEST_F(LogWithoutSync, SaveSucceedsAndTheTemporaryFileGoes)
{
    g_syncUnsupported = true;
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
        EXPECT_EQ(PM_Log_WriteMessage("round %d", round), 1);
        EXPECT_EQ(LogFileData.PM_LogClose(), 1);
        EXPECT_FALSE(exists(tmp));
        std::string text = decodeLog(readFile(dat));
        EXPECT_NE(text.find("round " + std::to_string(round)), std::string::npos);
    }
}
