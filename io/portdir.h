// SPDX-License-Identifier: MIT
// Where COM numbers are bound to devices by name: the per-user port directory.
#pragma once

#include <string>

namespace portdir {

// $XDG_RUNTIME_DIR/quillex-scope, or /tmp/quillex-scope-<uid> when that variable is unset.
// A symbolic link "comN" in it attaches a device to COM number N.
std::string Directory();

// Directory() + "/comN".
std::string LinkPath(int com);

} // namespace portdir
