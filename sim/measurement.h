// SPDX-License-Identifier: MIT
// Private to the simulator: one noisy scan of the drifting demo scene.
#pragma once

#include "sensor_sim.h"

#include <random>

namespace sim {

// What the sensor measures `seconds` after start with the LED power and averaging of `ram`.
Measurement ScanScene(double seconds, const Block &ram, std::mt19937 &rng);

} // namespace sim
