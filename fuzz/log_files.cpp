// The files the log finds in its folder when it starts: "PM_LOG.tmp" and "PM_LOG.dat" left by
// earlier communications (any content), the settings file "PM_STD.ini", and in their place a FIFO,
// a folder, or a link to a private file or to a device. A whole communication must then neither
// block nor crash, never write through a link, and when it reports success leave a rolling log
// of encoded lines that ends with its own records.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "CommLog.h"
#include "LogReader.h"
#include "PortMdlState.h"
#include "portmdl/PortMdl.h"

namespace fs = std::filesystem;

namespace {

const char kSecret[] = "a private file that the log must never copy or change\n";

struct Folder {
    std::string base, folder, secret;
    Folder()
    {
        char tmpl[] = "/tmp/pmfuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            abort();
        base = tmpl;
        folder = base + "/CommLogFiles/";
        secret = base + "/secret";
        setenv("PM_VOLUMES_DIR", "", 1); // the settings file is then base/PM_STD.ini
    }
};

Folder& folder()
{
    static Folder f;
    static bool cleanUp = [] {
        // libFuzzer ends with exit(): the folder goes with the process.
        return std::atexit([] {
            std::error_code ec;
            fs::remove_all(folder().base, ec);
        }) == 0;
    }();
    (void)cleanUp;
    return f;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Puts one kind of thing at path: 0 nothing, 1 a regular file with content, 2 a FIFO, 3 a link to
// the private file, 4 a link to /dev/zero, 5 a folder.
void plant(const std::string& path, uint8_t kind, std::string_view content)
{
    switch (kind % 6) {
    case 1: {
        std::ofstream out(path, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        break;
    }
    case 2:
        mkfifo(path.c_str(), 0600);
        break;
    case 3:
        symlink(folder().secret.c_str(), path.c_str());
        break;
    case 4:
        symlink("/dev/zero", path.c_str());
        break;
    case 5:
        mkdir(path.c_str(), 0700);
        break;
    default:
        break;
    }
}

struct Texts : pmlog::LogSink {
    std::string text;
    void segment(const pmlog::Segment& s) override { text += s.text; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    Folder& f = folder();
    std::error_code ec;
    fs::remove_all(f.folder, ec);
    fs::remove_all(f.base + "/PM_STD.ini", ec);
    fs::create_directory(f.folder);
    {
        std::ofstream out(f.secret, std::ios::binary | std::ios::trunc);
        out << kSecret;
    }

    // Three kinds, two lengths, then the contents of "PM_LOG.tmp", "PM_LOG.dat" and the settings.
    uint8_t tmpKind = data[0], datKind = data[1], iniKind = data[2];
    std::string_view rest(reinterpret_cast<const char*>(data + 5), size - 5);
    size_t tmpLength = rest.empty() ? 0 : data[3] * 64u % (rest.size() + 1);
    std::string_view tmpText = rest.substr(0, tmpLength);
    rest.remove_prefix(tmpLength);
    size_t datLength = rest.empty() ? 0 : data[4] * 64u % (rest.size() + 1);
    std::string_view datText = rest.substr(0, datLength);
    std::string_view iniText = rest.substr(datLength);
    plant(f.folder + "PM_LOG.tmp", tmpKind, tmpText);
    plant(f.folder + "PM_LOG.dat", datKind, datText);
    plant(f.base + "/PM_STD.ini", iniKind, iniText);

    static int round = 0;
    ++round;
    int32_t configured = PM_Log_SetUserInfo(f.folder.c_str(), "fuzz");
    if (configured != 0 && configured != -1)
        abort();
    if (iniKind % 6 != 1 && gRxTimeout != 1)
        abort(); // anything but a regular file is no settings file
    int32_t opened = LogFileData.PM_LogOpen(0);
    if (opened != 0 && opened != 1 && opened != 201)
        abort();
    const unsigned char at[] = {'A', 'T', '\r'};
    LogFileData.PM_LogWriteAnaliz(at, 3, 1);
    PM_Log_WriteMessage("fuzz %d", round);
    LogFileData.PM_LogWriteInternalInfo();
    int32_t closed = LogFileData.PM_LogClose();

    if (readAll(f.secret) != kSecret)
        abort(); // written through a link
    if (opened == 1 && closed == 1) {
        struct stat st {};
        if (fs::exists(f.folder + "PM_LOG.tmp") || lstat((f.folder + "PM_LOG.dat").c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode) || (st.st_mode & 0077) != 0)
            abort();
        std::string dat = readAll(f.folder + "PM_LOG.dat");
        size_t lines = 0;
        for (size_t at = 0; at < dat.size(); ++lines) {
            size_t end = dat.find('\n', at);
            if (dat[at] != ';' || end == std::string::npos)
                abort(); // every line of the rolling log is ';' and text, ended by a line feed
            at = end + 1;
        }
        if (lines > 1000)
            abort();
        Texts texts;
        pmlog::streamLog(f.folder + "PM_LOG.dat", texts);
        std::string mine = "\n//---fuzz " + std::to_string(round) + "---{TickCnt = ";
        if (texts.text.find(mine) == std::string::npos)
            abort(); // the communication's own records are at the end of the log
    }
    return 0;
}
