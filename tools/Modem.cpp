#include "Modem.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include "ModemDriverSim.h"
#include "Port.h"
#include "Text.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

namespace fs = std::filesystem;

constexpr char kDefaultPlane[] = "/run/portmdl/services";
constexpr char kModemClass[] = "ORVUDSCDMADriver";

// What a plane entry is, as the module would find it when it connects.
std::string describeEntry(const fs::path& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? "a link to nothing: no driver" : std::strerror(errno);
    if (!S_ISSOCK(st.st_mode))
        return "not a socket: no driver";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string text = path.string();
    if (text.size() >= sizeof addr.sun_path)
        return "path too long to connect to";
    std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::strerror(errno);
    int ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    int error = errno;
    ::close(fd);
    if (ok == 0)
        return "a driver listens";
    if (error == ECONNREFUSED)
        return "nobody listens (left by a driver that ended)";
    if (error == EPROTOTYPE)
        return "a socket of another kind: no driver";
    return std::strerror(error);
}

void check(int32_t ok, const std::string& what)
{
    if (!ok)
        throw moduleFailure(what + " failed");
}

void printBytes(const char* label, const std::string& bytes)
{
    auto rows = hexRows(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    for (size_t r = 0; r < rows.size(); ++r)
        std::cout << (r == 0 ? label : "        ") << rows[r] << "\n";
}

// Sets PM_USERCLIENT_DIR for the demo and puts the old value back.
class PlaneEnvironment {
  public:
    explicit PlaneEnvironment(const std::string& dir)
    {
        if (const char* old = std::getenv("PM_USERCLIENT_DIR"))
            m_old = old;
        ::setenv("PM_USERCLIENT_DIR", dir.c_str(), 1);
    }
    ~PlaneEnvironment()
    {
        if (m_old)
            ::setenv("PM_USERCLIENT_DIR", m_old->c_str(), 1);
        else
            ::unsetenv("PM_USERCLIENT_DIR");
    }
    PlaneEnvironment(const PlaneEnvironment&) = delete;
    PlaneEnvironment& operator=(const PlaneEnvironment&) = delete;

  private:
    std::optional<std::string> m_old;
};

} // namespace

std::string userClientDir()
{
    const char* dir = std::getenv("PM_USERCLIENT_DIR");
    return dir != nullptr && *dir ? dir : kDefaultPlane;
}

int runListServices()
{
    std::string dir = userClientDir();
    bool fromEnv = dir != kDefaultPlane;
    std::cout << "user-client services in " << dir << (fromEnv ? " (PM_USERCLIENT_DIR)" : "")
              << ":\n";
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        std::cout << "  none: the folder does not exist (a modem driver such as pmsim-modem "
                     "creates it; PM_USERCLIENT_DIR names another)\n";
        return 0;
    }
    std::vector<std::string> names;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name[0] != '.')
            names.push_back(name);
    }
    if (ec) {
        std::cerr << "pmctl: cannot read " << dir << ": " << ec.message() << "\n";
        return 1;
    }
    if (names.empty()) {
        std::cout << "  none: no driver serves a class here\n";
        return 0;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::cout << "  " << name << "  " << describeEntry(fs::path(dir) / name)
                  << (name == kModemClass ? " (cable type 5 opens it)" : "") << "\n";
    }
    return 0;
}

std::string modemOpenHint()
{
    std::string dir = userClientDir();
    const std::string plane = dir + " (PM_USERCLIENT_DIR)";
    // The module's system reason names the cases that have a cure of their own.
    switch (PM_GetSysErr()) {
    case EBUSY:
        return "the phone is busy: the modem driver in " + plane + " serves another host (one "
               "at a time) or another program holds the phone's tty; it is free once that "
               "host closes its port";
    case ENODEV:
        return "the modem driver in " + plane + " has no phone: plug it in or switch it on; "
               "portmdl-modemd logs what it sees (journalctl -u 'portmdl-modemd@*')";
    case EACCES:
        return "the modem driver in " + plane + " does not serve this user: join its group "
               "(sudo usermod -aG dialout $USER, then log in again) or start it with "
               "--allow-group";
    case EPERM:
        return "the module does not trust the driver in " + plane + ": the folder must belong "
               "to root or you and not be writable by others, and the driver must run as root, "
               "you or the user PM_USERCLIENT_UID names";
    default:
        break;
    }
    // A driver that listens but refuses the open for another reason may have lost its phone (a
    // driver need not say so); only without one is starting a driver the cure.
    if (describeEntry(fs::path(dir) / kModemClass) == "a driver listens")
        return "the modem driver in " + dir +
               " (PM_USERCLIENT_DIR) answered but refused the open: its phone may be unplugged "
               "or switched off; portmdl-modemd logs what it sees (journalctl -u "
               "'portmdl-modemd@*')";
    const std::string start = "pmsim-modem --dir " + dir + " --echo &";
    return "no modem driver answered in " + dir + " (PM_USERCLIENT_DIR): start one, for example '" +
           start + "', and see 'pmctl list'";
}

void runModemDemo(const fs::path& scratch, const std::function<void(const std::string&)>& step)
{
    fs::path plane = scratch / "services";
    step("The USB modem cable: a simulated modem driver serves " + std::string(kModemClass) +
         " in " + plane.string());
    pmsim::ModemDriverSim driver(plane.string());
    const std::pair<std::string, std::string> exchanges[] = {
        {"AT\r", "\r\nOK\r\n"},
        {"ATI\r", "\r\nSimulated phone modem\r\n\r\nOK\r\n"},
    };
    for (const auto& [command, answer] : exchanges)
        driver.AddReply(command, answer);
    PlaneEnvironment environment(plane.string());
    std::cout << "    PM_USERCLIENT_DIR=" << plane.string() << "; pmsim-modem does the same in a "
              << "process of its own\n";

    step("PM_SetInfo: cable type 5, then PM_OpenPort(0) and PM_SetRxTimeout(1000)");
    int32_t env[2] = {5, 0};
    PM_SetInfo(env);
    if (!PM_OpenPort(0))
        throw moduleFailure("PM_OpenPort failed", modemOpenHint());
    PortGuard guard;
    check(PM_SetRxTimeout(1000), "PM_SetRxTimeout");
    std::cout << "    port open, connection handle " << PM_GetPortHandle() << "\n";

    step("Exchange through the driver's read and write requests");
    for (const auto& [command, expected] : exchanges) {
        check(PM_TxBytes(static_cast<int32_t>(command.size()),
                         reinterpret_cast<const uint8_t*>(command.data())),
              "PM_TxBytes");
        printBytes("    SD> ", command);
        std::string answer(expected.size(), '\0');
        check(PM_RxBytes(static_cast<int32_t>(answer.size()),
                         reinterpret_cast<uint8_t*>(answer.data())),
              "PM_RxBytes");
        printBytes("    RD< ", answer);
    }

    step("PM_ClosePort: the driver sees its client go");
    guard.close();
    std::cout << "    port closed\n";
}

} // namespace pmctl
