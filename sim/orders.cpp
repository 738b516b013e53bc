// SPDX-License-Identifier: MIT
// What the simulated sensor answers to each order: its memories, its measurement, and the fault set for the reply.
#include "sensor_sim.h"

#include "faults.h"
#include "measurement.h"

#include <optional>

namespace sim {

namespace {

using Seconds = std::chrono::duration<double>;

constexpr std::size_t kOrderWord = 1; // after the sync word

uint16_t FrameWord(std::span<const uint8_t> frame, std::size_t word)
{
    return static_cast<uint16_t>(frame[kWordBytes * word] << 8 | frame[kWordBytes * word + 1]);
}

} // namespace

uint16_t OrderOf(std::span<const uint8_t> frame)
{
    return FrameWord(frame, kOrderWord);
}

std::vector<uint8_t> SensorSim::respondLocked(const std::vector<uint8_t> &frame, Clock::time_point now, Fault &fault,
                                              Clock::time_point &notBefore)
{
    const uint16_t order = OrderOf(frame);
    Block pp{};
    for (std::size_t i = 0; i < pp.size(); ++i)
        pp[i] = FrameWord(frame, kHeadWords + i);

    std::vector<uint8_t> reply;
    fault = Fault::None;
    notBefore = now;
    if (DropsStore(fault_, faultOrder_, order)) {
        fault = Fault::DropStore;
        return reply;
    }
    // A store that loses a word keeps what that word held before.
    for (std::size_t i = 0; i < pp.size(); ++i)
        if (KeepsOldWord(fault_, faultOrder_, order, i))
            pp[i] = order == StoreEeprom ? eeprom_[i] : ram_[i];
    switch (order) {
    case StoreRam: ram_ = pp; break;
    case StoreEeprom:
        eeprom_ = pp;
        ram_ = pp;
        break;
    case ReadRam: reply = EncodeWords(ram_); break;
    case ReadEeprom: reply = EncodeWords(eeprom_); break;
    case Measure:
        if (fixed_) {
            reply = EncodeWords(*fixed_);
        } else if (replay_) {
            // A replay that has stopped at its end leaves the request unanswered.
            if (const std::optional<Measurement> m = replay_->next(now, &notBefore))
                reply = EncodeWords(*m);
        } else {
            reply = EncodeWords(ScanScene(Seconds(now - epoch_).count(), ram_, rng_));
        }
        break;
    case Identify: reply = IdentBytes(opt_.ident); break;
    default: break;
    }
    if (reply.empty())
        return reply;

    Fault chosen = fault_;
    if (chosen == Fault::None && randomRate_ > 0 && order == Measure &&
        std::uniform_real_distribution<double>(0, 1)(faultRng_) < randomRate_) {
        chosen = DrawReplyFault(faultRng_);
        ++faultsDrawn_[static_cast<std::size_t>(chosen)];
    } else if (fault_ == Fault::None || IsStoreFault(fault_) || (faultOrder_ != 0 && faultOrder_ != order)) {
        return reply;
    }
    fault = chosen;
    // Another client's measurement, for the faults that put one on the line beside the reply.
    std::vector<uint8_t> other;
    if (chosen == Fault::Ahead || chosen == Fault::Tail)
        other = EncodeWords(fixed_ ? *fixed_ : ScanScene(Seconds(now - epoch_).count(), ram_, rng_));
    ApplyFault(chosen, reply, other, rng_);
    return reply;
}

} // namespace sim
