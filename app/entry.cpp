#include "entry.h"

#include <cstdlib>
#include <cstring>

#include "action_guard.h"
#include "command_line.h"
#include "install_actions.h"
#include "installer_dialog.h"
#include "platform.h"
#include "process_state.h"
#include "resource.h"
#include "start_and_wait.h"

namespace {

constexpr char kServerFileName[] = "tessard.exe";

// Composes the server command line and the service name from the utility's
// own directory and the transport. False, with nothing written, when the
// module path was cut or a composed text would not fit its buffer: a cut
// path would register or start the wrong program.
bool ComposeNames() {
  char modulePath[kTextSize];
  DWORD length = platform::GetModuleFileNameA(g_hInstance, modulePath, kTextSize);
  if (length == 0 || length >= static_cast<DWORD>(kTextSize)) return false;

  char drive[_MAX_DRIVE];
  char directory[kTextSize];
  _splitpath(modulePath, drive, directory, nullptr, nullptr);

  // wsprintfA has no bound of its own: measure first. The server path and
  // the command line (two quotes, a space and the transport word) must each
  // fit 255 characters.
  size_t serverPathLength =
      std::strlen(drive) + std::strlen(directory) + (sizeof kServerFileName - 1);
  if (serverPathLength + 6 >= static_cast<size_t>(kTextSize)) return false;

  char serverPath[kTextSize];
  wsprintfA(serverPath, "%s%s%s", drive, directory, kServerFileName);
  UINT nameId;
  if (g_nTransport == kTransportTcp) {
    wsprintfA(g_szServerCommandLine, "\"%s\" tcp", serverPath);
    nameId = IDS_SERVICE_NAME_TCP;
  } else {
    wsprintfA(g_szServerCommandLine, "\"%s\" spx", serverPath);
    nameId = IDS_SERVICE_NAME_SPX;
  }
  // The same buffer receives the service name before it is copied out.
  if (platform::LoadStringA(g_hInstance, nameId, serverPath, kTextSize) == 0) {
    return false;
  }
  platform::lstrcpyA(g_szServiceName, serverPath);
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
