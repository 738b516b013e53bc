// SPDX-License-Identifier: MIT
// The simulator's fault modes: replies cut short, lengthened, replaced by noise or withheld, and dropped stores.
#include "faults.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::size_t kMaxGarbage = 120; // longer than any reply, so a garbled one can overflow every wait

} // namespace

bool DropsStore(Fault fault, int faultOrder, uint16_t order)
{
    return fault == Fault::DropStore && (order == StoreRam || order == StoreEeprom) &&
           (faultOrder == 0 || faultOrder == order);
}

bool IsStoreFault(Fault fault)
{
    return fault == Fault::DropStore || fault == Fault::KeepButFirst || fault == Fault::KeepButLast;
}

bool KeepsOldWord(Fault fault, int faultOrder, uint16_t order, std::size_t word)
{
    if ((order != StoreRam && order != StoreEeprom) || (faultOrder != 0 && faultOrder != order))
        return false;
    return (fault == Fault::KeepButFirst && word == 0) || (fault == Fault::KeepButLast && word + 1 == kParaWords);
}

Fault DrawReplyFault(std::mt19937 &rng)
{
    return static_cast<Fault>(std::uniform_int_distribution<int>(1, kFaultKinds - 1)(rng));
}

void ApplyFault(Fault fault, std::vector<uint8_t> &reply, const std::vector<uint8_t> &other, std::mt19937 &rng)
{
    std::uniform_int_distribution<int> byte(0, 255);
    switch (fault) {
    case Fault::NoReply: reply.clear(); break;
    case Fault::ShortByOne: reply.pop_back(); break;
    case Fault::LongByOne: reply.push_back(static_cast<uint8_t>(byte(rng))); break;
    case Fault::Garbage: {
        reply.resize(std::uniform_int_distribution<std::size_t>(1, kMaxGarbage)(rng));
        for (uint8_t &b : reply)
            b = static_cast<uint8_t>(byte(rng));
        break;
    }
    case Fault::Ahead: reply.insert(reply.begin(), other.begin(), other.end()); break;
    case Fault::Tail: reply.insert(reply.end(), other.begin(), other.end()); break;
    case Fault::Ones: std::fill(reply.begin(), reply.end(), uint8_t(0xFF)); break;
    case Fault::Trickle:
    case Fault::Late:
    case Fault::DropStore:
    case Fault::KeepButFirst:
    case Fault::KeepButLast:
    case Fault::None: break;
    }
}

} // namespace sim
