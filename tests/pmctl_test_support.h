// Helpers for the pmctl tests: a temporary folder, and a logged communication written by the
// module itself (through its public interface) against the cable simulator.
#ifndef TESTS_PMCTL_TEST_SUPPORT_H
#define TESTS_PMCTL_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "CableSim.h"
#include "portmdl/PortMdl.h"

namespace pmctltest {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir()
    {
        std::string templ = (fs::temp_directory_path() / "pmctl-test-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = templ;
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return m_path; }

  private:
    fs::path m_path;
};

inline std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const fs::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// The log's text after 1 to 6 random edits, each a byte changed, a stretch cut out, a stretch of
// one random byte put in or (with truncate) the text cut short there. Never empty.
inline std::string randomlyDamaged(std::string content, std::mt19937& random, bool truncate)
{
    const unsigned kinds = truncate ? 4 : 3;
    for (int k = 0, edits = 1 + static_cast<int>(random() % 6); k < edits; ++k) {
        size_t at = random() % content.size();
        switch (random() % kinds) {
        case 0:
            content[at] = static_cast<char>(random() % 256);
            break;
        case 1:
            content.erase(at, random() % 40);
            break;
        case 2:
            content.insert(at, std::string(random() % 40, static_cast<char>(random() % 256)));
            break;
        case 3:
            content.resize(at);
            break;
        }
        if (content.empty())
            content = "\n";
    }
    return content;
}

// The cable answers "AT\r" with "\r\nOK\r\n".
inline const std::string kOk = "\r\nOK\r\n";

// One logged communication as a host has it: open by device path, speed, an AT exchange, what
// middle does (by default a pause and a note), a receive that times out (reported to the log),
// close.
inline void logOneCommunication(const fs::path& folder, pmsim::CableSim& cable,
                                const char* phoneId = "test-phone",
                                const std::function<void()>& middle = {})
{
    std::string prefix = folder.string() + "/";
    PM_Log_SetUserInfo(prefix.c_str(), phoneId);
    ASSERT_EQ(PM_OpenPortByDeviceName(cable.SlavePath().c_str()), 1);
    ASSERT_EQ(PM_SetRxTimeout(3000), 1);
    ASSERT_EQ(PM_SetBPS(8), 1);
    const uint8_t at[] = {'A', 'T', '\r'};
    ASSERT_EQ(PM_TxBytes(3, at), 1);
    uint8_t answer[6] = {};
    ASSERT_EQ(PM_RxBytes(6, answer), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), 6), kOk);
    if (middle) {
        middle();
    } else {
        PM_Sleep(20);
        PM_Log_WriteMessage("note %d", 7);
    }
    ASSERT_EQ(PM_SetRxTimeout(50), 1);
    uint8_t none;
    EXPECT_EQ(PM_RxBytes(1, &none), 0);
    PM_Log_TimeOutInBuf(50, 0);
    EXPECT_EQ(PM_ClosePort(), 1);
}

} // namespace pmctltest

#endif // TESTS_PMCTL_TEST_SUPPORT_H
