// SPDX-License-Identifier: MIT
// The per-user port directory on POSIX systems: the runtime directory, or one in /tmp named for the user.
#include "io/portdir.h"

#include <cstdlib>

#include <unistd.h>

namespace portdir {

std::string Directory()
{
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg)
        return std::string(xdg) + "/quillex-scope";
    return "/tmp/quillex-scope-" + std::to_string(static_cast<unsigned long>(getuid()));
}

std::string LinkPath(int com)
{
    return Directory() + "/com" + std::to_string(com);
}

} // namespace portdir
