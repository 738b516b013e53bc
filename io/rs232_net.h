// SPDX-License-Identifier: MIT
// Private to the serial services: ports behind a serial device server, reached over the network through gensio,
// either with RFC 2217 (Telnet Com Port Control, which also sets the remote line) or as a raw TCP stream.
// An open port keeps the contract of the local operations in io/rs232.h, threads included.
#pragma once

#include "io/rs232_port.h"

#include <memory>
#include <string>

namespace rs232net {

// Whether a device name is a network address: "rfc2217://HOST:PORT" or "tcp://HOST:PORT". Only the scheme is
// looked at; Open judges the rest.
bool IsAddress(const std::string &device);

// Why `address` is not one that Open can try ("" when it can), without connecting.
std::string AddressProblem(const std::string &address);

// Readies the library for ports opened by several threads at once; call on one thread before they start.
void PrepareForThreads();

// Connects to the address and, with RFC 2217, sets the remote line to the given baud rate, data bits, parity (0 none,
// 1 odd, 2 even, 3 mark, 4 space) and stop bits, waiting for the server to confirm each. Returns the open port, or
// null with *error set to kComErrBadPort (malformed address, unknown host), kComErrCannotOpen (refused, dropped, or
// the server would not set the line), kComErrTimeout (no connection, or with RFC 2217 no telnet answer, within a
// few seconds) or kComErrSystem, and *why saying it in words.
std::unique_ptr<rs232::OpenPort> Open(const std::string &address, long baudRate, int parity, int dataBits, int stopBits,
                                      int inputQueueSize, int *error, std::string *why);

} // namespace rs232net
