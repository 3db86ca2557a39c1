// The exported log functions: logged pauses, host messages, and the log configuration with the
// module's settings file "PM_STD.ini".
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CommLog.h"
#include "PortLock.h"
#include "PortMdlState.h"
#include "portmdl/PortMdl.h"

// The receive settings of the settings file; PM_OpenPort hands them to the transport it creates.
int32_t gRxTimeout = 1;
int32_t gRxSleepTime = 1;

namespace {

// The settings file lies in the folder above the log folder, whose last component with its
// separator is 13 characters long.
constexpr size_t kLogFolderComponent = 13;
constexpr size_t kSettingsPathSize = 1024;
const char kSettingsName[] = "PM_STD.ini";
constexpr size_t kSettingsBytes = 128;

// The folder is a colon-separated path that begins with its volume's name; volumes are mounted
// under "/Volumes/". PM_VOLUMES_DIR names another mount root (an empty value lets a plain POSIX
// folder name its own settings file).
const char* volumesRoot()
{
    const char* root = getenv("PM_VOLUMES_DIR");
    return root != nullptr ? root : "/Volumes/";
}

// Builds the settings path; false when the folder is too short to hold its last component or the
// path would not fit, in which case no settings file is read.
bool settingsPath(const char* folder, char (&path)[kSettingsPathSize])
{
    size_t folderLength = strlen(folder);
    if (folderLength < kLogFolderComponent) {
        return false;
    }
    int n = snprintf(path, sizeof path, "%s%s", volumesRoot(), folder);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        return false;
    }
    size_t kept = static_cast<size_t>(n) - kLogFolderComponent;
    memcpy(path + kept, kSettingsName, sizeof kSettingsName); // fits: 13 dropped, 11 added
    for (char* p = path; *p != '\0'; ++p) {
        if (*p == ':') {
            *p = '/';
        }
    }
    return true;
}

// The standard decimal conversion, held to the 32-bit range of the settings.
int32_t settingValue(const char* text)
{
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// Opens the settings file: a regular file only, not through a link and without waiting (a FIFO
// there would block the caller for ever). Anything else counts as no settings file.
FILE* openSettings(const char* path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    FILE* file = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        file = fdopen(fd, "r");
    }
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// Formats a host message into a buffer of the format's length plus 1024 bytes, cutting a longer
// message, and writes it as a comment. Returns 0 when the buffer cannot be had.
int32_t writeMessage(const char* format, va_list args)
{
    if (format == nullptr) {
        return 1;
    }
    size_t size = strlen(format) + 1024;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) {
        return 0;
    }
    if (vsnprintf(buffer.get(), size, format, args) < 0) {
        buffer[0] = '\0';
    }
    return LogFileData.PM_LogWriteComment(buffer.get());
}

} // namespace

extern "C" int32_t PM_Sleep(uint32_t ms)
{
    PM_SimpleSleep(ms);
    return LogFileData.PM_LogWriteSleepTime(ms);
}

extern "C" int32_t PM_Log_SetSleepTime(uint32_t ms)
{
    return LogFileData.PM_LogWriteSleepTime(ms);
}

extern "C" int32_t PM_Log_WriteMessage(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int32_t result = writeMessage(format, args);
    va_end(args);
    return result;
}

extern "C" void PM_Trace2(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    writeMessage(format, args);
    va_end(args);
}

extern "C" int32_t PM_Log_SetUserInfo(const char* folder, const char* phoneId)
{
    PortLock port;
    LogFileData.SetUserInfo(folder, phoneId);
    // Without a usable folder the settings count as missing.
    if (folder == nullptr ||
        strnlen(folder, CCommLog::kMaxFolderLength + 1) > CCommLog::kMaxFolderLength) {
        gRxTimeout = 1;
        return -1;
    }
    char path[kSettingsPathSize];
    FILE* file = settingsPath(folder, path) ? openSettings(path) : nullptr;
    if (file == nullptr) {
        gRxTimeout = 1;
        return 0;
    }
    char text[kSettingsBytes + 1];
    size_t n = fread(text, 1, kSettingsBytes, file);
    if (ferror(file)) { // an unreadable file is no settings file
        fclose(file);
        gRxTimeout = 1;
        return 0;
    }
    text[n] = '\0';
    gRxTimeout = settingValue(text);
    const char* lineFeed = static_cast<const char*>(memchr(text, '\n', n));
    gRxSleepTime = settingValue(lineFeed != nullptr ? lineFeed + 1 : text);
    return fclose(file) == 0 ? 0 : -1;
}
