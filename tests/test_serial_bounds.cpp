// The serial port's sends and closes are bounded by the send time-out: a peer that does not read
// ends a send short instead of holding it for ever, and a close lets the last bytes go out first.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <future>
#include <string>
#include <vector>

#include "LogProbe.h"
#include "PortMdlState.h"
#include "ProcessCounts.h"
#include "RawPty.h"
#include "SerialTestSupport.h"
#include "portmdl/PortMdl.h"

using namespace std::chrono_literals;

namespace {

class SerialBounds : public serialtest::SerialTest {};

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('A' + i % 23);
    }
    return s;
}

} // namespace

// The peer never reads: the send ends after its time-out as a short send (3 at 824; at 797 for a
// piece in the chunked environment), and the port still works afterwards.
TEST_F(SerialBounds, SendToAPeerThatDoesNotReadEndsAtTheSendTimeout)
{
    for (int32_t cableType : {1003, 10}) {
        SCOPED_TRACE(cableType);
        serialtest::SetCableType(cableType);
        RawPty peer;
        LogProbe log;
        log.Open();
        ASSERT_EQ(PM_OpenPortByDeviceName(peer.SlavePath().c_str()), 1);
        ASSERT_EQ(PM_SetBPS(8), 1); // above 9600 bit/s the time-out stays as set
        ASSERT_EQ(PM_SetTxTimeout(300), 1);
        auto send = std::async(std::launch::async, [] {
            std::vector<uint8_t> bytes(1 << 20, 'x');
            return PM_TxBytes(static_cast<int32_t>(bytes.size()), bytes.data());
        });
        bool ended = send.wait_for(60s) == std::future_status::ready;
        peer.Close(); // frees a send that never ended, so the test can finish
        ASSERT_TRUE(ended) << "the send did not end";
        EXPECT_EQ(send.get(), 0);
        EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
        EXPECT_EQ(PM_IsErrTimeOut(), 1);
        EXPECT_EQ(PM_GetTxTimeout(), 300u); // set back after the send
        EXPECT_EQ(log.Slots().portLine, cableType == 10 ? 797 : 824);
        EXPECT_EQ(PM_ClosePort(), 1);
    }
}

// Bytes the phone has not taken yet when the host closes still reach it: more than the other
// side's line buffer holds, so some still wait in the pseudo-terminal when the close comes.
TEST_F(SerialBounds, CloseLetsPendingOutputGoOut)
{
    RawPty peer; // reads only after the close
    ASSERT_EQ(PM_OpenPortByDeviceName(peer.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetBPS(8), 1);           // the time-out is not raised for the line speed
    ASSERT_EQ(PM_SetTxTimeout(20000), 1); // room for a loaded machine; the close drains within it
    const std::string bytes = Pattern(8000);
    ASSERT_EQ(PM_TxBytes(static_cast<int32_t>(bytes.size()),
                         reinterpret_cast<const uint8_t*>(bytes.data())),
              1);
    ASSERT_EQ(PM_ClosePort(), 1);
    EXPECT_EQ(peer.ReadAll(), bytes);
}

// At the descriptor limit an open either works whole or fails whole: 7 with EMFILE and nothing
// left open (no descriptor, no reader); an open that worked closes as always. Every count of free
// descriptors up to what an open needs is tried.
TEST_F(SerialBounds, AtTheDescriptorLimitAnOpenWorksOrFailsWhole)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtime checks memory through descriptors of its own, which this test takes
    // away: it reports faults that are not there.
    GTEST_SKIP() << "needs a build without sanitizers";
#endif
    RawPty peer;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    for (int free = 0; free <= 6; ++free) {
        SCOPED_TRACE(free);
        // A low limit, then every descriptor under it taken.
        rlimit low = saved;
        low.rlim_cur = 256;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        std::vector<int> fillers;
        for (int fd; (fd = dup(0)) >= 0;) {
            fillers.push_back(fd);
        }
        ASSERT_EQ(errno, EMFILE);
        // Give back exactly `free` descriptors.
        for (int i = 0; i < free && !fillers.empty(); ++i) {
            close(fillers.back());
            fillers.pop_back();
        }
        int32_t opened = PM_OpenPortByDeviceName(peer.SlavePath().c_str());
        if (opened == 1) {
            EXPECT_EQ(PM_ClosePort(), 1);
        } else {
            EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
            EXPECT_EQ(PM_GetSysErr(), EMFILE);
            EXPECT_EQ(TheCommBase, nullptr);
        }
        // Everything the open took is back: exactly as many descriptors can be made as before.
        std::vector<int> after;
        for (int fd; (fd = dup(0)) >= 0;) {
            after.push_back(fd);
        }
        EXPECT_EQ(after.size(), static_cast<size_t>(free));
        for (int fd : after) {
            close(fd);
        }
        for (int fd : fillers) {
            close(fd);
        }
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    }
}

namespace {

// The child's side of the thread-limit test; its exit status names the first check that failed.
int OpenAtTheThreadLimit()
{
    // Root is exempt from the limit: the child becomes nobody first.
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
            setuid(nobody->pw_uid) != 0) {
            return 10;
        }
    }
    RawPty peer; // made by the child, so that it may open the terminal
    rlimit saved{};
    if (getrlimit(RLIMIT_NPROC, &saved) != 0) {
        return 11;
    }
    // The user already runs this process: no thread more can start.
    rlimit low = saved;
    low.rlim_cur = 1;
    if (setrlimit(RLIMIT_NPROC, &low) != 0) {
        return 12;
    }
    const int descriptors = proccount::Descriptors();
    const int threads = proccount::Threads();
    if (PM_OpenPortByDeviceName(peer.SlavePath().c_str()) != 0) {
        return 13; // the reader started after all: the limit did not hold
    }
    if (PM_GetCommErr() != PM_ERR_OPEN || PM_GetSysErr() != EAGAIN) {
        return 14;
    }
    if (TheCommBase != nullptr || proccount::Descriptors() != descriptors ||
        proccount::Threads() != threads) {
        return 15; // something of the failed open was left behind
    }
    if (setrlimit(RLIMIT_NPROC, &saved) != 0) {
        return 16;
    }
    if (PM_OpenPortByDeviceName(peer.SlavePath().c_str()) != 1 || PM_ClosePort() != 1) {
        return 17;
    }
    return 0;
}

} // namespace

// With the user's thread limit reached, an open (which starts the reader thread) fails whole with
// PM_ERR_OPEN and EAGAIN: no descriptor, no thread and no transport left. Once the limit is lifted
// the next open works. The limit holds for root only after dropping to another user, so the test
// runs in a child that does (CI runs as root: this is where it gets tested).
TEST_F(SerialBounds, AtTheThreadLimitAnOpenFailsWholeAndALaterOneWorks)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtime starts threads of its own, which the limit refuses.
    GTEST_SKIP() << "needs a build without sanitizers";
#endif
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(OpenAtTheThreadLimit());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died: " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the check that failed (see OpenAtTheThreadLimit)";
}
