// The process entry: dialog mode for an empty command line, otherwise one
// silent action whose result becomes the exit code.
#include "entry.h"

#include "action_guard.h"
#include "command_line.h"
#include "install_actions.h"
#include "installer_dialog.h"
#include "platform.h"
#include "process_state.h"
#include "resource.h"
#include "server_command_line.h"
#include "start_and_wait.h"

namespace {

// Composes the server command line and the service name for the transport.
// False when the utility's own path cannot be trusted (nothing is run then)
// or the service name cannot be loaded.
bool ComposeNames() {
  const bool tcp = g_nTransport == kTransportTcp;
  if (!ComposeServerCommandLine(tcp ? "tcp" : "spx", g_szServerCommandLine)) {
    return false;
  }
  char serviceName[kTextSize];
  if (platform::LoadStringA(g_hInstance,
                            tcp ? IDS_SERVICE_NAME_TCP : IDS_SERVICE_NAME_SPX,
                            serviceName, kTextSize) == 0) {
    return false;
  }
  platform::lstrcpyA(g_szServiceName, serviceName);
  return true;
}

int RunStart() {
  if (OpenManagerHandle() == nullptr) return -1;
  if (OpenServiceHandle(g_szServiceName) == nullptr) return -1;
  return StartSilently();
}

int RunCommandLineMode(LPCSTR commandLine) {
  if (!command_line::Parse(commandLine, &g_nAction, &g_nStartMode,
                           &g_nTransport)) {
    return -1;
  }
  if (!ComposeNames()) return -1;

  int result = -1;
  switch (g_nAction) {
    case kActionInstall:
      result = RunSilentAction([] {
        return InstallSilently(g_szServiceName, g_szServerCommandLine);
      });
      break;
    case kActionRemove:
      result = RunSilentAction([] { return RemoveSilently(g_szServiceName); });
      break;
    default:
      result = RunStart();
      break;
  }
  // Closed after every action, also when it is null (that call just fails).
  // The service handle stays open until the process ends.
  platform::CloseServiceHandle(g_hScm);
  g_hScm = nullptr;
  return result;
}

int RunDialogMode() {
  g_hDialog = CreateDialogParamA(g_hInstance, MAKEINTRESOURCEA(IDD_INSTALLER),
                                 GetDesktopWindow(), InstallerDialogProc, 0);
  // Without a dialog nothing could ever post the quit message.
  if (g_hDialog == nullptr) return -1;

  // A plain loop: no IsDialogMessage, so the dialog has no keyboard
  // interface. GetMessageA's -1 (an invalid call) ends it rather than spin.
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}

}  // namespace

int TessardMain(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int) {
  g_hInstance = hInstance;
  if (platform::lstrcmpA(lpCmdLine, "") == 0) return RunDialogMode();
  return RunCommandLineMode(lpCmdLine);
}
