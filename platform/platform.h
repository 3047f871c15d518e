// The seam between the product and Windows: platform::X for each Windows
// function X that windows_calls.h lists as a call through the seam, with
// the Windows name and signature. The product links win32.cpp (straight
// forwarding); unit tests link the scripted fake in tests/fake instead.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace platform {

#define WINDOWS_CALL(dll, name, result, parameters, arguments) \
  result name parameters;
#define WINDOWS_BYPASS(dll, name, reason)
#include "windows_calls.h"
#undef WINDOWS_CALL
#undef WINDOWS_BYPASS

}  // namespace platform
