// SPDX-License-Identifier: MIT
// quillex-scope-cli: the sensor's protocol from a shell, for scripts, SSH sessions and production lines.
#include "cli/cliargs.h"
#include "cli/commands.h"
#include "io/console.h"
#include "io/rs232.h"

#include <clocale>
#include <cstdio>

int main(int argc, char **argv)
{
    // Before anything opens a file: Qt's event descriptor must not become "standard input".
    if (!console::GuardStandardStreams())
        return cli::kExitFile;
    const cli::ParseResult parsed = cli::ParseArgs(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (!parsed.ok) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", cli::kProgram, parsed.error.c_str(), cli::kProgram);
        return cli::kExitUsage;
    }
    InitComServices(argc, argv);
    std::setlocale(LC_NUMERIC, "C"); // numbers in messages and files read the same everywhere
    return cli::Run(parsed.options);
}
