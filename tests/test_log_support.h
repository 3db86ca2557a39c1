// Helpers for the log tests: a temporary log folder per test, file access, and a decoder for
// "PM_LOG.dat" (Base64, then the halves of every byte swapped back).
#ifndef TESTS_TEST_LOG_SUPPORT_H
#define TESTS_TEST_LOG_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CommLog.h"

namespace logtest {

// The log folder's last component with its separator is 13 characters long, so that the
// settings file "PM_STD.ini" is found in the folder above it.
inline const char kFolderName[] = "CommLogFiles";

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline bool exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

inline std::string base64Decode(const std::string& text)
{
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    EXPECT_EQ(text.size() % 4, 0u) << "Base64 text of odd length: " << text.substr(0, 40);
    std::string out;
    for (size_t i = 0; i + 3 < text.size(); i += 4) {
        unsigned v = 0;
        int pads = 0;
        for (size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            size_t pos = alphabet.find(c);
            if (c == '=') {
                ++pads;
                pos = 0;
            } else {
                EXPECT_NE(pos, std::string::npos) << "not Base64: " << int(c);
                EXPECT_EQ(pads, 0) << "data after padding";
            }
            v = (v << 6) | static_cast<unsigned>(pos);
        }
        out += static_cast<char>(v >> 16);
        if (pads < 2) {
            out += static_cast<char>((v >> 8) & 0xFF);
        }
        if (pads < 1) {
            out += static_cast<char>(v & 0xFF);
        }
    }
    return out;
}

inline std::string swapHalves(std::string s)
{
    for (char& c : s) {
        unsigned b = static_cast<unsigned char>(c);
        c = static_cast<char>(((b << 4) | (b >> 4)) & 0xFF);
    }
    return s;
}

// The lines of "PM_LOG.dat", without their line feeds; every line must end with one.
inline std::vector<std::string> logLines(const std::string& content)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "last line without a line feed";
        if (end == std::string::npos) {
            end = content.size();
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// One stored line back to its plain piece.
inline std::string decodeLine(const std::string& line)
{
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line[0], ';');
    return swapHalves(base64Decode(line.substr(1)));
}

inline std::vector<std::string> decodePieces(const std::string& content)
{
    std::vector<std::string> pieces;
    for (const auto& line : logLines(content)) {
        pieces.push_back(decodeLine(line));
    }
    return pieces;
}

inline std::string decodeLog(const std::string& content)
{
    std::string text;
    for (const auto& piece : decodePieces(content)) {
        text += piece;
    }
    return text;
}

// Replaces the values that depend on the clock with fixed marks: the comment's tick, the
// response time and the footer's duration (at least four characters wide) and date.
inline std::string normalise(const std::string& text)
{
    static const std::regex tick(R"(\{TickCnt = -?\d+\})");
    static const std::regex response(R"(\n\{\d+\})");
    static const std::regex footer(
        R"(\nComm Finished TotalTime ( {3}\d| {2}\d\d| \d{3}|\d{4,}) Sec\. Dete : [A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}\n\n)");
    std::string out = std::regex_replace(text, tick, "{TickCnt = T}");
    out = std::regex_replace(out, response, "\n{R}");
    return std::regex_replace(out, footer, "\nFOOTER\n\n");
}

// A fresh folder per test: <base>/CommLogFiles/, the settings file's folder being <base>.
class LogFolder : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // The log object lives as long as the module and remembers its first opening and the
        // last errors; ctest runs every test in a process of its own.
        static int testsInThisProcess = 0;
        if (testsInThisProcess++ > 0) {
            GTEST_SKIP() << "needs a fresh module: run one test per process (ctest does)";
        }
        char tmpl[] = "/tmp/pmlog.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base = tmpl;
        folder = base + "/" + kFolderName + "/";
        std::filesystem::create_directory(folder);
        dat = folder + "PM_LOG.dat";
        tmp = folder + "PM_LOG.tmp";
        settings = base + "/PM_STD.ini";
        // A plain POSIX folder names its own settings file with an empty volume root.
        setenv("PM_VOLUMES_DIR", "", 1);
    }

    void TearDown() override
    {
        if (base.empty()) {
            return;
        }
        LogFileData.SetFileOpenYN(0);
        std::error_code ignored;
        std::filesystem::remove_all(base, ignored);
    }

    std::string base, folder, dat, tmp, settings;
};

} // namespace logtest

#endif
