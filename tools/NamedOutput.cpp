#include "NamedOutput.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <streambuf>

namespace pmctl {

namespace {

using Writer = std::function<void(std::ostream&)>;

// Writes into the descriptor the output was opened on, so what is written is what was checked.
class FdBuffer : public std::streambuf {
  public:
    explicit FdBuffer(int fd) : m_fd(fd) { setp(m_buf, m_buf + sizeof m_buf); }
    bool failed() const { return m_failed; }
    int error() const { return m_errno; }

  protected:
    int_type overflow(int_type c) override
    {
        if (!drain())
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return drain() ? 0 : -1; }

  private:
    bool drain()
    {
        const char* p = pbase();
        while (!m_failed && p < pptr()) {
            ssize_t n = ::write(m_fd, p, static_cast<size_t>(pptr() - p));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_failed = true;
                m_errno = n < 0 ? errno : EIO;
                break;
            }
            p += n;
        }
        setp(m_buf, m_buf + sizeof m_buf);
        return !m_failed;
    }

    int m_fd;
    char m_buf[65536];
    bool m_failed = false;
    int m_errno = 0;
};

std::runtime_error cannotWrite(const std::string& name, int err)
{
    return std::runtime_error("cannot write " + name + ": " + std::strerror(err));
}

std::string linkTarget(const std::string& path)
{
    std::string target(PATH_MAX, '\0');
    ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    target.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return target;
}

std::string kindOf(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return "a folder: give the name of the file to write";
    case S_IFBLK:
        return "a block device: pmctl writes no output onto a disk";
    case S_IFSOCK:
        return "a socket, which takes no written output: name another file";
    default:
        return "neither a file nor a device pmctl can write to";
    }
}

// The system's error from writing everything write produces into fd, or 0.
int writeAll(int fd, const Writer& write)
{
    FdBuffer buffer(fd);
    std::ostream out(&buffer);
    write(out);
    out.flush();
    return buffer.failed() ? buffer.error() : 0;
}

// A terminal, /dev/null, a pipe: written as it is, never created, truncated or replaced.
void writeThrough(const std::string& name, mode_t kind, bool viaLink, const Writer& write)
{
    // O_NONBLOCK: a FIFO nobody reads fails at once (ENXIO) instead of waiting for a reader for
    // ever. No O_CREAT: something that vanished meanwhile is not made again as a file.
    int fd = ::open(name.c_str(),
                    O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | (viaLink ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        int err = errno;
        if (err == ENXIO && S_ISFIFO(kind)) {
            throw std::runtime_error(name + (viaLink ? " leads to" : " is") +
                                     " a FIFO nobody reads: start its reader first (pmctl does "
                                     "not wait for one)");
        }
        throw cannotWrite(name, err);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        ::close(fd);
        throw std::runtime_error(name + " changed while it was opened: nothing was written");
    }
    // From here on at the reader's pace, as standard output is.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int err = 0;
    try {
        err = writeAll(fd, write);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0 && err == 0 && errno != EINTR)
        err = errno;
    if (err != 0)
        throw cannotWrite(name, err);
}

// Puts the complete temporary file under name. Where nothing was, nothing that appeared since is
// replaced.
int moveIntoPlace(const std::string& temp, const std::string& name, bool replacing)
{
    if (replacing)
        return ::rename(temp.c_str(), name.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL)
        return errno;
    // A file system without that kind of rename: a hard link never replaces either.
    if (::link(temp.c_str(), name.c_str()) != 0)
        return errno;
    ::unlink(temp.c_str());
    return 0;
}

// Nothing there yet, or a regular file: the whole output or nothing, under the name at once.
void writeBeside(const std::string& name, const struct stat* old, const Writer& write)
{
    namespace fs = std::filesystem;
    const fs::path path(name);
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::string temp = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(temp.data(), O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        throw std::runtime_error("cannot write " + name + ": cannot create a file in " +
                                 folder.string() + ": " + std::strerror(errno));
    }
    if (old != nullptr) {
        // Root replacing a user's file leaves it theirs; anyone else cannot give a file away.
        int kept = ::fchown(fd, old->st_uid, old->st_gid);
        static_cast<void>(kept);
    }
    // A new output is a document to hand on; a replaced one stays as private as it was.
    ::fchmod(fd, old != nullptr ? old->st_mode & 0777 : 0644);
    int err = 0;
    try {
        err = writeAll(fd, write);
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    // The content reaches the disk before the name does: a crash leaves the old file or the new.
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0)
        err = moveIntoPlace(temp, name, old != nullptr);
    if (err != 0) {
        ::unlink(temp.c_str());
        if (err == EEXIST) {
            throw std::runtime_error(name + " appeared while the output was written and was left "
                                            "as it is: run again to replace it");
        }
        throw cannotWrite(name, err);
    }
}

// Only a link to a device or a FIFO is followed; its target is written through, never replaced.
void writeViaLink(const std::string& name, const Writer& write)
{
    const std::string target = linkTarget(name);
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) {
        int err = errno;
        if (err == ENOENT) {
            throw std::runtime_error(name + " is a symbolic link to nothing (" + target +
                                     "): pmctl does not create a link's target; remove the link "
                                     "or name another file");
        }
        throw cannotWrite(name + " (a symbolic link to " + target + ")", err);
    }
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        writeThrough(name, st.st_mode, true, write);
        return;
    }
    if (S_ISREG(st.st_mode)) {
        throw std::runtime_error(name + " is a symbolic link to the file " + target +
                                 ": pmctl replaces only a file named directly, not through a "
                                 "link; name the file itself, or - for standard output");
    }
    throw std::runtime_error(name + " is a symbolic link to " + target + ", " + kindOf(st.st_mode));
}

} // namespace

void writeNamedOutput(const std::string& name, const Writer& write)
{
    if (name == "-") {
        write(std::cout);
        std::cout.flush();
        if (!std::cout)
            throw std::runtime_error("cannot write to standard output");
        return;
    }
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) {
        if (errno != ENOENT)
            throw cannotWrite(name, errno);
        writeBeside(name, nullptr, write);
        return;
    }
    switch (st.st_mode & S_IFMT) {
    case S_IFREG:
        // A file we could not write in place is not ours to replace either.
        if (::faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) != 0) {
            throw std::runtime_error(name + " may not be written (" + std::strerror(errno) +
                                     "): pmctl replaces only a file it could write; make it "
                                     "writable or name another file");
        }
        writeBeside(name, &st, write);
        return;
    case S_IFCHR:
    case S_IFIFO:
        writeThrough(name, st.st_mode, false, write);
        return;
    case S_IFLNK:
        writeViaLink(name, write);
        return;
    default:
        throw std::runtime_error(name + " is " + kindOf(st.st_mode));
    }
}

} // namespace pmctl
