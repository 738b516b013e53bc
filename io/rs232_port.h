// SPDX-License-Identifier: MIT
// Private to the serial services: one open port, local or behind a serial device server, as the port table holds it.
// Each operation keeps the contract of the call of the same name in io/rs232.h for a port that is open.
#pragma once

#include <string>

namespace rs232 {

class OpenPort {
public:
    virtual ~OpenPort() = default;
    // The device path or network address the port was opened on.
    virtual const std::string &Path() const = 0;
    virtual bool OnNetwork() const = 0;
    virtual int SetTime(double timeoutSeconds) = 0;
    virtual int SetCts(int mode) = 0;
    virtual int Flush(bool input, bool output) = 0;
    virtual int Write(const void *buffer, int count) = 0;
    virtual int InQLen() = 0;
    virtual int InQLenWait(int wanted, double deadline) = 0;
    virtual int Read(void *buffer, int count) = 0;
    virtual bool HungUp() = 0;
    // A network port has no wake-up count to hold.
    virtual void HoldWake(int) {}
    virtual void ReleaseWake() {}
    // Lets go of the device or connection; the destructor does so too, for a port that was not closed.
    virtual void Close() = 0;
};

} // namespace rs232
