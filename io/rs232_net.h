// SPDX-License-Identifier: MIT
// Private to the serial services: ports behind a serial device server, reached over the network through gensio,
// either with RFC 2217 (Telnet Com Port Control, which also sets the remote line) or as a raw TCP stream.
// Each call keeps the contract of the local operation of the same name in io/rs232.h, threads included.
#pragma once

#include <string>

namespace rs232net {

// Whether a device name is a network address: "rfc2217://HOST:PORT" or "tcp://HOST:PORT". Only the scheme is
// looked at; Open judges the rest.
bool IsAddress(const std::string &device);

// Why `address` is not one that Open can try ("" when it can), without connecting.
std::string AddressProblem(const std::string &address);

// Readies the library for ports opened by several threads at once; call on one thread before they start.
void PrepareForThreads();

// Whether `port` is open on a network address.
bool IsOpen(int port);

// Connects `port` to the address and, with RFC 2217, sets the remote line to the given baud rate, data bits,
// parity (0 none, 1 odd, 2 even, 3 mark, 4 space) and stop bits, waiting for the server to confirm each.
// Returns 0, or kComErrBadPort (malformed address, unknown host), kComErrCannotOpen (refused, dropped, or the
// server would not set the line), kComErrTimeout (no connection, or with RFC 2217 no telnet answer, within a
// few seconds).
int Open(int port, const std::string &address, long baudRate, int parity, int dataBits, int stopBits,
         int inputQueueSize);
// Why the last Open of `port` failed, in words ("" after a success, or after ForgetOpenError).
std::string OpenError(int port);
void ForgetOpenError(int port);

std::string DevicePath(int port);
int SetTime(int port, double timeoutSeconds);
int SetCts(int port, int mode);
int FlushIn(int port);
int FlushOut(int port);
int Write(int port, const void *buffer, int count);
int InQLen(int port);
int InQLenWait(int port, int wanted, double deadline);
int Read(int port, void *buffer, int count);
int Close(int port);
// True when the connection of an open network port is gone (the server closed it, or the network dropped it).
bool HungUp(int port);

} // namespace rs232net
