// Plain sockets on 127.0.0.1 for the tests and the benchmarks: the peer's
// side of a connection to a server under test, and listening sockets and
// free ports for the servers. Descriptors are plain ints (close with CloseFd).
#pragma once

#include <cstddef>
#include <string>
#include <utility>

// A socket connected to 127.0.0.1:port, or -1. A time-out above 0 bounds
// every receive (and every send) on it: the call then fails instead of
// waiting on.
int ConnectLoopback(int port, int receiveTimeoutMs = 0, int sendTimeoutMs = 0);
// Whether something accepts connections on 127.0.0.1:port right now.
bool LoopbackListens(int port);
// A listening socket on 127.0.0.1 with a port chosen by the system.
std::pair<int, int> ListenLoopback();  // fd, port
// A port that nobody listens on right now.
int FreeLoopbackPort();

// Sends every byte; false when the peer is gone (or a send timed out).
bool SendAll(int fd, const std::string& bytes);
// Receives n bytes, or fewer when the peer closed the connection or a
// receive failed or timed out.
std::string ReceiveUpTo(int fd, size_t n);
void CloseFd(int fd);
