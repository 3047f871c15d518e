// The install and remove actions in their reporting and silent forms.
#include "install_actions.h"

#include "install_adapters.h"
#include "message_boxes.h"
#include "messages.h"
#include "platform.h"
#include "process_state.h"
#include "start_and_wait.h"

namespace {

constexpr int kErrorBufferSize = 1024;

int Install(LPCSTR serviceName, LPCSTR serverCommandLine, char* errorBuffer) {
  DWORD cchError = kErrorBufferSize - 1;
  // Display name = service name; no description; no account or password,
  // so the service runs as the local system account.
  return InstallWithModuleNameA(serviceName, serviceName, "", "", "",
                                serverCommandLine, errorBuffer, &cchError);
}

int Remove(LPCSTR serviceName, char* errorBuffer) {
  DWORD cchError = kErrorBufferSize - 1;
  const int result = UninstallWithModuleNameA(
      serviceName, g_szServerCommandLine, errorBuffer, &cchError);
  // The handle a start kept would hold the deleted service registered,
  // marked for deletion, until the process ends: the next install would
  // find it there, and the next start must open the service afresh.
  if (result == 0 && g_hService != nullptr) {
    platform::CloseServiceHandle(g_hService);
    g_hService = nullptr;
  }
  return result;
}

}  // namespace

void InstallAndReport(LPCSTR serviceName, LPCSTR serverCommandLine) {
  char buffer[kErrorBufferSize];
  if (Install(serviceName, serverCommandLine, buffer) != 0) {
    ShowText(buffer);
    return;
  }
  // The dialog always asks; the start mode is not consulted here.
  if (ShowCatalogueMessage(IDS_INSTALLED_ASK_START,
                           MB_YESNO | MB_ICONQUESTION) != IDNO) {
    StartAndReport();
  }
}

int InstallSilently(LPCSTR serviceName, LPCSTR serverCommandLine) {
  char buffer[kErrorBufferSize];
  if (Install(serviceName, serverCommandLine, buffer) != 0) return -1;
  if (g_nStartMode == kStartAutomatic) return StartSilently();
  return 0;
}

void RemoveAndReport(LPCSTR serviceName) {
  char buffer[kErrorBufferSize];
  if (Remove(serviceName, buffer) != 0) {
    ShowText(buffer);
    return;
  }
  ShowCatalogueMessage(IDS_REMOVED);
}

int RemoveSilently(LPCSTR serviceName) {
  char buffer[kErrorBufferSize];
  return Remove(serviceName, buffer) != 0 ? -1 : 0;
}
