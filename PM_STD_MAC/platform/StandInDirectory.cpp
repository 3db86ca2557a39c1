#include "StandInDirectory.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>

std::optional<std::vector<std::string>> StandInEntries(const std::string& dir)
{
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d.get());
        if (e == nullptr) {
            if (errno != 0) {
                return std::nullopt;
            }
            break;
        }
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    // std::string compares its characters as unsigned bytes, independent of the locale.
    std::sort(names.begin(), names.end());
    return names;
}
