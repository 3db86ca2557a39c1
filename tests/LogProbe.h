// Reads what the port API wrote to the communication log: a log communication in a temporary
// folder, its plain records, and the error slots as the closing summary prints them.
#ifndef TESTS_LOGPROBE_H
#define TESTS_LOGPROBE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "CommLog.h"

struct LogSlots {
    int portCode, portLine; // "PortMdlLastErr"
    int apiCode, apiLine;   // "PortAPILastErr"
};

class LogProbe {
  public:
    LogProbe()
    {
        char tmpl[] = "/tmp/pmcore.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) {
            m_folder = std::string(tmpl) + "/";
        }
    }
    ~LogProbe()
    {
        LogFileData.SetFileOpenYN(0);
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }

    // Starts a log communication in the folder.
    void Open()
    {
        LogFileData.SetUserInfo(m_folder.c_str(), "probe");
        ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    }

    // The plain records written so far (the log buffers its stream: flush every stream first).
    std::string Text() const
    {
        fflush(nullptr);
        std::ifstream in(m_folder + "PM_LOG.tmp", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The error slots, through a closing summary written now.
    LogSlots Slots() const
    {
        LogFileData.PM_LogWriteInternalInfo();
        static const std::regex summary(
            R"(PortMdlLastErr\(LINE\) \[(-?\d+)\((-?\d+)\)\] PortAPILastErr\(LINE\) \[(-?\d+)\((-?\d+)\)\])");
        std::string text = Text();
        LogSlots slots = {-1, -1, -1, -1};
        for (std::sregex_iterator it(text.begin(), text.end(), summary), end; it != end; ++it) {
            slots = {std::stoi((*it)[1]), std::stoi((*it)[2]), std::stoi((*it)[3]),
                     std::stoi((*it)[4])};
        }
        return slots;
    }

    // The traffic text the log writes for these bytes: hex digits through the key table.
    static std::string Traffic(const std::string& bytes)
    {
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char b : bytes) {
            hex += digits[b >> 4];
            hex += digits[b & 15];
        }
        CCommLog::StrEncode(hex.data(), static_cast<int32_t>(hex.size()));
        return hex;
    }

    const std::string& Folder() const { return m_folder; }

  private:
    std::string m_folder;
};

inline bool operator==(const LogSlots& a, const LogSlots& b)
{
    return a.portCode == b.portCode && a.portLine == b.portLine && a.apiCode == b.apiCode &&
           a.apiLine == b.apiLine;
}

inline std::ostream& operator<<(std::ostream& out, const LogSlots& s)
{
    return out << "PortMdl " << s.portCode << "(" << s.portLine << ") PortAPI " << s.apiCode << "("
               << s.apiLine << ")";
}

#endif
