// The folders that stand in for platform registries (serial devices, the service plane) list
// their entries the same way.
#ifndef PM_STD_MAC_PLATFORM_STANDINDIRECTORY_H
#define PM_STD_MAC_PLATFORM_STANDINDIRECTORY_H

#include <optional>
#include <string>
#include <vector>

// The names of the folder's entries that do not begin with '.', in bytewise order; nullopt when
// the folder cannot be read.
std::optional<std::vector<std::string>> StandInEntries(const std::string& dir);

#endif
