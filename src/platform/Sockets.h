// The socket library's start-up count. Sockets need no start-up here; the
// count keeps the calls' answers (WSANOTINITIALISED for a clean-up without a
// start-up).
#pragma once

namespace vt::os {

constexpr int kWsaNotInitialised = 10093;
constexpr int kSocketError = -1;

// 0; the version asked for is taken as it is.
int WSAStartup(unsigned short version);
// 0, or kSocketError with WSAGetLastError() = kWsaNotInitialised.
int WSACleanup();
int WSAGetLastError();

}  // namespace vt::os
