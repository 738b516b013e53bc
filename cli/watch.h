// SPDX-License-Identifier: MIT
// watch: live measurements of one sensor or of several at once, as CSV lines.
#pragma once

#include "cli/cliargs.h"

namespace cli {

// One sensor: its header, then "time,R,G,B,X,Y,INT,COL" lines. Several: a header naming every port, then
// "time,port,R,G,B,X,Y,INT,COL" lines, each sensor polled by a thread of its own at its own pace. Returns the
// exit code; expects InitComServices and the port directory to be set.
int Watch(const Options &options);

} // namespace cli
