#include "DriverWire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace pmwire {

namespace {

[[noreturn]] void ThrowErrno(int error, const std::string& what)
{
    throw std::system_error(error, std::generic_category(), what);
}

sockaddr_un Address(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        ThrowErrno(ENAMETOOLONG, path);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

// True when a driver listens on the address now.
bool Listening(const sockaddr_un& addr)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// A plane whose folder others may write to, or that another user owns, is not the driver's to
// serve: anyone could put a socket of their own at its name.
void CheckPlane(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ThrowErrno(errno, dir);
    }
    struct stat st {};
    int r = fstat(fd, &st);
    int saved = errno;
    close(fd);
    if (r != 0) {
        ThrowErrno(saved, dir);
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        ThrowErrno(EPERM, dir + ": the plane belongs to uid " + std::to_string(st.st_uid));
    }
    if ((st.st_mode & S_IWOTH) != 0) {
        ThrowErrno(EPERM, dir + ": the plane is writable by others");
    }
}

} // namespace

uint32_t Word(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4); // the protocol is little-endian, as this machine
    return v;
}

void PutWord(std::string& out, uint32_t v)
{
    char b[4];
    std::memcpy(b, &v, 4);
    out.append(b, 4);
}

Parsed ParseRequest(const uint8_t* msg, std::size_t n, Request& out)
{
    if (n < 4) {
        return Parsed::NoTag;
    }
    out = Request{};
    out.tag = Word(msg);
    if (n < 24) {
        return Parsed::Malformed;
    }
    const uint32_t nIn = Word(msg + 8), sIn = Word(msg + 12), nOut = Word(msg + 16),
                   sOut = Word(msg + 20);
    if (nIn > kMaxScalars || sIn > kMaxStructure || nOut > kMaxScalars || sOut > kMaxStructure ||
        n != 24 + 4 * static_cast<std::size_t>(nIn) + sIn) {
        return Parsed::Malformed;
    }
    out.selector = Word(msg + 4);
    for (uint32_t i = 0; i < nIn; ++i) {
        out.scalars.push_back(static_cast<int32_t>(Word(msg + 24 + 4 * i)));
    }
    out.structure.assign(reinterpret_cast<const char*>(msg) + 24 + 4 * nIn, sIn);
    out.scalarsOut = nOut;
    out.structureOut = sOut;
    return Parsed::Ok;
}

std::string EncodeReply(uint32_t tag, int32_t result, const std::vector<int32_t>& scalars,
                        const std::string& structure)
{
    std::string msg;
    msg.reserve(16 + 4 * scalars.size() + structure.size());
    PutWord(msg, tag);
    PutWord(msg, static_cast<uint32_t>(result));
    PutWord(msg, static_cast<uint32_t>(scalars.size()));
    PutWord(msg, static_cast<uint32_t>(structure.size()));
    for (int32_t s : scalars) {
        PutWord(msg, static_cast<uint32_t>(s));
    }
    msg += structure;
    return msg;
}

int ListenInPlane(const std::string& dir, const std::string& name, gid_t group)
{
    const std::string path = dir + "/" + name;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    CheckPlane(dir);
    sockaddr_un addr = Address(path);
    if (Listening(addr)) {
        ThrowErrno(EADDRINUSE, path + ": another driver serves it");
    }
    // A socket file left by a driver that died is removed; anything else at the name (a file, a
    // device, a link) is not a driver's to remove.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            ThrowErrno(EEXIST, path + ": not a socket, so not a driver's to replace (remove it, "
                                      "or choose another plane)");
        }
        unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        ThrowErrno(errno, "socket");
    }
    // Nobody can connect before listen, so the mode and group are set in between.
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        fchownat(AT_FDCWD, path.c_str(), static_cast<uid_t>(-1), group, AT_SYMLINK_NOFOLLOW) != 0 ||
        chmod(path.c_str(), 0660) != 0 || listen(fd, 16) != 0) {
        int saved = errno;
        close(fd);
        unlink(path.c_str());
        ThrowErrno(saved, path);
    }
    return fd;
}

bool PeerAllowed(int fd, gid_t group, std::string* who)
{
    ucred peer{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        *who = std::string("a client without credentials (") + std::strerror(errno) + ")";
        return false;
    }
    *who = "uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) + ")";
    if (peer.uid == 0 || peer.uid == geteuid() || peer.gid == group) {
        return true;
    }
    std::vector<gid_t> groups(64);
    for (;;) {
        socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
            groups.resize(bytes / sizeof(gid_t));
            break;
        }
        if (errno != ERANGE || groups.size() >= 65536) {
            return false;
        }
        groups.resize(bytes / sizeof(gid_t) + 1);
    }
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

long ReceiveRequest(int fd, std::vector<uint8_t>& buf)
{
    ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n > 0 && static_cast<std::size_t>(n) > kMaxRequest) {
        return 0;
    }
    return static_cast<long>(n);
}

bool SendReply(int fd, const std::string& reply)
{
    return send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(reply.size());
}

void LimitSendWait(int fd)
{
    timeval limit = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

} // namespace pmwire
