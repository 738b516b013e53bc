// SPDX-License-Identifier: MIT
// The simulator's side of the line: request and reply frames, and the timing of reply bytes.
#include "link.h"

#include <algorithm>

namespace sim {

namespace {

using Seconds = std::chrono::duration<double>;

// Gaps between bytes in Trickle mode: well above a 19200 baud byte-time, so a reader sees many reads.
constexpr auto kTrickleGap = std::chrono::milliseconds(3);
// Bits a byte takes on an 8N1 line: start, eight data, stop.
constexpr double kBitsPerByte = 10.0;

} // namespace

Clock::duration ToClock(double seconds)
{
    return std::chrono::duration_cast<Clock::duration>(Seconds(std::max(0.0, seconds)));
}

// Paced bytes are released one byte-time apart, each at the moment its stop bit would have ended on a real line.
Clock::time_point Schedule(std::deque<Chunk> &out, std::vector<uint8_t> reply, Fault fault, int baud, double latency,
                           Clock::time_point firstByte, Clock::time_point now, Clock::time_point notBefore,
                           Clock::time_point &busyUntil)
{
    const Clock::duration byteTime = baud > 0 ? ToClock(kBitsPerByte / baud) : Clock::duration::zero();
    Clock::time_point start = now;
    if (baud > 0)
        start = std::max(start, firstByte + byteTime * static_cast<int>(kRequestBytes));
    start += ToClock(latency);
    start = std::max({start, notBefore, busyUntil}); // a later reply must not overtake an earlier one

    if (fault == Fault::LongByOne) {
        out.push_back({std::move(reply), start, 1, true});
    } else if (fault == Fault::Trickle) {
        const Clock::duration gap = std::max<Clock::duration>(kTrickleGap, byteTime);
        for (std::size_t i = 0; i < reply.size(); ++i)
            out.push_back({{reply[i]}, start + gap * static_cast<int>(i), i + 1 == reply.size() ? 1 : 0, true});
    } else if (baud > 0) {
        for (std::size_t i = 0; i < reply.size(); ++i)
            out.push_back(
                {{reply[i]}, start + byteTime * static_cast<int>(i + 1), i + 1 == reply.size() ? 1 : 0, false});
    } else {
        out.push_back({std::move(reply), start, 1, false});
    }
    busyUntil = out.back().due;
    return start;
}

std::vector<uint8_t> EncodeWords(std::span<const uint16_t> words)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(words.size() * kWordBytes);
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w >> 8));
        bytes.push_back(static_cast<uint8_t>(w & 0xff));
    }
    return bytes;
}

std::vector<uint8_t> IdentBytes(const std::string &text)
{
    std::vector<uint8_t> bytes(kIdentChars * kWordBytes, 0);
    for (std::size_t k = 0; k < kIdentChars; ++k)
        bytes[kWordBytes * k + 1] = k < text.size() ? static_cast<uint8_t>(text[k]) : uint8_t(' ');
    return bytes;
}

std::vector<uint8_t> RequestFrame(uint16_t order, const Block &pp, uint16_t sync)
{
    const std::array<uint16_t, kHeadWords> head{sync, order};
    std::vector<uint8_t> frame = EncodeWords(head);
    const std::vector<uint8_t> body = EncodeWords(pp);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

} // namespace sim
