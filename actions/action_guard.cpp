#include "action_guard.h"

#include <cstdio>

#include "platform.h"
#include "process_state.h"

void ReportActionException(HRESULT hr) noexcept {
  LPSTR systemText = nullptr;
  if (platform::FormatMessageA(
          FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
              FORMAT_MESSAGE_IGNORE_INSERTS,
          nullptr, static_cast<DWORD>(hr), 0,
          reinterpret_cast<LPSTR>(&systemText), 0, nullptr) != 0) {
    platform::MessageBoxA(nullptr, systemText, g_szCaption, MB_OK);
    platform::LocalFree(systemText);
    return;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
  platform::MessageBoxA(nullptr, text, g_szCaption, MB_OK);
}
