// Runs the pmctl program (PMCTL_BINARY) as a user runs it, capturing both streams.
#ifndef TESTS_PMCTL_RUN_H
#define TESTS_PMCTL_RUN_H

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "pmctl_test_support.h"

namespace pmctltest {

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs pmctl with the arguments (each quoted for the shell); standard error goes through a file
// in scratch.
inline Outcome pmctl(const std::vector<std::string>& args, const fs::path& scratch)
{
    std::string cmd = quote(PMCTL_BINARY);
    for (const auto& a : args)
        cmd += " " + quote(a);
    fs::path errFile = scratch / "stderr.txt";
    cmd += " 2>" + quote(errFile.string()) + " </dev/null";
    Outcome run;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        run.out.append(buf.data(), n);
    int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.err = readFile(errFile);
    return run;
}

inline bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace pmctltest

#endif
