// The modem daemon program run as a process of its own (PMMODEMD_BINARY), as a host's system runs
// it. What it writes goes to a file rather than a pipe: the daemon logs on after the test has
// stopped reading.
#ifndef PM_TESTS_DAEMONPROGRAM_H
#define PM_TESTS_DAEMONPROGRAM_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "SpawnArgs.h"

extern char** environ;

namespace daemontest {

// The whole of the file behind fd, from its start.
inline std::string ReadAll(int fd)
{
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// Starts the daemon with args, its standard output and error going to the returned descriptor (a
// file already unlinked, the caller's to close). env: the environment, null for the test's own.
inline int Spawn(std::vector<std::string> args, pid_t& pid, char* const* env = nullptr)
{
    args.insert(args.begin(), PMMODEMD_BINARY);
    std::vector<char*> argv = spawnargs::ArgvOf(args);
    char name[] = "/tmp/pmmodemd-err.XXXXXX";
    int err = mkostemp(name, O_CLOEXEC);
    EXPECT_GE(err, 0);
    unlink(name);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDOUT_FILENO);
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env ? env : environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

// What the daemon wrote to err once it holds text, or all it wrote within 10 s.
inline std::string WaitForText(int err, const std::string& text)
{
    using namespace std::chrono_literals;
    const auto until = std::chrono::steady_clock::now() + 10s;
    std::string said;
    while ((said = ReadAll(err)).find(text) == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(10ms);
    }
    return said;
}

} // namespace daemontest

#endif
