// SPDX-License-Identifier: MIT
// Reads baud rate and framing from a terminal and writes them the way serial tools do ("19200 8N1").
#include "line.h"

#include <termios.h>

#include <array>
#include <utility>

namespace sim {

namespace {

// The standard rates a terminal can hold; anything else reads as 0.
constexpr std::array<std::pair<speed_t, int>, 31> kRates{{
    {B0, 0},
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B3500000, 3500000},
    {B4000000, 4000000},
}};

} // namespace

bool ReadLineSettings(int fd, LineSettings *line)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    const speed_t speed = cfgetospeed(&t);
    line->baud = 0;
    for (const auto &[code, rate] : kRates)
        if (code == speed)
            line->baud = rate;
    switch (t.c_cflag & CSIZE) {
    case CS5: line->dataBits = 5; break;
    case CS6: line->dataBits = 6; break;
    case CS7: line->dataBits = 7; break;
    default: line->dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        line->parity = 'N';
    else if (t.c_cflag & CMSPAR)
        line->parity = (t.c_cflag & PARODD) ? 'M' : 'S';
    else
        line->parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    line->stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return true;
}

std::string LineText(const LineSettings &line)
{
    return std::to_string(line.baud) + " " + std::to_string(line.dataBits) + line.parity +
           std::to_string(line.stopBits);
}

} // namespace sim
