// SPDX-License-Identifier: MIT
// The request, the sliced reply wait, the settling of the line and the guard, shared by the panel and the CLI.
#include "link/exchange.h"

#include "core/ScopeState.h"
#include "io/rs232.h"
#include "io/utility.h"

#include <algorithm>
#include <utility>

namespace {

// The last look at the queue falls just past the time-out, so a reply completed at its very end still counts.
constexpr double kJustPast = 0.001;
// A reply that missed its time may still be on its way; the next request would take it for its own.
// After a failed reply, whatever arrives until the line has been quiet for a while is discarded.
constexpr double kQuietSeconds = 0.3;
constexpr double kSettleAtMost = 1.0;
// While bytes keep coming, they are let gather this long before they are thrown away: a peer that never stops
// sending costs one look per gathering, not one per byte.
constexpr double kSettleGather = 0.02;
constexpr int kBitsPerByte = 1 + kDataBits + kStopBits; // with the start bit

template <class CarryOn>
void SettleLine(int com, const CarryOn &carryOn)
{
    const double end = Timer() + kSettleAtMost;
    FlushInQ(com);
    double quietSince = Timer();
    for (;;) {
        const double now = Timer();
        if (now - quietSince >= kQuietSeconds || now >= end || !carryOn())
            return;
        if (GetInQLenWait(com, 1, std::min({end, quietSince + kQuietSeconds, now + kWaitSlice})) > 0) {
            SleepSeconds(std::min(kSettleGather, end - Timer()));
            FlushInQ(com);
            quietSince = Timer();
        }
    }
}

// A quiet this short is not waited for: a peer that quick sends what follows a reply along with it.
constexpr double kQuietNotWaited = 0.0001;

// After a reply of the expected length: counts what still comes within `quiet` seconds (when asked for), and on a
// network port lets the time pass that the line would have needed (until `paceUntil`), asleep.
template <class CarryOn>
int AfterReply(const ExchangeLine &line, double quiet, double paceUntil, const CarryOn &carryOn)
{
    int trailing = 0;
    if (line.aloneFor > 0) {
        const double until = std::max(Timer() + quiet, paceUntil);
        trailing =
            std::max(0, until - Timer() < kQuietNotWaited ? GetInQLen(line.com) : GetInQLenWait(line.com, 1, until));
    }
    for (double now = Timer(); now < paceUntil && carryOn(); now = Timer())
        SleepSeconds(std::min(kWaitSlice, paceUntil - now));
    return trailing;
}

} // namespace

ExchangeResult Exchange(const ExchangeLine &line, int requestBytes, int expected, FlushFirst flush,
                        const ExchangeHook &between)
{
    ExchangeResult r;
    // The quiet the last reply of a loop left to this exchange: what came since that reply counts against it, the
    // bytes the flush is about to throw away as much as those that come before this request can be answered.
    const double quietLeft = line.quietLeft ? std::exchange(*line.quietLeft, 0.0) : 0.0;
    if (quietLeft > 0)
        r.trailingBefore = std::max(0, GetInQLen(line.com));
    if (flush == FlushFirst::Yes)
        FlushQueues(line.com);
    // The request leaves before anything else the caller wants done meanwhile: the sensor starts on it at once.
    r.written = ComWrt(line.com, line.request, requestBytes);
    r.tstart = Timer();
    if (quietLeft > 0 && r.trailingBefore == 0)
        r.trailingBefore = std::max(0, GetInQLenWait(line.com, 1, r.tstart + quietLeft));
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
    if (r.received == expected) {
        // A server on the network may answer sooner than any line could carry the request and the reply.
        const double paceUntil = ComOnNetwork(line.com) ? r.tstart + LineSeconds(requestBytes + expected) : 0;
        // A reply that came no sooner than the line could carry the request leaves its quiet to the next request.
        r.quietLeft = line.aloneFor > 0 && line.quietLeft && paceUntil <= 0 && r.tdiff >= LineSeconds(requestBytes);
        if (r.quietLeft)
            *line.quietLeft = line.aloneFor;
        else
            r.trailing = AfterReply(line, line.aloneFor * std::min(1.0, r.tdiff / LineSeconds(requestBytes + expected)),
                                    paceUntil, carryOn);
    }
    if (r.received != expected || r.trailing > 0 || r.trailingBefore > 0)
        SettleLine(line.com, carryOn);
    return r;
}

int QuietAfterLast(int com, double *quietLeft)
{
    const double left = quietLeft ? std::exchange(*quietLeft, 0.0) : 0.0;
    return left > 0 ? std::max(0, GetInQLenWait(com, 1, Timer() + left)) : 0;
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
        FlushQueues(port);
        SetCTSMode(port, kCtsOff);
    }
    return r;
}

double LineSeconds(int bytes)
{
    return static_cast<double>(bytes) * kBitsPerByte / kBaud;
}
