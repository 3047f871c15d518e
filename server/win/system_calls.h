// The server's seam over Windows: tessard::sys::X for each Windows function
// X that server_calls.h lists as a call through the seam, with the Windows
// name and signature. tessard.exe links system_calls_win32.cpp (straight
// forwarding); the unit tests under tests/server_seam link a scripted fake
// instead. The choice is made at link time: no virtual calls, no tables of
// function pointers.
#pragma once

// winsock2.h before windows.h, so that windows.h does not bring the old
// winsock.h; iphlpapi.h needs both.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

namespace tessard::sys {

#define WINDOWS_CALL(dll, name, result, parameters, arguments) \
  result name parameters;
#define WINDOWS_BYPASS(dll, name, reason)
#include "server_calls.h"
#undef WINDOWS_CALL
#undef WINDOWS_BYPASS

}  // namespace tessard::sys
