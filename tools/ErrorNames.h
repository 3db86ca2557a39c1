// The module's error codes by name, for every place pmctl shows one: a failed call's message and
// the error slots of a log's closing summary.
#ifndef PMCTL_ERRORNAMES_H
#define PMCTL_ERRORNAMES_H

namespace pmctl {

struct ModuleError {
    long long code;
    const char* constant; // the name in portmdl/PortMdl.h: "PM_ERR_TIMEOUT"
    const char* brief;    // a few words: "time-out"
    const char* meaning;  // what happened, for a message
};

// The entry of a code the module records, or nullptr for any other number.
const ModuleError* findModuleError(long long code);

} // namespace pmctl

#endif // PMCTL_ERRORNAMES_H
