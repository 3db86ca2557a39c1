// The commands of pmctl. Each returns the process exit status: 0 done, 1 a port operation or a
// file failed (the message is on standard error).
#ifndef PMCTL_COMMANDS_H
#define PMCTL_COMMANDS_H

#include <string>
#include <vector>

#include "Port.h"
#include "Steps.h"

namespace pmctl {

int runList();
int runTalk(const PortOptions& port, const std::vector<Step>& steps);
int runCableInfo(const PortOptions& port);
int runCharge(const PortOptions& port, bool on);
int runLog(const std::string& fileOrFolder, bool records);
// The log as an HTML page, into the file output, or to standard output when it is empty.
int runLogHtml(const std::string& fileOrFolder, const std::string& output);

struct TermOptions {
    std::string eol = "cr"; // what Enter (or a line feed from a pipe) sends: cr, lf or crlf
    bool echo = false;      // show typed bytes locally
    bool hex = false;       // show received bytes as a hex dump
};
int runTerm(const PortOptions& port, const TermOptions& options);

int runDemo(bool keep);

} // namespace pmctl

#endif // PMCTL_COMMANDS_H
