// SPDX-License-Identifier: MIT
// Fuzzes quillex-scope-cli's argument parser and the reading of the parameter file named on its command line.
//
// Input: arguments separated by NUL bytes; after the first pair of NUL bytes, the contents of the parameter file.
#include "cli/cliargs.h"
#include "cli/paramfile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One scratch file per fuzzing process; the parser's own file names are never opened.
struct Scratch {
    std::string path = "/tmp/fuzz_cli_args." + std::to_string(getpid()) + ".dat";
    ~Scratch() { std::remove(path.c_str()); }
};

const std::string &ScratchFile()
{
    static const Scratch scratch;
    return scratch.path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t split = input.find(std::string("\0\0", 2));
    const std::string argText = input.substr(0, split);
    std::vector<std::string> args;
    std::size_t start = 0;
    for (;;) {
        const std::size_t nul = argText.find('\0', start);
        args.push_back(argText.substr(start, nul - start));
        if (nul == std::string::npos)
            break;
        start = nul + 1;
    }
    if (argText.empty())
        args.clear();

    const cli::ParseResult r = cli::ParseArgs(args);
    if (!r.ok) {
        if (r.error.empty())
            __builtin_trap(); // a refusal must always say why
        return 0;
    }
    if (r.options.command == cli::Command::Help && cli::HelpText(r.options.helpFor).empty())
        __builtin_trap();
    // Every accepted command names at least one port, each once, and no two ports share a file of get's.
    const std::vector<cli::PortSpec> &ports = r.options.ports;
    if (ports.empty() || ports.size() > static_cast<std::size_t>(cli::kMaxPorts))
        __builtin_trap();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].device.empty() && (ports[i].com < 1 || ports[i].com > cli::kMaxCom))
            __builtin_trap();
        for (std::size_t j = 0; j < i; ++j) {
            if (cli::PortName(ports[i]) == cli::PortName(ports[j]))
                __builtin_trap();
            if (r.options.command == cli::Command::Get && ports.size() > 1 &&
                cli::PortFile(r.options.file, ports[i]) == cli::PortFile(r.options.file, ports[j]))
                __builtin_trap();
        }
    }

    if (split == std::string::npos || r.options.file.empty())
        return 0;
    const std::string contents = input.substr(split + 2);
    if (FILE *f = std::fopen(ScratchFile().c_str(), "wb")) {
        std::fwrite(contents.data(), 1, contents.size(), f);
        std::fclose(f);
    }
    uint16_t block[kParaWords];
    for (uint16_t &w : block)
        w = 0xA5A5;
    std::string why;
    if (cli::LoadParameterFile(ScratchFile(), block, &why)) {
        // What loads must save as a file that loads to the same block.
        uint16_t again[kParaWords] = {};
        if (!cli::SaveParameterFile(ScratchFile(), block, &why) || !cli::LoadParameterFile(ScratchFile(), again, &why))
            __builtin_trap();
        for (int i = 0; i < kParaWords; ++i)
            if (again[i] != block[i])
                __builtin_trap();
    } else {
        for (uint16_t w : block)
            if (w != 0xA5A5)
                __builtin_trap(); // a refused file must change nothing
    }
    return 0;
}
