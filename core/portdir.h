// SPDX-License-Identifier: MIT
// Where COM numbers are bound to devices by name: the per-user port directory.
#pragma once

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace portdir {

// $XDG_RUNTIME_DIR/quillex-scope, or /tmp/quillex-scope-<uid> when that variable is unset.
// A symbolic link "comN" in it attaches a device to COM number N.
inline std::string Directory()
{
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg)
        return std::string(xdg) + "/quillex-scope";
    return "/tmp/quillex-scope-" + std::to_string(static_cast<unsigned long>(getuid()));
}

inline std::string LinkPath(int com)
{
    return Directory() + "/com" + std::to_string(com);
}

} // namespace portdir
