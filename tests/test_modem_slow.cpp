// The modem cable against drivers that stop answering (the 5 s reply limit), and the driver
// program pmsim-modem run as its own process: killed under an open port, and talked to by pmctl.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "SpawnArgs.h"
#include "CommBaseFOMA.h"
#include "ModemDriverSim.h"
#include "ModemTestSupport.h"
#include "PortMdlState.h"
#include "SerialTestSupport.h"
#include "portmdl/PortMdl.h"

extern char** environ;

using namespace std::chrono_literals;
using modemtest::Plane;
using pmsim::ModemDriverSim;
using serialtest::SetCableType;

namespace {

const uint8_t* U(const char* s)
{
    return reinterpret_cast<const uint8_t*>(s);
}

// pmsim-modem as a child process, serving once the object is made (it prints its socket's path
// when it listens).
class DriverProcess {
  public:
    explicit DriverProcess(const Plane& plane, std::vector<std::string> args)
    {
        args.insert(args.begin(), {PMSIM_MODEM_BINARY, "--dir", plane.Dir()});
        std::vector<char*> argv = spawnargs::ArgvOf(args);
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        EXPECT_EQ(posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c;
        pollfd p = {out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 &&
               read(out[0], &c, 1) == 1) {
            line += c;
        }
        close(out[0]);
        EXPECT_EQ(line, plane.Path(ModemDriverSim::kClassName) + "\n");
    }
    ~DriverProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            Wait();
        }
    }
    void Kill()
    {
        kill(m_pid, SIGKILL);
        Wait();
    }
    int Wait()
    {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

  private:
    pid_t m_pid = -1;
};

using ModemSlow = modemtest::ModemTest;

} // namespace

// A driver that never answers the client open: the open gives up at the reply limit.
TEST_F(ModemSlow, DriverThatNeverAnswersTheOpen)
{
    ModemDriverSim driver(plane.Dir());
    driver.SetFault(0, ModemDriverSim::Fault::Silent);
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
    EXPECT_EQ(TheCommBase, nullptr);
    EXPECT_TRUE(driver.WaitClients(0, 5s));
}

// A driver that stops answering read requests with the port open: the reader's request gives up
// at the reply limit, later calls fail at once, and the close returns.
TEST_F(ModemSlow, DriverThatStopsAnsweringReads)
{
    ModemDriverSim driver(plane.Dir());
    driver.SetEcho(true);
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_SetRxTimeout(2000), 1);
    driver.SetFault(3, ModemDriverSim::Fault::Silent);
    std::this_thread::sleep_for(6s);
    EXPECT_EQ(PM_TxBytes(2, U("hi")), 0);
    uint8_t b[2];
    EXPECT_EQ(PM_RxBytes(2, b), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_TIMEOUT);
    EXPECT_EQ(PM_ClosePort(), 1);
    EXPECT_TRUE(driver.WaitClients(0, 5s));
}

TEST_F(ModemSlow, DriverProcessKilledWithThePortOpen)
{
    DriverProcess driver(plane, {"--echo"});
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    ASSERT_EQ(PM_TxBytes(4, U("ping")), 1);
    uint8_t echo[4] = {};
    ASSERT_EQ(PM_RxBytes(4, echo), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(echo), 4), "ping");
    driver.Kill();
    EXPECT_EQ(PM_TxBytes(4, U("pong")), 0);
    ASSERT_EQ(PM_SetRxTimeout(300), 1);
    EXPECT_EQ(PM_RxBytes(4, echo), 0);
    EXPECT_EQ(PM_ClosePort(), 1);
    // The socket file a killed driver leaves behind is no driver.
    EXPECT_EQ(PM_OpenPort(1), 0);
    EXPECT_EQ(PM_GetCommErr(), PM_ERR_OPEN);
}

TEST_F(ModemSlow, DriverProcessDiesAsToldAndReplacesAStaleSocket)
{
    DriverProcess first(plane, {"--echo", "--die-after", "4"}); // dies at the first read request
    EXPECT_EQ(PM_OpenPort(1), 1);
    int status = first.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_EQ(PM_TxBytes(1, U("x")), 0);
    EXPECT_EQ(PM_ClosePort(), 1);

    DriverProcess second(plane, {"--echo"});
    ASSERT_EQ(PM_OpenPort(1), 1);
    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    ASSERT_EQ(PM_TxBytes(1, U("y")), 1);
    uint8_t b = 0;
    EXPECT_EQ(PM_RxBytes(1, &b), 1);
    EXPECT_EQ(b, 'y');
    EXPECT_EQ(PM_ClosePort(), 1);
}

// pmctl talks to the driver program over cable type 5 as a user would.
TEST_F(ModemSlow, PmctlTalkOverCableFive)
{
    DriverProcess driver(plane, {"--reply", "AT\\r=\\r\\nOK\\r\\n"});
    std::string cmd = std::string(PMCTL_BINARY) + " talk --cable 5 send 'AT\\r' recv 6 2>&1";
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) {
        out.append(buf.data(), n);
    }
    int status = pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(out.find("RD< 0d 0a 4f 4b 0d 0a"), std::string::npos) << out;

    // With no driver, the failure says where the module looked.
    unsetenv("PM_USERCLIENT_DIR");
    setenv("PM_USERCLIENT_DIR", (plane.Dir() + "/none").c_str(), 1);
    pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    out.clear();
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) {
        out.append(buf.data(), n);
    }
    status = pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 1) << out;
    EXPECT_NE(out.find(plane.Dir() + "/none"), std::string::npos) << out;
    EXPECT_NE(out.find("pmsim-modem"), std::string::npos) << out;
}
