// SPDX-License-Identifier: MIT
// Private to the simulator: the line settings a terminal holds.
#pragma once

#include "sensor_sim.h"

namespace sim {

// The settings of the terminal behind `fd`. On Linux the master of a pseudo-terminal reports those of its
// slave, so the simulator sees what the program on the other side set. False when the terminal cannot be read.
bool ReadLineSettings(int fd, LineSettings *line);

} // namespace sim
