// SPDX-License-Identifier: MIT
// Commands run beside the program (a user's alarm script), started without waiting and collected when done; no Qt.
#pragma once

#include <string>
#include <vector>

namespace spawn {

// Starts `command` with the system's shell (sh -c) in the program's environment plus `extra` ("NAME=value"
// each, replacing a variable of that name). Its standard input is empty and its standard output goes where the
// program's standard error goes, since the program's own output may be a log; signals the program catches or
// ignores are the default again for it. Returns its process id, or 0 with *why.
long Start(const std::string &command, const std::vector<std::string> &extra, std::string *why);

// Whether the command `id` has ended, without waiting; then *status is its exit code, or 128 + the signal that
// ended it. An id that is not (or no longer) a child of this program counts as ended with -1.
bool Ended(long id, int *status);

} // namespace spawn
