// SPDX-License-Identifier: MIT
// CSV lines and their header for the panel's recording and the command line's watch.
#include "core/csvrecord.h"

#include <cstdio>
#include <ctime>

namespace csvrec {

std::string Timestamp(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(ms / 1000);
    long frac = static_cast<long>(ms % 1000);
    if (frac < 0) {
        frac += 1000;
        --secs;
    }
    tm local{};
    localtime_r(&secs, &local);
    const long off = local.tm_gmtoff / 60;
    const long absOff = off < 0 ? -off : off;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, frac, off < 0 ? '-' : '+',
                  absOff / 60, absOff % 60);
    return text;
}

std::string MeasurementLine(std::chrono::system_clock::time_point when, DataBlock data)
{
    std::string line = Timestamp(when);
    for (const uint16_t word : data)
        line += "," + std::to_string(word);
    return line + "\n";
}

std::string MeasurementLine(std::chrono::system_clock::time_point when, const std::string &port, DataBlock data)
{
    const std::string line = MeasurementLine(when, data);
    const std::size_t comma = line.find(',');
    return line.substr(0, comma) + "," + port + line.substr(comma);
}

std::string PortHeader(const std::string &port, const std::string &ident, ParaBlock ramBlock)
{
    std::string clean;
    for (char c : ident) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            break;
        clean += c;
    }
    while (!clean.empty() && clean.back() == ' ')
        clean.pop_back();
    std::string text = "# port: " + port + "\n# ident: " + clean + "\n# RAM:";
    for (const uint16_t word : ramBlock)
        text += " " + std::to_string(word);
    return text + "\n";
}

std::string Header(const std::string &program, const std::string &port, const std::string &ident,
                   ParaBlock ramBlock)
{
    return "# " + program + "\n" + PortHeader(port, ident, ramBlock) + kColumns + "\n";
}

} // namespace csvrec
