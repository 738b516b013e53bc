// SPDX-License-Identifier: MIT
// Why a serial device cannot be opened, in words a user can act on.
#pragma once

#include <string>

namespace cli {

// "" when the device opens read-write and is a terminal; otherwise the reason: missing, a dangling link,
// no permission (naming the device's group), in use, or not a terminal.
std::string WhyNotOpen(const std::string &path);

// Why the serial services refused a device they were asked to open: WhyNotOpen's reason, or, when the device
// itself opens and is a terminal, that another program holds it (a port serves one program at a time).
std::string WhyRefused(const std::string &path);

// What can be told against using the device without opening it (nothing is opened, so the line is not
// touched): WhyNotOpen's reasons that need no open, or "in use by PROGRAM (pid N)" and the lock file that says
// so; "" when nothing speaks against it.
std::string WhyNotFree(const std::string &path);

} // namespace cli
