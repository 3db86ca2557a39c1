// What this process holds, counted from /proc: its descriptors and its threads. The counts are
// compared before and after a piece of work (a leak or a thread left behind shows as a
// difference), so the descriptor that the count itself opens is included every time alike.
#ifndef PM_TESTS_PROCESSCOUNTS_H
#define PM_TESTS_PROCESSCOUNTS_H

#include <dirent.h>

namespace proccount {

// The entries of a /proc folder, without "." and "..".
inline int Entries(const char* dir)
{
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

inline int Descriptors()
{
    return Entries("/proc/self/fd");
}

inline int Threads()
{
    return Entries("/proc/self/task");
}

} // namespace proccount

#endif
