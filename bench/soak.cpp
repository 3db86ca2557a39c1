// pmsoak: thousands of open/close cycles and exchanges on a simulated cable (a pseudo-terminal),
// counting the process's descriptors, threads and memory before and after. Any growth of
// descriptors, threads or heap in use, or any failed call, ends it with status 1.
//
//   pmsoak [--cycles N] [--exchanges M] [--warmup W]
//
// Each cycle opens the port, makes M echo exchanges of 64 bytes, and closes it; every
// connection is logged to a temporary folder, so the log's save runs each time too. The first W
// cycles settle what is allocated once (the log's buffers, the allocator's thread caches) before
// the counts are taken.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "CableSim.h"
#include "ProcessCounts.h"
#include "portmdl/PortMdl.h"

namespace {

struct Counts {
    int descriptors;
    int threads;
    long residentKiB;
    size_t heapInUse;
};

Counts measure()
{
    Counts c{proccount::Descriptors(), proccount::Threads(), 0,
             mallinfo2().uordblks};
    if (FILE* f = std::fopen("/proc/self/statm", "re")) {
        long size = 0, resident = 0;
        if (std::fscanf(f, "%ld %ld", &size, &resident) == 2) {
            c.residentKiB = resident * (sysconf(_SC_PAGESIZE) / 1024);
        }
        std::fclose(f);
    }
    return c;
}

// One open, m exchanges and a close; false when any call failed.
bool cycle(pmsim::CableSim& cable, int exchanges)
{
    bool ok = PM_OpenPortByDeviceName(cable.SlavePath().c_str()) == 1;
    ok = ok && PM_SetRxTimeout(3000) == 1;
    uint8_t out[64], in[64];
    for (int i = 0; ok && i < exchanges; ++i) {
        for (int k = 0; k < 64; ++k) {
            out[k] = static_cast<uint8_t>(i * 7 + k);
        }
        ok = PM_TxBytes(64, out) == 1 && PM_RxBytes(64, in) == 1 && std::memcmp(out, in, 64) == 0;
    }
    ok = PM_ClosePort() == 1 && ok;
    cable.ClearReceived();
    return ok;
}

int argument(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::atoi(argv[i + 1]);
        }
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv)
{
    const int cycles = argument(argc, argv, "--cycles", 1000);
    const int exchanges = argument(argc, argv, "--exchanges", 10);
    const int warmup = argument(argc, argv, "--warmup", 3);

    char folder[] = "/tmp/pmsoak.XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    std::string logFolder = std::string(folder) + "/";
    PM_Log_SetUserInfo(logFolder.c_str(), "soak");
    int failures = 0;
    Counts before{}, after{};
    {
        pmsim::CableSim cable;
        cable.SetEcho(true);
        measure(); // the measurement's own first-time allocations are not the port's
        for (int i = 0; i < warmup; ++i) {
            failures += !cycle(cable, exchanges);
        }
        before = measure();
        for (int i = 0; i < cycles; ++i) {
            failures += !cycle(cable, exchanges);
        }
        after = measure();
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    std::printf("cycles %d, exchanges per cycle %d, failed cycles %d\n", cycles, exchanges,
                failures);
    std::printf("%-22s %12s %12s\n", "", "before", "after");
    std::printf("%-22s %12d %12d\n", "descriptors", before.descriptors, after.descriptors);
    std::printf("%-22s %12d %12d\n", "threads", before.threads, after.threads);
    std::printf("%-22s %12zu %12zu\n", "heap in use (bytes)", before.heapInUse, after.heapInUse);
    std::printf("%-22s %12ld %12ld\n", "resident (KiB)", before.residentKiB, after.residentKiB);
    bool grew = after.descriptors > before.descriptors || after.threads > before.threads ||
                after.heapInUse > before.heapInUse;
    if (grew) {
        std::printf("GROWTH\n");
    }
    return failures != 0 || grew ? 1 : 0;
}
