// SPDX-License-Identifier: MIT
// Time base on the monotonic clock, so that no wait is ever cut short or stretched by a clock change.
#include "ui/utility.h"

#include <chrono>
#include <thread>

double Timer()
{
    using clock = std::chrono::steady_clock;
    static const clock::time_point origin = clock::now();
    return std::chrono::duration<double>(clock::now() - origin).count();
}

void SleepSeconds(double seconds)
{
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}
