// The log object: configuration, error slots, opening and closing a communication, and the save
// that folds "PM_LOG.tmp" into the rolling "PM_LOG.dat".
#include "CommLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "portmdl/PortMdl.h"

namespace {

const char kNoSelection[] = "non selection.";
const char kLogName[] = "PM_LOG.dat";
const char kTmpName[] = "PM_LOG.tmp";
// The new log is written under this suffix beside "PM_LOG.dat" and renamed over it only when
// complete, so a failed save never leaves a cut "PM_LOG.dat" for the next opening to take.
const char kNewSuffix[] = ".new";
const char kLogStart[] = "\nLogStart Port Open (Start Communication)\n";
const char kReStart[] = "\nPort Open (ReStart Communication)\n";

constexpr size_t kPieceLength = 5099; // longest plain piece that the save encodes into one line
constexpr size_t kKeptPieces = 1000;  // lines kept in "PM_LOG.dat"

// Copies text into a field, cut to the field's size less one; a null text stores fallback.
void copyCut(char* field, size_t size, const char* text, const char* fallback)
{
    if (text == nullptr) {
        text = fallback;
    }
    size_t length = strnlen(text, size - 1);
    memcpy(field, text, length);
    field[length] = '\0';
}

// Opens one of the log's own files: never through a link, without blocking (a FIFO would), and
// only when it is a regular file; anything else counts as a file that cannot be opened. A file it
// creates is readable by its owner only: the log holds a phone's traffic.
int openRegular(const char* path, int flags)
{
    int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

FILE* openStream(const char* path, int flags, const char* mode)
{
    int fd = openRegular(path, flags);
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = fdopen(fd, mode);
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

bool isRegularFile(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// A file system that cannot sync (EINVAL, or no support at all) has nothing more to write out.
bool synced(int fd)
{
    return fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP;
}

// The folder part of a log path ("." for a bare name) and the file name after it.
std::pair<std::string, std::string> splitPath(const char* path)
{
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        return {".", path};
    }
    return {slash == path ? std::string("/") : std::string(path, slash), slash + 1};
}

// Splits "PM_LOG.tmp" into the save's pieces: a line with its line feed, a plain line longer
// than kPieceLength taken in pieces of that length, and a line that begins with ';' (an encoded
// line carried over from the earlier log) always whole, however long. Bytes are taken as they
// are, NULs included.
class PieceReader {
  public:
    enum Kind { End, Plain, Encoded };

    explicit PieceReader(FILE* file) : m_file(file) {}

    // Plain pieces are collected into buffer (kPieceLength + 1 bytes at least). For an encoded
    // line only its ';' is consumed; the caller must pass it on with copyEncoded.
    Kind next(char* buffer, size_t& length)
    {
        int c = getc_unlocked(m_file);
        if (c == EOF) {
            return End;
        }
        if (m_atLineStart && c == ';') {
            return Encoded;
        }
        buffer[0] = static_cast<char>(c);
        length = 1;
        while (buffer[length - 1] != '\n' && length < kPieceLength) {
            c = getc_unlocked(m_file);
            if (c == EOF) {
                break;
            }
            buffer[length++] = static_cast<char>(c);
        }
        m_atLineStart = buffer[length - 1] == '\n';
        return Plain;
    }

    // Passes the encoded line that next() announced, ';' included, unchanged to out (or skips it
    // when out is null). Returns false when a write to out fails.
    bool copyEncoded(FILE* out)
    {
        char chunk[4096];
        size_t used = 0;
        chunk[used++] = ';';
        for (;;) {
            int c = getc_unlocked(m_file);
            bool end = c == EOF || c == '\n';
            if (c != EOF) {
                chunk[used++] = static_cast<char>(c);
            }
            if (end || used == sizeof chunk) {
                if (out != nullptr && fwrite(chunk, 1, used, out) != used) {
                    return false;
                }
                used = 0;
            }
            if (end) {
                return true;
            }
        }
    }

  private:
    FILE* m_file;
    bool m_atLineStart = true;
};

} // namespace

CCommLog::CCommLog()
    : m_pFile(nullptr), m_nLastDirection(0), m_nFileOpenYN(0), m_nLoggedCount(0), m_nOSVerMajor(0),
      m_nOSVerMinor(0), m_nPlatformID(0), m_nCableType(0), m_nPortNo(0), m_nCommEngErr(0),
      m_nCommEngLine(0), m_nPortMdlErr(0), m_nPortMdlLine(0), m_nPortAPIErr(0), m_nPortAPILine(0),
      m_tStartTime(0), m_nAckStartTick(MACTickCount())
{
    m_szLogPath[0] = '\0';
    m_szTmpPath[0] = '\0';
    m_szCommLogPath[0] = '\0';
    m_szCommTmpPath[0] = '\0';
    m_szRecord[0] = '\0';
    m_szEncoded[0] = '\0';
    copyCut(m_szUserInfo, sizeof m_szUserInfo, kNoSelection, kNoSelection);
    copyCut(m_szCommEngModule, sizeof m_szCommEngModule, kNoSelection, kNoSelection);
    copyCut(m_szCommEngLastModify, sizeof m_szCommEngLastModify, kNoSelection, kNoSelection);
}

// An active communication is neither saved nor closed when the module unloads.
CCommLog::~CCommLog() {}

void CCommLog::SetFileOpenYN(int32_t value)
{
    Lock lock(m_mutex);
    m_nFileOpenYN = value;
    // A stopped communication writes nothing more: its records are all in its file already, so
    // the stream and the folder are given back at once for another process to use.
    if (value != 1 && m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
        releaseLocked();
    }
}

int32_t CCommLog::GetFileOpenYN()
{
    Lock lock(m_mutex);
    return m_nFileOpenYN;
}

void CCommLog::SetUserInfo(const char* folder, const char* userInfo)
{
    Lock lock(m_mutex);
    copyCut(m_szUserInfo, sizeof m_szUserInfo, userInfo, kNoSelection);
    m_nOSVerMajor = 10;
    m_nOSVerMinor = 3;
    m_nPlatformID = -1;
    // A folder that is missing or too long for the paths leaves logging unconfigured rather than
    // writing to a cut path somewhere else.
    if (folder == nullptr || strnlen(folder, kMaxFolderLength + 1) > kMaxFolderLength) {
        m_szLogPath[0] = '\0';
        m_szTmpPath[0] = '\0';
        return;
    }
    snprintf(m_szLogPath, sizeof m_szLogPath, "%s%s", folder, kLogName);
    snprintf(m_szTmpPath, sizeof m_szTmpPath, "%s%s", folder, kTmpName);
}

void CCommLog::SetCableInfo(int32_t cableType, int32_t portNo)
{
    Lock lock(m_mutex);
    m_nCableType = cableType;
    m_nPortNo = portNo;
}

void CCommLog::SetCommEngErr(int32_t code, const char* moduleText, int32_t line,
                             const char* lastModify)
{
    Lock lock(m_mutex);
    m_nCommEngErr = code;
    copyCut(m_szCommEngModule, sizeof m_szCommEngModule, moduleText, kNoSelection);
    m_nCommEngLine = line;
    copyCut(m_szCommEngLastModify, sizeof m_szCommEngLastModify, lastModify, kNoSelection);
}

void CCommLog::SetCommPortErr(int32_t code, int32_t line)
{
    Lock lock(m_mutex);
    m_nPortMdlErr = code;
    m_nPortMdlLine = line;
}

void CCommLog::SetCommAPIErr(int32_t code, int32_t line)
{
    Lock lock(m_mutex);
    m_nPortAPIErr = code;
    m_nPortAPILine = line;
}

uint32_t CCommLog::PM_GetTickCount()
{
    return MACTickCount();
}

int32_t CCommLog::PM_LogOpen(int32_t direction)
{
    Lock lock(m_mutex);
    if (m_szLogPath[0] == '\0') {
        return 201;
    }
    if (m_nFileOpenYN == 1) {
        // A second opening finishes the active communication first, so its records reach the
        // log with their header and footer instead of vanishing with a replaced stream.
        closeLocked();
    } else if (m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    releaseLocked();
    m_nFileOpenYN = 0;
    m_nLastDirection = direction;
    memcpy(m_szCommLogPath, m_szLogPath, sizeof m_szCommLogPath);
    memcpy(m_szCommTmpPath, m_szTmpPath, sizeof m_szCommTmpPath);
    if (lockFolderLocked()) {
        m_bWaiting = false;
        snprintf(m_szCommFilePath, sizeof m_szCommFilePath, "%s", m_szCommTmpPath);
        // Only a regular "PM_LOG.dat" is carried over; anything else there counts as absent
        // (the save renames the new log over it).
        if (isRegularFile(m_szCommLogPath)) {
            rename(m_szCommLogPath, m_szCommTmpPath);
        }
        m_pFile = openStream(m_szCommTmpPath, O_RDWR | O_APPEND | O_CREAT, "a+");
    } else {
        // Another process's communication holds the folder: write this one apart, whole, for
        // whichever save comes next to fold in. The file is locked before it holds anything, so
        // a save never takes it while it is being written.
        m_bWaiting = true;
        snprintf(m_szCommFilePath, sizeof m_szCommFilePath, "%s.XXXXXX", m_szCommTmpPath);
        int fd = mkostemp(m_szCommFilePath, O_CLOEXEC | O_APPEND);
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            unlink(m_szCommFilePath);
            fd = -1;
        }
        m_pFile = fd >= 0 ? fdopen(fd, "a+") : nullptr;
        if (fd >= 0 && m_pFile == nullptr) {
            close(fd);
            unlink(m_szCommFilePath);
        }
    }
    if (m_pFile == nullptr) {
        releaseLocked();
        return 201;
    }
    m_nFileOpenYN = 1;
    const char* banner = m_nLoggedCount == 0 ? kLogStart : kReStart;
    size_t length = strlen(banner);
    addLoggedLocked(length);
    if (writeTextLocked(banner, length) != 1) {
        return 0;
    }
    const char* prefix = direction != 0 ? "\nSD:" : "\nRD:";
    writeOutLocked(prefix, 4); // a short write of the prefix does not stop the communication
    addLoggedLocked(4);
    m_tStartTime = time(nullptr);
    return 1;
}

// Takes the folder for this communication. A folder that cannot be opened or locked (a file
// system without locks) is taken as this process's own, as it was before locking.
bool CCommLog::lockFolderLocked()
{
    int fd = open(splitPath(m_szCommTmpPath).first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bool taken = errno == EWOULDBLOCK;
        close(fd);
        return !taken;
    }
    m_nFolderFd = fd;
    return true;
}

void CCommLog::releaseLocked()
{
    if (m_nFolderFd >= 0) {
        close(m_nFolderFd);
        m_nFolderFd = -1;
    }
}

int32_t CCommLog::PM_LogWriteInternalInfo()
{
    Lock lock(m_mutex);
    // The record ends in the two bytes of the Shift_JIS ideographic comma, without a line feed.
    return writeRecordLocked("\n\nPortClose (End Communication)\n[%s] _LastModify(%s)\n"
                             " : CommEngLastErr(LINE) [%d(%d)] PortMdlLastErr(LINE) [%d(%d)]"
                             " PortAPILastErr(LINE) [%d(%d)]"
                             "\x81\x41",
                             m_szCommEngModule, m_szCommEngLastModify, m_nCommEngErr,
                             m_nCommEngLine, m_nPortMdlErr, m_nPortMdlLine, m_nPortAPIErr,
                             m_nPortAPILine);
}

int32_t CCommLog::PM_LogWriteHedder()
{
    Lock lock(m_mutex);
    return headerLocked();
}

int32_t CCommLog::headerLocked()
{
    if (m_nFileOpenYN != 1) {
        return 1;
    }
    int n = snprintf(m_szRecord, sizeof m_szRecord,
                     "\nUserInfo - PhoneUnivID[%s]OSVer[%d.%d PlatID %d]CableType[%d]PortNo[%d]",
                     m_szUserInfo, m_nOSVerMajor, m_nOSVerMinor, m_nPlatformID, m_nCableType,
                     m_nPortNo);
    size_t length = n < 0 ? 0 : static_cast<size_t>(n);
    // Unlike every other record, a short header leaves the communication active.
    return writeOutLocked(m_szRecord, length) ? 1 : 0;
}

int32_t CCommLog::PM_LogClose()
{
    Lock lock(m_mutex);
    return closeLocked();
}

int32_t CCommLog::closeLocked()
{
    if (m_nFileOpenYN != 1) {
        return 1;
    }
    int32_t result = headerLocked();
    if (result == 1) {
        time_t now = time(nullptr);
        struct tm local;
        char when[64];
        const char* whenText = "";
        if (localtime_r(&now, &local) != nullptr && asctime_r(&local, when) != nullptr) {
            whenText = when;
        }
        if (writeRecordLocked("\nComm Finished TotalTime %4.0f Sec. Dete : %s\n",
                              difftime(now, m_tStartTime), whenText) != 1) {
            result = 0;
        } else if (m_bWaiting) {
            // The communication is whole in its own file. Fold it in now if the folder is free;
            // otherwise it waits there for the folder holder's save.
            int closed = fclose(m_pFile);
            m_pFile = nullptr;
            if (closed != 0) {
                result = 0;
            } else if (lockFolderLocked()) {
                m_bWaiting = false;
                if (isRegularFile(m_szCommLogPath)) {
                    rename(m_szCommLogPath, m_szCommTmpPath);
                }
                if (saveLocked() != 0) {
                    result = 0;
                }
            }
        } else if (saveLocked() != 0) {
            result = 0;
        }
    }
    if (m_pFile != nullptr) {
        if (fclose(m_pFile) != 0) {
            result = 0;
        }
        m_pFile = nullptr;
    }
    if (result != 0 && !m_bWaiting && remove(m_szCommTmpPath) != 0) {
        result = 0;
    }
    m_nFileOpenYN = 0;
    releaseLocked();
    return result;
}

int32_t CCommLog::PM_SaveLog()
{
    Lock lock(m_mutex);
    return saveLocked();
}

int32_t CCommLog::saveLocked()
{
    if (m_nFileOpenYN != 1) {
        return 1;
    }
    if (m_szCommLogPath[0] == '\0') {
        return 201;
    }
    if (m_bWaiting) {
        return 201; // the log belongs to another process's communication until it closes
    }
    if (m_pFile != nullptr) {
        int closed = fclose(m_pFile);
        m_pFile = nullptr;
        if (closed != 0) {
            return 203;
        }
    }
    int32_t folded = foldWaitingLocked();
    if (folded != 0) {
        return folded;
    }
    m_pFile = openStream(m_szCommTmpPath, O_RDONLY, "r");
    if (m_pFile == nullptr) {
        return 201;
    }

    size_t pieces = 0;
    size_t length = 0;
    PieceReader counter(m_pFile);
    for (PieceReader::Kind kind; (kind = counter.next(m_szRecord, length)) != PieceReader::End;) {
        if (kind == PieceReader::Encoded) {
            counter.copyEncoded(nullptr);
        }
        ++pieces;
    }
    if (ferror(m_pFile)) {
        return 201;
    }

    char newPath[sizeof m_szCommLogPath + sizeof kNewSuffix];
    snprintf(newPath, sizeof newPath, "%s%s", m_szCommLogPath, kNewSuffix);
    unlink(newPath); // a leftover of an interrupted save
    int fd = open(newPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return 201;
    }
    FILE* out = fdopen(fd, "w");
    if (out == nullptr) {
        close(fd);
        unlink(newPath);
        return 201;
    }
    auto fail = [&](int32_t code) {
        fclose(out);
        unlink(newPath);
        return code;
    };

    size_t first = pieces >= kKeptPieces ? pieces - kKeptPieces : 0;
    rewind(m_pFile);
    PieceReader reader(m_pFile);
    size_t index = 0;
    for (PieceReader::Kind kind; (kind = reader.next(m_szRecord, length)) != PieceReader::End;) {
        bool keep = index++ >= first;
        if (kind == PieceReader::Encoded) {
            if (!reader.copyEncoded(keep ? out : nullptr)) {
                return fail(202);
            }
        } else if (keep) {
            const char* encoded = encodeSecondLocked(m_szRecord, length);
            size_t encodedLength = strlen(encoded);
            if (putc_unlocked(';', out) == EOF ||
                fwrite(encoded, 1, encodedLength, out) != encodedLength ||
                putc_unlocked('\n', out) == EOF) {
                return fail(202);
            }
        }
    }
    if (ferror(m_pFile)) {
        return fail(201);
    }
    // The new log must be on disk before it replaces the old name.
    if (fflush(out) != 0 || !synced(fd)) {
        return fail(202);
    }
    if (fclose(out) != 0) {
        unlink(newPath);
        return 203;
    }
    if (rename(newPath, m_szCommLogPath) != 0) {
        unlink(newPath);
        return 202;
    }
    return 0;
}

// Folds the finished communications that other processes left waiting beside "PM_LOG.tmp" into
// it, oldest first, each removed once it is there whole. A file still locked is still being
// written, and an empty one has nothing yet. Returns 0, or the save's result for a failure.
int32_t CCommLog::foldWaitingLocked()
{
    auto [dirPath, tmpName] = splitPath(m_szCommTmpPath);
    std::string prefix = tmpName + ".";
    constexpr size_t kSuffix = 6; // the six characters of the waiting file's name
    DIR* dir = opendir(dirPath.c_str());
    if (dir == nullptr) {
        return 0;
    }
    struct Waiting {
        timespec finished;
        std::string path;
        int fd;
    };
    std::vector<Waiting> waiting;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strncmp(name, prefix.c_str(), prefix.size()) != 0 ||
            strlen(name) != prefix.size() + kSuffix) {
            continue;
        }
        std::string path = dirPath + "/" + name;
        int fd = openRegular(path.c_str(), O_RDONLY);
        struct stat st;
        if (fd < 0) {
            continue;
        }
        if (fstat(fd, &st) != 0 || st.st_size == 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            continue;
        }
        waiting.push_back({st.st_mtim, std::move(path), fd});
    }
    closedir(dir);
    std::sort(waiting.begin(), waiting.end(), [](const Waiting& a, const Waiting& b) {
        return std::pair(a.finished.tv_sec, a.finished.tv_nsec) <
               std::pair(b.finished.tv_sec, b.finished.tv_nsec);
    });
    int32_t result = 0;
    int out = -1;
    for (Waiting& w : waiting) {
        if (result == 0 && out < 0) {
            out = openRegular(m_szCommTmpPath, O_WRONLY | O_APPEND | O_CREAT);
            if (out < 0) {
                result = 201;
            }
        }
        if (result == 0) {
            // A copy that fails half way is taken back out, so the file is folded whole or not.
            off_t before = lseek(out, 0, SEEK_END);
            char chunk[65536];
            ssize_t n;
            bool copied = true;
            while ((n = read(w.fd, chunk, sizeof chunk)) != 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n < 0 || write(out, chunk, static_cast<size_t>(n)) != n) {
                    copied = false;
                    break;
                }
            }
            if (copied && synced(out)) {
                unlink(w.path.c_str());
            } else {
                // Take the cut copy back out; the waiting file stays, so nothing is lost either way.
                if (before >= 0) {
                    int ignored = ftruncate(out, before);
                    (void)ignored;
                }
                result = 202;
            }
        }
        close(w.fd);
    }
    if (out >= 0) {
        close(out);
    }
    return result;
}

// Writes and flushes: every record is in the file when the call that wrote it returns, so a host
// that is killed loses nothing it has logged.
bool CCommLog::writeOutLocked(const char* text, size_t length)
{
    return m_pFile != nullptr && fwrite(text, 1, length, m_pFile) == length &&
           fflush(m_pFile) == 0;
}

int32_t CCommLog::writeTextLocked(const char* text, size_t length)
{
    if (m_nFileOpenYN != 1) {
        return 1;
    }
    if (!writeOutLocked(text, length)) {
        stopLocked();
        return 0;
    }
    return 1;
}

int32_t CCommLog::writeRecordLocked(const char* format, ...)
{
    if (m_nFileOpenYN != 1) {
        return 1;
    }
    va_list args;
    va_start(args, format);
    int n = vsnprintf(m_szRecord, sizeof m_szRecord, format, args);
    va_end(args);
    if (n < 0) {
        return 1; // nothing could be formatted, so nothing was left unwritten
    }
    size_t length =
        static_cast<size_t>(n) < sizeof m_szRecord ? static_cast<size_t>(n) : sizeof m_szRecord - 1;
    return writeTextLocked(m_szRecord, length);
}

// A short write stops the communication. Nothing more will be written to its stream, so it is
// released at once; closing it also flushes whatever of it still fits on the disk.
void CCommLog::stopLocked()
{
    m_nFileOpenYN = 0;
    if (m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    releaseLocked();
}

// Only whether the count is zero matters; it must not wrap back to zero.
void CCommLog::addLoggedLocked(size_t count)
{
    uint32_t room = UINT32_MAX - m_nLoggedCount;
    m_nLoggedCount += count < room ? static_cast<uint32_t>(count) : room;
}
