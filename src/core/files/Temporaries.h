// How hidden temporaries are named on every system: ".oz-", the pid of the process that made
// it, a dash, then what it is. A process that was killed cannot remove its own; the name lets the
// next run that writes into the same folder tell them from those of a process still at work.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

namespace oz::core {

inline std::string temporaryName(unsigned long pid, const std::string &tail)
{
    return ".oz-" + std::to_string(pid) + "-" + tail;
}

// The pid in a temporary's name, or 0 when the name is not one of ours.
inline unsigned long temporaryOwner(const char *name)
{
    if (std::strncmp(name, ".oz-", 4) != 0 || name[4] < '0' || name[4] > '9')
        return 0;
    char *end = nullptr;
    const unsigned long pid = std::strtoul(name + 4, &end, 10);
    return *end == '-' && pid < (1ul << 31) ? pid : 0;
}

} // namespace oz::core
