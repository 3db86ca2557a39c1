// PM_Log_SetUserInfo: the settings file "PM_STD.ini" beside the log folder, and the folders it
// accepts.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "CommLog.h"
#include "PortMdlState.h"
#include "portmdl/PortMdl.h"
#include "test_log_support.h"

using namespace logtest;

namespace {
using LogSettings = LogFolder;
constexpr int32_t kUntouched = 7;
} // namespace

TEST_F(LogSettings, ReadsTheTwoSettings)
{
    struct Case {
        std::string content;
        int32_t timeout, sleep;
    };
    const Case cases[] = {
        {"250\n5\n", 250, 5},
        {"250", 250, 250}, // no line feed: the one number serves both
        {"", 0, 0},
        {"abc\nxyz\n", 0, 0},
        {"  -12\n  +34", -12, 34},
        {"99999999999999999999\n-99999999999999999999", INT32_MAX, INT32_MIN},
        {std::string(200, '7'), INT32_MAX, INT32_MAX},
        {std::string("\0\n9", 3), 0, 9},       // bytes after a NUL still count
        {std::string(130, ' ') + "\n5", 0, 0}, // only the first 128 bytes are read
        {"12\r\n34\r\n", 12, 34},
    };
    for (const auto& c : cases) {
        writeFile(settings, c.content);
        gRxSleepTime = kUntouched;
        EXPECT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
        EXPECT_EQ(gRxTimeout, c.timeout) << c.content.substr(0, 20);
        EXPECT_EQ(gRxSleepTime, c.sleep) << c.content.substr(0, 20);
    }
}

TEST_F(LogSettings, MissingFileSetsOnlyTheTimeout)
{
    for (bool asDirectory : {false, true}) {
        if (asDirectory) {
            std::filesystem::create_directory(settings);
        }
        gRxTimeout = 99;
        gRxSleepTime = kUntouched;
        EXPECT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
        EXPECT_EQ(gRxTimeout, 1);
        EXPECT_EQ(gRxSleepTime, kUntouched);
    }
}

// The host's form: a colon-separated path beginning with the volume's name, under the volumes'
// mount root.
TEST_F(LogSettings, ColonSeparatedFolder)
{
    writeFile(settings, "40\n3\n");
    setenv("PM_VOLUMES_DIR", "/", 1);
    std::string colons = base.substr(1) + ":" + kFolderName + ":";
    for (char& c : colons) {
        c = c == '/' ? ':' : c;
    }
    EXPECT_EQ(PM_Log_SetUserInfo(colons.c_str(), "P"), 0);
    EXPECT_EQ(gRxTimeout, 40);
    EXPECT_EQ(gRxSleepTime, 3);
}

// A folder too short to hold its last component reads no settings; one too long for the paths
// leaves logging unconfigured. The longest accepted folder works end to end.
TEST_F(LogSettings, FolderLengthLimits)
{
    gRxSleepTime = kUntouched;
    EXPECT_EQ(PM_Log_SetUserInfo("/tmp/short/", "P"), 0);
    EXPECT_EQ(gRxTimeout, 1);
    EXPECT_EQ(gRxSleepTime, kUntouched);
    EXPECT_EQ(PM_Log_SetUserInfo("", "P"), 0);
    EXPECT_EQ(gRxTimeout, 1);

    // A real folder of exactly 1014 characters whose last component is "CommLogFiles/".
    std::string parent = base;
    const size_t parentLength = CCommLog::kMaxFolderLength - 1 - sizeof kFolderName;
    while (parent.size() < parentLength) {
        size_t part = std::min<size_t>(200, parentLength - parent.size() - 1);
        parent += "/" + std::string(part, 'd');
    }
    std::string longest = parent + "/" + kFolderName + "/";
    ASSERT_EQ(longest.size(), CCommLog::kMaxFolderLength);
    std::filesystem::create_directories(longest);
    writeFile(parent + "/PM_STD.ini", "77\n8\n");
    EXPECT_EQ(PM_Log_SetUserInfo(longest.c_str(), "P"), 0);
    EXPECT_EQ(gRxTimeout, 77);
    EXPECT_EQ(gRxSleepTime, 8);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_TRUE(exists(longest + "PM_LOG.dat"));

    std::string tooLong = longest + "x";
    gRxSleepTime = kUntouched;
    EXPECT_EQ(PM_Log_SetUserInfo(tooLong.c_str(), "P"), -1);
    EXPECT_EQ(gRxTimeout, 1);
    EXPECT_EQ(gRxSleepTime, kUntouched);
    EXPECT_EQ(LogFileData.PM_LogOpen(0), 201);
    EXPECT_EQ(PM_Log_SetUserInfo(nullptr, "P"), -1);
    EXPECT_EQ(LogFileData.PM_LogOpen(0), 201);
}
