// pmctl demo: a whole host session against a simulated cable. The simulator plays the phone's side
// of the pseudo-terminal; the module is driven only through its public interface.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "CableSim.h"
#include "Commands.h"
#include "LogHtml.h"
#include "LogReader.h"
#include "LogTranscript.h"
#include "Modem.h"
#include "Text.h"
#include "portmdl/PortMdl.h"

namespace pmctl {

namespace {

namespace fs = std::filesystem;

// The temporary folder of the demo, and the environment it changed; both undone however the demo
// ends.
class DemoWorld {
  public:
    DemoWorld()
    {
        std::error_code ec;
        fs::path temp = fs::temp_directory_path(ec);
        std::string templ = (temp / "pmctl-demo-XXXXXX").string();
        if (ec || ::mkdtemp(templ.data()) == nullptr) {
            throw Failure(
                "cannot create a temporary folder in " + (ec ? "$TMPDIR" : temp.string()) + " (" +
                (ec ? ec.message() : std::strerror(errno)) + "): set TMPDIR to a writable folder");
        }
        m_root = templ;
        if (!fs::create_directory(registry(), ec) || !fs::create_directory(logFolder(), ec)) {
            fs::remove_all(m_root, ec);
            throw Failure("cannot create folders in " + m_root.string() +
                          ": set TMPDIR to a writable folder");
        }
        if (const char* old = std::getenv("PM_SERIAL_REGISTRY"))
            m_oldRegistry = old;
        ::setenv("PM_SERIAL_REGISTRY", registry().c_str(), 1);
    }
    ~DemoWorld()
    {
        if (m_oldRegistry)
            ::setenv("PM_SERIAL_REGISTRY", m_oldRegistry->c_str(), 1);
        else
            ::unsetenv("PM_SERIAL_REGISTRY");
        std::error_code ec;
        if (m_keep)
            fs::remove_all(registry(), ec); // the link would point at a vanished terminal
        else
            fs::remove_all(m_root, ec);
    }
    DemoWorld(const DemoWorld&) = delete;
    DemoWorld& operator=(const DemoWorld&) = delete;

    fs::path registry() const { return m_root / "registry"; }
    fs::path logFolder() const { return m_root / "log"; }
    void keep() { m_keep = true; }

  private:
    fs::path m_root;
    std::optional<std::string> m_oldRegistry;
    bool m_keep = false;
};

int g_step = 0;

void step(const std::string& what)
{
    stopIfRequested();
    // Each step shows when it starts, also through a pipe.
    std::cout << "\n[" << ++g_step << "] " << what << std::endl;
}

void check(int32_t ok, const std::string& what)
{
    if (!ok)
        throw moduleFailure(what + " failed");
}

void printBytes(const char* label, const uint8_t* data, size_t size)
{
    auto rows = hexRows(data, size);
    for (size_t r = 0; r < rows.size(); ++r)
        std::cout << (r == 0 ? label : "        ") << rows[r] << "\n";
}

void exchange(const std::string& command, size_t answerLength)
{
    auto bytes = reinterpret_cast<const uint8_t*>(command.data());
    check(PM_TxBytes(static_cast<int32_t>(command.size()), bytes), "PM_TxBytes");
    printBytes("    SD> ", bytes, command.size());
    std::vector<uint8_t> answer(answerLength);
    check(PM_RxBytes(static_cast<int32_t>(answer.size()), answer.data()), "PM_RxBytes");
    printBytes("    RD< ", answer.data(), answer.size());
}

// The session's page outlives the demo's folder: it is what the demo leaves to look at.
fs::path writeSessionPage(const pmlog::Log& log)
{
    std::error_code ec;
    fs::path temp = fs::temp_directory_path(ec);
    std::string name = (temp / "pmctl-session-XXXXXX.html").string();
    int fd = ec ? -1 : ::mkostemps(name.data(), 5, O_CLOEXEC);
    if (fd < 0) {
        throw Failure("cannot create the session's page in " + (ec ? "$TMPDIR" : temp.string()) +
                      ": set TMPDIR to a writable folder");
    }
    ::fchmod(fd, 0644); // a page to look at and hand on, as every page pmctl writes
    ::close(fd);
    try {
        pmlog::saveHtmlPage(name, [&](pmlog::LogSink& page) { pmlog::replay(log, page); });
    } catch (const std::exception& e) {
        ::unlink(name.c_str());
        throw Failure(e.what());
    }
    return name;
}

} // namespace

int runDemo(bool keep)
{
    DemoWorld world;
    if (keep)
        world.keep();

    const std::string okAnswer = "\r\nOK\r\n";
    const std::string idAnswer = "\r\nSimulated phone cable\r\n\r\nOK\r\n";
    pmsim::CableSim cable;
    cable.AddReply("AT\r", okAnswer);
    cable.AddReply("ATI\r", idAnswer);
    fs::path link = world.registry() / "usbmodem1421";
    fs::create_symlink(cable.SlavePath(), link);
    std::cout << "A simulated phone cable answers on " << cable.SlavePath()
              << ".\nPM_SERIAL_REGISTRY=" << world.registry().string()
              << " lists it as the serial device usbmodem1421.\n";

    step("PM_Log_SetUserInfo: log into " + world.logFolder().string() + "/");
    std::string folder = world.logFolder().string() + "/";
    PM_Log_SetUserInfo(folder.c_str(), "demo-phone");

    step("PM_SetInfo: cable type 1002 (opens the first device named usbmodem*)");
    int32_t env[2] = {1002, 0};
    PM_SetInfo(env);

    step("PM_CountDevices / PM_GetDeviceName: the serial devices");
    for (const std::string& device : listDevices())
        std::cout << "    " << device << "\n";

    step("PM_OpenPort(0), then PM_SetRxTimeout(1000)");
    if (!PM_OpenPort(0)) {
        throw moduleFailure("PM_OpenPort failed",
                            PM_GetCommErr() == 0 ? "no device matched the cable type" : "");
    }
    PortGuard guard;
    check(PM_SetRxTimeout(1000), "PM_SetRxTimeout");
    std::cout << "    port open, handle " << PM_GetPortHandle() << "\n";

    step("PM_SetBPS(8): 115200 bit/s");
    check(PM_SetBPS(8), "PM_SetBPS");
    std::cout << "    PM_GetBPS() = " << PM_GetBPS() << "\n";

    step("AT exchange: PM_TxBytes, then PM_RxBytes of the exact answer");
    PM_Log_WriteMessage("demo: AT exchange");
    exchange("AT\r", okAnswer.size());
    exchange("ATI\r", idAnswer.size());

    step("PM_RxBytes(4) with nothing coming, receive time-out 300 ms");
    check(PM_SetRxTimeout(300), "PM_SetRxTimeout");
    uint8_t none[4];
    if (PM_RxBytes(4, none)) {
        std::cout << "    unexpected: 4 bytes arrived\n";
    } else {
        std::cout << "    failed as expected: module error " << moduleErrorText(PM_GetCommErr())
                  << "\n";
        PM_Log_TimeOutInBuf(300, 0);
        PM_ClearCommErr();
    }
    check(PM_SetRxTimeout(1000), "PM_SetRxTimeout");

    step("PM_IsChargableCable: the cable's identification (an AT dialogue of about 4 s)");
    uint16_t info[3] = {0, 0, 0};
    check(withProgress("AT dialogue", [&] { return PM_IsChargableCable(info); }),
          "PM_IsChargableCable");
    std::cout << "    cable info: " << info[0] << " " << info[1] << " " << info[2] << "\n";

    step("PM_ChargeEnable: charging on (about 4 s)");
    check(withProgress("AT dialogue", [] { return PM_ChargeEnable(); }), "PM_ChargeEnable");
    std::cout << "    the cable says charging is " << (cable.ChargeState() == 1 ? "on" : "not on")
              << "\n";

    step("PM_ChargeDisable: charging off (about 6 s)");
    check(withProgress("AT dialogue", [] { return PM_ChargeDisable(); }), "PM_ChargeDisable");
    std::cout << "    the cable says charging is " << (cable.ChargeState() == 0 ? "off" : "not off")
              << "\n";

    step("PM_ClosePort: the log communication is saved to PM_LOG.dat");
    guard.close();
    std::cout << "    port closed\n";

    runModemDemo(world.logFolder().parent_path(), step);
    demoBluetooth(world.logFolder().parent_path().string(), step);

    // A command is printed only for a folder that outlives the demo.
    step(keep ? "pmctl log " + world.logFolder().string() + ": the decoded log"
              : std::string("The decoded log, as 'pmctl log FOLDER' prints it (--keep keeps the "
                            "folder)"));
    pmlog::Log log = pmlog::readLog(world.logFolder());
    pmlog::printTranscript(std::cout, log);
    fs::path page = writeSessionPage(log);
    std::cout << "\nThe page of this session: " << page.string()
              << "\n(open it in a browser; 'pmctl log --html' makes one of any log)\n";
    if (keep)
        std::cout << "\nThe log stays in " << world.logFolder().string() << "/\n";
    std::cout << "\nDemo finished.\n";
    return 0;
}

} // namespace pmctl
