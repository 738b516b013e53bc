// SPDX-License-Identifier: MIT
// Private to the serial services: what each operating system does its own way (one source file per system).
#pragma once

class QSerialPort;

namespace rs232os {

// Whatever a system keeps per open port; null where it keeps nothing.
struct PortState;

PortState *Attach(QSerialPort &sp);
void Release(PortState *state);

// Until RestoreWake, a blocking wait on the port wakes once `count` bytes are there rather than once per
// byte, so a reply trickling in at the line's speed costs one wake-up. Does nothing where unsupported.
void WakeAtBytes(PortState *state, int count);
void RestoreWake(PortState *state);

} // namespace rs232os
