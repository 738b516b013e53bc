// SPDX-License-Identifier: MIT
// Why a serial device cannot be opened, in words a user can act on.
#pragma once

#include <string>

namespace cli {

// "" when the device opens read-write and is a terminal; otherwise the reason: missing, a dangling link,
// no permission (naming the device's group), in use, or not a terminal.
std::string WhyNotOpen(const std::string &path);

} // namespace cli
