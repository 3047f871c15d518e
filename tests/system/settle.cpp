// Waits until a freshly booted Wine prefix's service manager takes start
// requests: retries a harmless start until it is no longer refused as locked.
#include <windows.h>

#include <cstdio>

namespace {

// Built in to every Wine prefix, and a dependency of our own service.
constexpr const char kProbeService[] = "RpcSs";
constexpr DWORD kRetryMs = 250;
constexpr DWORD kGiveUpMs = 30000;

// Returns the error of one start attempt (NO_ERROR when it started).
DWORD TryStart() {
  SC_HANDLE hScm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!hScm) return GetLastError();
  DWORD error = NO_ERROR;
  SC_HANDLE hService = OpenServiceA(hScm, kProbeService, SERVICE_START);
  if (!hService) {
    error = GetLastError();
  } else {
    if (!StartServiceA(hService, 0, nullptr)) error = GetLastError();
    CloseServiceHandle(hService);
  }
  CloseServiceHandle(hScm);
  return error;
}

}  // namespace

int main() {
  const ULONGLONG giveUp = GetTickCount64() + kGiveUpMs;
  DWORD error = NO_ERROR;
  unsigned attempts = 0;
  for (;;) {
    error = TryStart();
    ++attempts;
    // Running already is as good as started: the manager answered.
    if (error == NO_ERROR || error == ERROR_SERVICE_ALREADY_RUNNING) {
      std::printf("service manager settled after %u attempt(s)\n", attempts);
      return 0;
    }
    if (GetTickCount64() >= giveUp) break;
    Sleep(kRetryMs);
  }
  std::printf(
      "service manager still refuses to start %s after %u attempts: error "
      "%lu\n",
      kProbeService, attempts, static_cast<unsigned long>(error));
  return 1;
}
