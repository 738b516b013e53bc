// SPDX-License-Identifier: MIT
// A free loopback TCP port, for the tests and the benches that start a serial device server of their own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback {

// A loopback TCP port nobody listens on at the moment of asking; -1 if the system would not say.
inline int FreeTcpPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    ::close(s);
    return ok ? ntohs(a.sin_port) : -1;
}

} // namespace loopback
