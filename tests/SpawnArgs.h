// The argument vector posix_spawn wants, pointing into words (which must outlive it).
#ifndef TESTS_SPAWNARGS_H
#define TESTS_SPAWNARGS_H

#include <string>
#include <vector>

namespace spawnargs {

inline std::vector<char*> ArgvOf(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    return argv;
}

} // namespace spawnargs

#endif
