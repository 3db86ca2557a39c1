// The communication log through its public operations: a whole communication decoded back from
// "PM_LOG.dat", the rolling save, the lifecycle's edges, and the encodings.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "CommLog.h"
#include "PortMdlState.h"
#include "portmdl/PortMdl.h"
#include "test_log_support.h"

using namespace logtest;

namespace {

const char kLogStart[] = "\nLogStart Port Open (Start Communication)\n";
const char kReStart[] = "\nPort Open (ReStart Communication)\n";

std::string header(const char* phone, int cable, int port)
{
    return "\nUserInfo - PhoneUnivID[" + std::string(phone) + "]OSVer[10.3 PlatID -1]CableType[" +
           std::to_string(cable) + "]PortNo[" + std::to_string(port) + "]";
}

using Log = LogFolder;

} // namespace

// The worked example of a connection, with every kind of record, written through the exported
// functions and the log object as the port API calls them.
TEST_F(Log, WholeCommunicationDecodesToItsRecords)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "PHONE-1234"), 0);
    LogFileData.SetCableInfo(3, 2);
    LogFileData.SetCommEngErr(12, "engine.c", 345, "2024-01-02");
    LogFileData.SetCommPortErr(7, 101);
    LogFileData.SetCommAPIErr(103, 202);

    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(PM_Log_WriteMessage("PM_OpenPort Successful [%s]", "/dev/ttyX"), 1);
    const unsigned char at[] = {0x41, 0x54}, cr[] = {0x0D}, ok[] = {0x4F, 0x4B},
                        crlf[] = {0x0D, 0x0A}, ff[] = {0xFF};
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(at, 2, 1), 1);
    EXPECT_EQ(PM_Sleep(20), 1); // stays inside the send line
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(cr, 1, 1), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(ok, 2, 0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(crlf, 2, 0), 1);
    for (int kind = 0; kind < 4; ++kind) {
        EXPECT_EQ(LogFileData.PM_LogWriteDTRRTS(kind), 1);
    }
    EXPECT_EQ(LogFileData.PM_LogWriteDTRRTS(4), 0);
    EXPECT_EQ(LogFileData.PM_LogWriteChangeBPS(115200), 1);
    EXPECT_EQ(PM_Log_SetSleepTime(50), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteBufCount(3, 500, 1), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(ff, 1, 1), 1);
    PM_Trace2("done %d", 7);
    EXPECT_EQ(LogFileData.PM_LogWriteInternalInfo(), 1);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);

    EXPECT_FALSE(exists(tmp));
    std::string content = readFile(dat);
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.substr(0, 6), ";oA==\n"); // the communication begins with a line feed
    std::string text = decodeLog(content);
    std::string expected = std::string(kLogStart) +
                           "\nRD:" + "\n//---PM_OpenPort Successful [/dev/ttyX]---{TickCnt = T}\n" +
                           "\nSD:$pw$<20>#x" + "\n{R}\nRD:$=$%#x#2" +
                           "\nSetDTR\nClearDTR\nSetRTS\nClearRTS" +
                           "\nSet CommSpeed [115200]bps\n" + "<50>" +
                           "<TimeoutErr (500msec GetCnt = 1 InBufCnt = 3)>" +
                           "\nSD:==" + "\n//---done 7---{TickCnt = T}\n" +
                           "\n\nPortClose (End Communication)\n[engine.c] _LastModify(2024-01-02)\n"
                           " : CommEngLastErr(LINE) [12(345)] PortMdlLastErr(LINE) [7(101)]"
                           " PortAPILastErr(LINE) [103(202)]\x81\x41" +
                           header("PHONE-1234", 3, 2) + "\nFOOTER\n\n";
    EXPECT_EQ(normalise(text), expected);

    // The response time runs from the end of the last send record, after the pause.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(\n\{(\d+)\}\nRD:)")));
    EXPECT_LT(std::stoi(m[1]), 5000);
}

// The traffic cases of the worked example and its edges, on the plain records of one
// communication (decoded from the saved log).
TEST_F(Log, TrafficLines)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    const unsigned char ok[] = {0x4F, 0x4B}, at[] = {0x41, 0x54};
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(ok, 2, 0), 1); // before any send: no response time
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(at, 2, 1), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("between"), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(at, 2, 1), 1);      // same direction: no new prefix
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(nullptr, 5, 0), 1); // no bytes to log
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(ok, -1, 1), 1);
    std::vector<unsigned char> big(3000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<unsigned char>(i < 2550 ? 0x12 : 0xEE);
    }
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(big.data(), 3000, 0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteAnaliz(big.data(), 0, 1), 1); // only the prefix
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);

    std::string text = normalise(decodeLog(readFile(dat)));
    std::string bigHex;
    for (int i = 0; i < 2550; ++i) {
        bigHex += "pL"; // 0x12: key[1] key[2]
    }
    std::string expected = std::string(kLogStart) + "\nRD:$=$%" + "\nSD:$pw$" +
                           "\n//---between---{TickCnt = T}\n" + "$pw$" +
                           "\n{R}\nRD:" + "\nSD:" + "\n{R}\nRD:" + bigHex +
                           "\nSD:" + header("P", 0, 0) + "\nFOOTER\n\n";
    EXPECT_EQ(text, expected);
}

TEST_F(Log, SecondCommunicationCarriesTheFirstOverByteForByte)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("first"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    std::string first = readFile(dat);

    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("second"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    std::string both = readFile(dat);

    ASSERT_GT(both.size(), first.size());
    EXPECT_EQ(both.substr(0, first.size()), first);
    std::string added = both.substr(first.size());
    EXPECT_EQ(added.substr(0, 6), ";oA==\n");
    EXPECT_EQ(normalise(decodeLog(added)), std::string(kReStart) +
                                               "\nRD:" + "\n//---second---{TickCnt = T}\n" +
                                               header("P", 0, 0) + "\nFOOTER\n\n");
}

// The rolling save on prepared content: "PM_LOG.dat" is renamed to "PM_LOG.tmp" at the opening,
// so its plain lines become pieces of the communication. The communication itself adds seven
// pieces (banner, prefix, header, footer).
TEST_F(Log, SaveKeepsTheLastThousandPieces)
{
    struct Case {
        int lines;
        size_t kept;
        int firstLine;
    };
    const Case cases[] = {{1193, 1000, 200}, {993, 1000, 0}, {992, 999, 0}, {0, 7, -1}};
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    for (const auto& c : cases) {
        std::string prepared;
        for (int i = 0; i < c.lines; ++i) {
            prepared += "line " + std::to_string(i) + "\n";
        }
        writeFile(dat, prepared);
        ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
        ASSERT_EQ(LogFileData.PM_LogClose(), 1);
        auto pieces = decodePieces(readFile(dat));
        EXPECT_EQ(pieces.size(), c.kept) << c.lines;
        if (c.firstLine >= 0 && !pieces.empty()) {
            EXPECT_EQ(pieces[0], "line " + std::to_string(c.firstLine) + "\n") << c.lines;
            EXPECT_EQ(pieces[c.kept - 8], "line " + std::to_string(c.lines - 1) + "\n");
        }
        std::remove(dat.c_str());
    }
}

// Lines are cut into pieces of 5099 characters; encoded lines of any length pass unchanged;
// every byte value, NUL included, survives the encoding.
TEST_F(Log, SaveCutsLongLinesAndCarriesEncodedLinesUnchanged)
{
    std::string encodedLong = ";" + std::string(9000, 'Q') + "==";
    std::string encodedShort = ";odd but carried";
    std::string allBytes;
    for (int b = 0; b < 256; ++b) {
        if (b != '\n') {
            allBytes += static_cast<char>(b);
        }
    }
    allBytes += '\n';
    std::string longLine(12000, 'x');
    std::string continuation = std::string(5099, 'y') + ";not encoded\n";
    writeFile(dat,
              encodedLong + "\n" + encodedShort + "\n" + longLine + "\n" + allBytes + continuation);

    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);

    auto lines = logLines(readFile(dat));
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], encodedLong);
    EXPECT_EQ(lines[1], encodedShort);
    EXPECT_EQ(decodeLine(lines[2]), std::string(5099, 'x'));
    EXPECT_EQ(decodeLine(lines[3]), std::string(5099, 'x'));
    EXPECT_EQ(decodeLine(lines[4]), std::string(1802, 'x') + "\n");
    EXPECT_EQ(decodeLine(lines[5]), allBytes);
    EXPECT_EQ(decodeLine(lines[6]), std::string(5099, 'y'));
    EXPECT_EQ(decodeLine(lines[7]), ";not encoded\n"); // a cut line's rest is plain text
}

TEST_F(Log, OpeningBanners)
{
    // An opening that obtains no stream does not count as the first one.
    ASSERT_EQ(PM_Log_SetUserInfo((base + "/missing/").c_str(), "P"), 0);
    EXPECT_EQ(LogFileData.PM_LogOpen(0), 201);
    EXPECT_FALSE(exists(base + "/missing"));

    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(LogFileData.PM_LogOpen(i == 2 ? 1 : 0), 1);
        ASSERT_EQ(LogFileData.PM_LogClose(), 1);
        expected += std::string(i == 0 ? kLogStart : kReStart) + (i == 2 ? "\nSD:" : "\nRD:") +
                    header("P", 0, 0) + "\nFOOTER\n\n";
    }
    EXPECT_EQ(normalise(decodeLog(readFile(dat))), expected);
}

TEST_F(Log, NothingIsWrittenWithoutAnActiveCommunication)
{
    // Not configured: no file anywhere, every record a no-op.
    EXPECT_EQ(LogFileData.PM_LogOpen(0), 201);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("x"), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteDTRRTS(4), 1);
    EXPECT_EQ(PM_Sleep(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteInternalInfo(), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteHedder(), 1);
    EXPECT_EQ(LogFileData.PM_SaveLog(), 1);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);

    // Configured but idle: closing neither saves nor deletes.
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    writeFile(tmp, "kept\n");
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(LogFileData.PM_SaveLog(), 1);
    EXPECT_EQ(readFile(tmp), "kept\n");
    EXPECT_FALSE(exists(dat));
    EXPECT_EQ(LogFileData.PM_LogWriteComment(nullptr), 1);
}

TEST_F(Log, OpenFailsWhenTheTemporaryFileCannotBeOpened)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    std::filesystem::create_directory(tmp);
    EXPECT_EQ(LogFileData.PM_LogOpen(0), 201);
    EXPECT_EQ(LogFileData.GetFileOpenYN(), 0);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("x"), 1);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);
}

// A communication stopped by SetFileOpenYN(0) writes nothing more; the next opening keeps what it
// had written and appends to it.
TEST_F(Log, StoppedCommunicationIsKeptByTheNextOpening)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("before"), 1);
    LogFileData.SetFileOpenYN(0);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("lost"), 1);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_FALSE(exists(dat));

    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("after"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(normalise(decodeLog(readFile(dat))),
              std::string(kLogStart) + "\nRD:\n//---before---{TickCnt = T}\n" + kReStart +
                  "\nRD:\n//---after---{TickCnt = T}\n" + header("P", 0, 0) + "\nFOOTER\n\n");
}

// A second opening during an active communication closes it properly first.
TEST_F(Log, SecondOpeningFinishesTheActiveCommunication)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("port"), 1);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("search"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(normalise(decodeLog(readFile(dat))),
              std::string(kLogStart) + "\nRD:\n//---port---{TickCnt = T}\n" + header("P", 0, 0) +
                  "\nFOOTER\n\n" + kReStart + "\nRD:\n//---search---{TickCnt = T}\n" +
                  header("P", 0, 0) + "\nFOOTER\n\n");
}

// A folder given during a communication takes effect at the next opening: the communication is
// still saved where it began, and nothing of it is lost or left behind.
TEST_F(Log, NewFolderTakesEffectAtTheNextOpening)
{
    std::string other = base + "/Other/";
    std::filesystem::create_directory(other);
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("before"), 1);
    PM_Log_SetUserInfo(other.c_str(), "Q");
    EXPECT_EQ(LogFileData.PM_LogWriteComment("after"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_FALSE(exists(tmp));
    EXPECT_FALSE(exists(other + "PM_LOG.tmp"));
    EXPECT_FALSE(exists(other + "PM_LOG.dat"));
    EXPECT_EQ(normalise(decodeLog(readFile(dat))),
              std::string(kLogStart) + "\nRD:\n//---before---{TickCnt = T}\n" +
                  "\n//---after---{TickCnt = T}\n" + header("Q", 0, 0) + "\nFOOTER\n\n");

    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(normalise(decodeLog(readFile(other + "PM_LOG.dat"))),
              std::string(kReStart) + "\nRD:" + header("Q", 0, 0) + "\nFOOTER\n\n");
}

// Texts are cut to their fields; the error slots are never reset; null texts read as unset.
TEST_F(Log, FieldsAreCutAndErrorSlotsPersist)
{
    std::string phone(100, 'p');
    std::string longText(2000, 'm');
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), phone.c_str()), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteInternalInfo(), 1); // nothing reported yet
    LogFileData.SetCommEngErr(-5, longText.c_str(), 9, nullptr);
    LogFileData.SetCommPortErr(3, 44);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);

    PM_Log_SetUserInfo(folder.c_str(), nullptr);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteInternalInfo(), 1); // errors of the earlier communication
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);

    std::string text = normalise(decodeLog(readFile(dat)));
    const std::string closeHead = "\n\nPortClose (End Communication)\n";
    EXPECT_EQ(text, std::string(kLogStart) + "\nRD:" + closeHead +
                        "[non selection.] _LastModify(non selection.)\n : CommEngLastErr(LINE) "
                        "[0(0)] PortMdlLastErr(LINE) [0(0)] PortAPILastErr(LINE) [0(0)]\x81\x41" +
                        header(std::string(63, 'p').c_str(), 0, 0) + "\nFOOTER\n\n" + kReStart +
                        "\nRD:" + closeHead + "[" + std::string(1023, 'm') +
                        "] _LastModify(non selection.)\n : CommEngLastErr(LINE) [-5(9)] "
                        "PortMdlLastErr(LINE) [3(44)] PortAPILastErr(LINE) [0(0)]\x81\x41" +
                        header("non selection.", 0, 0) + "\nFOOTER\n\n");
}

// A formatted message is cut to its buffer (format length + 1023 characters); a record is cut to
// 5119 characters.
TEST_F(Log, LongMessagesAreCut)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    std::string message(10000, 'z');
    EXPECT_EQ(PM_Log_WriteMessage("%s", message.c_str()), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment(message.c_str()), 1);
    EXPECT_EQ(PM_Log_WriteMessage(nullptr), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(normalise(decodeLog(readFile(dat))),
              std::string(kLogStart) + "\nRD:" + "\n//---" + std::string(1025, 'z') +
                  "---{TickCnt = T}\n" + "\n//---" + std::string(5113, 'z') + header("P", 0, 0) +
                  "\nFOOTER\n\n");
}

// A file-size limit makes the writes short. A short record stops the communication; a failed save
// leaves "PM_LOG.dat" alone and "PM_LOG.tmp" whole, so the next communication loses nothing.
class LogShortWrite : public LogFolder {
  protected:
    void SetUp() override
    {
        LogFolder::SetUp();
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        previous = signal(SIGXFSZ, SIG_IGN);
    }
    void TearDown() override
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, previous);
        LogFolder::TearDown();
    }
    void limitFileSize(rlim_t bytes)
    {
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    void unlimit() { ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0); }

    rlimit saved{};
    void (*previous)(int) = SIG_DFL;
};

TEST_F(LogShortWrite, FailedSaveLosesNothing)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("one"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    std::string saved1 = readFile(dat);

    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    std::string chunk(4000, 'c');
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(LogFileData.PM_LogWriteComment(chunk.c_str()), 1);
    }
    // Room for the temporary file's 20 KB of plain text, not for their 27 KB encoded.
    limitFileSize(saved1.size() + 24000);
    EXPECT_EQ(LogFileData.PM_SaveLog(), 202);
    EXPECT_EQ(LogFileData.PM_LogClose(), 0);
    unlimit();
    EXPECT_FALSE(exists(dat));
    EXPECT_FALSE(exists(dat + ".new"));
    std::string kept = readFile(tmp);
    EXPECT_EQ(kept.substr(0, saved1.size()), saved1);
    EXPECT_NE(kept.find(chunk), std::string::npos);

    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("three"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    std::string all = readFile(dat);
    EXPECT_EQ(all.substr(0, saved1.size()), saved1);
    std::string text = normalise(decodeLog(all.substr(saved1.size())));
    std::string twice;
    for (int i = 0; i < 5; ++i) {
        twice += "\n//---" + chunk + "---{TickCnt = T}\n";
    }
    EXPECT_EQ(text, std::string(kReStart) + "\nRD:" + twice + kReStart +
                        "\nRD:\n//---three---{TickCnt = T}\n" + header("P", 0, 0) + "\nFOOTER\n\n");
}

TEST_F(LogShortWrite, ShortRecordStopsTheCommunication)
{
    ASSERT_EQ(PM_Log_SetUserInfo(folder.c_str(), "P"), 0);
    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    EXPECT_EQ(LogFileData.PM_LogWriteComment("saved"), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    std::string saved1 = readFile(dat);

    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    limitFileSize(saved1.size() + 1000);
    std::string chunk(5000, 's');
    EXPECT_EQ(LogFileData.PM_LogWriteComment(chunk.c_str()), 0);
    EXPECT_EQ(LogFileData.GetFileOpenYN(), 0);
    EXPECT_EQ(PM_Sleep(0), 1);
    EXPECT_EQ(LogFileData.PM_LogClose(), 1); // stopped: nothing to close or save
    unlimit();
    EXPECT_FALSE(exists(dat));
    EXPECT_EQ(readFile(tmp).substr(0, saved1.size()), saved1);

    ASSERT_EQ(LogFileData.PM_LogOpen(0), 1);
    ASSERT_EQ(LogFileData.PM_LogClose(), 1);
    EXPECT_EQ(readFile(dat).substr(0, saved1.size()), saved1);
}

TEST(LogEncoding, StrEncodeSecond)
{
    struct Case {
        std::string plain;
        std::string encoded;
    };
    const Case cases[] = {
        {"abc\n", "FiY2oA=="},
        {"\n", "oA=="},
        {"A", "FA=="},
        {"\x33\xAA", "M6o="}, // bytes whose halves are equal are unchanged
    };
    CCommLog& log = LogFileData;
    for (const auto& c : cases) {
        std::string line = c.plain;
        EXPECT_STREQ(log.StrEncodeSecond(line.data()), c.encoded.c_str()) << c.plain;
    }
    std::string longest(7662, 'x');
    std::string out = log.StrEncodeSecond(longest.data());
    EXPECT_EQ(out.size(), 10216u);
    EXPECT_EQ(swapHalves(base64Decode(out)), std::string(7662, 'x'));
    std::string tooLong(7663, 'x');
    EXPECT_STREQ(log.StrEncodeSecond(tooLong.data()), "");
    EXPECT_EQ(tooLong, std::string(7663, 'x')); // left unchanged
    EXPECT_STREQ(log.StrEncodeSecond(nullptr), "");
}

TEST(LogEncoding, Base64)
{
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {{"", ""},
                          {"f", "Zg=="},
                          {"fo", "Zm8="},
                          {"foo", "Zm9v"},
                          {"foob", "Zm9vYg=="},
                          {"fooba", "Zm9vYmE="},
                          {"foobar", "Zm9vYmFy"},
                          {"\xff\xfe\x00", "//4A"}};
    for (const auto& c : cases) {
        char out[32] = {};
        int32_t length = c.in[0] == '\xff' ? 3 : static_cast<int32_t>(strlen(c.in));
        EXPECT_EQ(CCommLog::CE_MIME_Encord(out, length, c.in), static_cast<int32_t>(strlen(c.out)));
        EXPECT_STREQ(out, c.out);
    }
}

TEST(LogEncoding, StrEncode)
{
    struct Case {
        const char* in;
        int32_t limit;
        const char* out;
    };
    const Case cases[] = {
        {"0123456789abcdef", 0, "#pL4$w9Q)k2%Tx7="},
        {"ABCDEF", 0, "2%Tx7="},
        {"g-z ;\n", 0, "######"}, // not a hex digit: value 0
        {"ffffffffff", 3, "===fffffff"},
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        EXPECT_EQ(CCommLog::StrEncode(text.data(), c.limit), text.data());
        EXPECT_EQ(text, c.out) << c.in;
    }
    EXPECT_EQ(CCommLog::StrEncode(nullptr, 0), nullptr);
}
