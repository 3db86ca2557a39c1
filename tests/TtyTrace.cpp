#include "TtyTrace.h"

#include <cstdarg>
#include <dlfcn.h>
#include <mutex>
#include <sys/ioctl.h>

namespace {

std::mutex g_mutex;
std::vector<termios> g_applied;
std::vector<int> g_lineStates;
int g_flushes = 0;
bool g_fakeLines = false;

template <typename F> F Next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

namespace ttytrace {

void Reset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_applied.clear();
    g_lineStates.clear();
    g_flushes = 0;
    g_fakeLines = false;
}

std::vector<termios> AppliedSettings()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_applied;
}

std::vector<int> ModemLineStates()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lineStates;
}

int Flushes()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_flushes;
}

void FakeModemLines(bool on)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fakeLines = on;
}

} // namespace ttytrace

extern "C" int tcsetattr(int fd, int action, const struct termios* t) noexcept
{
    static auto real = Next<int (*)(int, int, const struct termios*)>("tcsetattr");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_applied.push_back(*t);
    }
    return real(fd, action, t);
}

extern "C" int tcflush(int fd, int queue) noexcept
{
    static auto real = Next<int (*)(int, int)>("tcflush");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_flushes;
    }
    return real(fd, queue);
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    static auto real = Next<int (*)(int, unsigned long, void*)>("ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == TIOCMSET) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lineStates.push_back(*static_cast<int*>(arg));
        if (g_fakeLines) {
            return 0;
        }
    }
    return real(fd, request, arg);
}
