// SPDX-License-Identifier: MIT
// Private to the simulator: how each fault mode bends a reply.
#pragma once

#include "sensor_sim.h"

#include <random>
#include <vector>

namespace sim {

// Whether `fault`, set for `faultOrder` (0 = both stores), swallows the store order `order`.
bool DropsStore(Fault fault, int faultOrder, uint16_t order);
// Whether `fault`, set for `faultOrder` (0 = both stores), has the store order `order` keep word `word` as it was.
bool KeepsOldWord(Fault fault, int faultOrder, uint16_t order, std::size_t word);
// Whether `fault` concerns stores rather than replies.
bool IsStoreFault(Fault fault);

// One of the faults of a reply (NoReply to Late), drawn evenly.
Fault DrawReplyFault(std::mt19937 &rng);

// Reshapes a non-empty reply as `fault` says; `other` is the bytes of another client's measurement (Ahead, Tail).
// Trickle and Late change when bytes go out, not which.
void ApplyFault(Fault fault, std::vector<uint8_t> &reply, const std::vector<uint8_t> &other, std::mt19937 &rng);

} // namespace sim
