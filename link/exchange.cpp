// SPDX-License-Identifier: MIT
// The request, the sliced reply wait, the settling of the line and the guard, shared by the panel and the CLI.
#include "link/exchange.h"

#include "core/ScopeState.h"
#include "io/rs232.h"
#include "io/utility.h"

#include <algorithm>

namespace {

// The last look at the queue falls just past the time-out, so a reply completed at its very end still counts.
constexpr double kJustPast = 0.001;
// A reply that missed its time may still be on its way; the next request would take it for its own.
// After a failed reply, whatever arrives until the line has been quiet for a while is discarded.
constexpr double kQuietSeconds = 0.3;
constexpr double kSettleAtMost = 1.0;
constexpr int kBitsPerByte = 1 + kDataBits + kStopBits; // with the start bit

void SettleLine(int com)
{
    const double end = Timer() + kSettleAtMost;
    for (;;) {
        FlushInQ(com);
        const double now = Timer();
        if (now >= end || GetInQLenWait(com, 1, std::min(end, now + kQuietSeconds)) <= 0)
            return;
    }
}

} // namespace

ExchangeResult Exchange(const ExchangeLine &line, int requestBytes, int expected, FlushFirst flush,
                        const ExchangeHook &between)
{
    ExchangeResult r;
    if (flush == FlushFirst::Yes) {
        FlushInQ(line.com);
        FlushOutQ(line.com);
    }
    // The request leaves before anything else the caller wants done meanwhile: the sensor starts on it at once.
    r.written = ComWrt(line.com, line.request, requestBytes);
    r.tstart = Timer();
    if (expected <= 0)
        return r;
    const auto carryOn = [&between] { return !between || between(); };
    const double deadline = r.tstart + line.timeout + kJustPast;
    double hookAt = r.tstart + std::max(0.0, line.hookAfter);
    bool hooked = false;
    int n = 0;
    for (;;) {
        if (Timer() >= hookAt) {
            if (!carryOn()) {
                r.abandoned = true;
                return r;
            }
            hooked = true;
            hookAt = Timer() + kWaitSlice;
        }
        const double sliceEnd = std::min(deadline, hookAt);
        // Blocks in the serial layer until the bytes are there or the slice is over, instead of spinning.
        n = GetInQLenWait(line.com, expected, sliceEnd);
        // Should a layer ever return early without the bytes (a line that is gone), the slice is slept out here:
        // the bound of the wait must not depend on it.
        if (n < expected)
            SleepSeconds(sliceEnd - Timer());
        r.tdiff = Timer() - r.tstart;
        if (r.tdiff > line.timeout || n >= expected)
            break;
    }
    // A reply quicker than the hook's first call still gets it, so a caller that paints there paints on a fast
    // line too.
    if (!hooked && !carryOn()) {
        r.abandoned = true;
        return r;
    }
    // The wait may not have counted what is fewer than it waits for (a port holding its wake-up count).
    if (n < expected)
        n = std::max(n, GetInQLen(line.com));
    r.received = ReadReplyTo(line.com, n, line.reply);
    if (r.received != expected)
        SettleLine(line.com);
    return r;
}

double GuardSince(double since, double length)
{
    double tdiff = 0;
    while (length > tdiff) {
        // Sleep out the rest instead of spinning; the loop condition alone decides when it is over.
        SleepSeconds(since + length - Timer());
        tdiff = Timer() - since;
    }
    return tdiff;
}

int OpenLine(int port, const char *deviceName, double timeout)
{
    const int r = OpenComConfig(port, deviceName, kBaud, kParityNone, kDataBits, kStopBits, kBufSize, kBufSize);
    if (r >= 0) {
        SetComTime(port, timeout);
        FlushInQ(port);
        FlushOutQ(port);
        SetCTSMode(port, kCtsOff);
    }
    return r;
}

double LineSeconds(int bytes)
{
    return static_cast<double>(bytes) * kBitsPerByte / kBaud;
}
