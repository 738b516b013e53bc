// SPDX-License-Identifier: MIT
// Private to the serial services: what each operating system does its own way (one source file per system).
#pragma once

#include <string>

class QSerialPort;

namespace rs232os {

// Whatever a system keeps per open port; null where it keeps nothing.
struct PortState;

PortState *Attach(QSerialPort &sp);
void Release(PortState *state);

// Until RestoreWake, a blocking wait on the port wakes once `count` bytes are there rather than once per
// byte, so a reply trickling in at the line's speed costs one wake-up. Does nothing where unsupported, and
// nothing when `count` is the standing one (the held count, or a single byte), so RestoreWake then has
// nothing to undo either.
void WakeAtBytes(PortState *state, int count);
void RestoreWake(PortState *state);

// Makes `count` the standing wake-up count until ReleaseWake, so a loop that waits for the same count again
// and again sets it once. Waits for other counts go back to it when they are done. ReleaseWake puts back the
// terminal's own settings for waking; a port opened anew holds nothing.
void HoldWake(PortState *state, int count);
void ReleaseWake(PortState *state);

// Whether the system's permissions keep this process from reading and writing `path` (rather than the device
// being busy or no terminal); if so, *group receives the name of the group that owns it ("" if unnamed).
bool AccessDenied(const std::string &path, std::string *group);

// Hands the bytes to the system at once, without waiting: the number it took (0 when it takes none now), or -1 when it
// refuses them (a device gone), or where unsupported.
int WriteNow(PortState *state, const void *buffer, int count);

// True when the other end of the line has hung up (the device is gone), without reading anything.
bool HungUp(PortState *state);

} // namespace rs232os
