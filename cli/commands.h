// SPDX-License-Identifier: MIT
// The subcommands of quillex-scope-cli; each returns the process's exit code.
#pragma once

#include "cli/cliargs.h"

namespace cli {

// Runs a parsed command line against the sensor. Messages go to stderr, results to stdout or files.
// Expects InitComServices to have run.
int Run(const Options &options);

} // namespace cli
