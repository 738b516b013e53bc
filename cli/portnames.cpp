// SPDX-License-Identifier: MIT
// How the command line names a port in messages, in the CSV and in file names.
#include "cli/cliargs.h"

namespace cli {

std::string PortName(const PortSpec &port)
{
    if (!port.name.empty())
        return port.name;
    return port.device.empty() ? "COM " + std::to_string(port.com) : port.device;
}

std::string PortFilePart(const PortSpec &port)
{
    if (port.name.empty() && port.device.empty())
        return "com" + std::to_string(port.com);
    std::string part;
    for (char c : port.name.empty() ? port.device : port.name) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '-' || c == '_';
        if (keep)
            part += c;
        else if (!part.empty() && part.back() != '_')
            part += '_';
    }
    while (!part.empty() && part.back() == '_')
        part.pop_back();
    // Only dots left would name the folder itself or its parent.
    if (part.find_first_not_of('.') == std::string::npos)
        part = "port" + std::to_string(port.com);
    return part;
}

std::string PortFile(const std::string &pattern, const PortSpec &port)
{
    const std::string mark = kPortMark;
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = pattern.find(mark, from)) != std::string::npos; from = at + mark.size())
        out += pattern.substr(from, at - from) + PortFilePart(port);
    return out + pattern.substr(from);
}

} // namespace cli
