// The installer dialog's procedure: fills in the texts when the dialog opens,
// records the choices and runs the reporting install or remove at OK.
#include "installer_dialog.h"

#include <stdlib.h>
#include <string.h>

#include "action_guard.h"
#include "install_actions.h"
#include "messages.h"
#include "platform.h"
#include "process_state.h"
#include "resource.h"

namespace {

// The parts of the module path, sized as the runtime's path split needs
// them for a path of at most 255 characters.
constexpr size_t kDriveSize = 3;

void ShowCatalogueMessage(UINT number) {
  char text[kTextSize] = "";
  platform::LoadStringA(g_hInstance, number, text, kTextSize);
  platform::MessageBoxA(nullptr, text, g_szCaption, MB_OK);
}

void SetCatalogueText(HWND hDlg, int controlId, UINT number) {
  char text[kTextSize] = "";
  platform::LoadStringA(g_hInstance, number, text, kTextSize);
  SetDlgItemTextA(hDlg, controlId, text);
}

// The initial location: the quoted server beside this utility and "tcp".
// Left empty when the utility's own path was cut or the text would not fit
// its buffer: a cut path names some other file, and OK then asks for a
// location instead of registering it.
void ComposeInitialLocation(char (&location)[kTextSize]) {
  location[0] = '\0';

  char modulePath[kTextSize] = "";
  const DWORD length =
      platform::GetModuleFileNameA(g_hInstance, modulePath, kTextSize);
  if (length == 0 || length >= static_cast<DWORD>(kTextSize)) return;

  char drive[kDriveSize] = "";
  char directory[kTextSize] = "";
  char fileName[kTextSize] = "";
  char extension[kTextSize] = "";
  if (_splitpath_s(modulePath, drive, kDriveSize, directory, kTextSize,
                   fileName, kTextSize, extension, kTextSize) != 0) {
    return;
  }

  static const char kFormat[] = "\"%s%stessard.exe\" tcp";
  const size_t fixedLength = sizeof(kFormat) - 1 - 4;  // less the two %s
  if (fixedLength + strlen(drive) + strlen(directory) >=
      static_cast<size_t>(kTextSize)) {
    return;
  }
  wsprintfA(location, kFormat, drive, directory);
}

void InitializeDialog(HWND hDlg) {
  platform::LoadStringA(g_hInstance, IDS_CAPTION, g_szCaption, kTextSize);
  SetWindowTextA(hDlg, g_szCaption);

  // Texts 2 to 9 belong to the controls 1008 to 1015, in that order.
  for (UINT number = IDS_NAME_LABEL; number <= IDS_EXIT; ++number) {
    SetCatalogueText(hDlg, static_cast<int>(number) + 1006, number);
  }

  platform::LoadStringA(g_hInstance, IDS_SERVICE_NAME_TCP, g_szServiceName,
                        kTextSize);
  SetDlgItemTextA(hDlg, IDC_NAME, g_szServiceName);

  char location[kTextSize];
  ComposeInitialLocation(location);
  SetDlgItemTextA(hDlg, IDC_LOCATION, location);

  CheckDlgButton(hDlg, IDC_START_MANUAL, BST_CHECKED);
}

// Copies the location field into the server command line; false when the
// field is empty (the user is then asked for a location).
bool ReadLocation(HWND hDlg) {
  GetDlgItemTextA(hDlg, IDC_LOCATION, g_szServerCommandLine, kTextSize);
  if (platform::lstrcmpA(g_szServerCommandLine, "") == 0) {
    ShowCatalogueMessage(IDS_ENTER_LOCATION);
    return false;
  }
  return true;
}

void OnOk(HWND hDlg) {
  switch (g_nAction) {
    case kActionInstall:
      if (ReadLocation(hDlg)) {
        RunReportingAction(
            [] { InstallAndReport(g_szServiceName, g_szServerCommandLine); });
      }
      break;
    case kActionRemove:
      if (ReadLocation(hDlg)) {
        RunReportingAction([] { RemoveAndReport(g_szServiceName); });
      }
      break;
    default:
      ShowCatalogueMessage(IDS_SELECT_ACTION);
      break;
  }
}

// Only clicks reach here: the whole wParam is compared, so a notification
// code other than BN_CLICKED (0) matches no control.
BOOL OnCommand(HWND hDlg, WPARAM wParam) {
  switch (wParam) {
    case IDC_INSTALL:
      g_nAction = kActionInstall;
      return TRUE;
    case IDC_REMOVE:
      g_nAction = kActionRemove;
      return TRUE;
    case IDC_START_AUTO:
      g_nStartMode = kStartAutomatic;
      return TRUE;
    case IDC_START_MANUAL:
      g_nStartMode = kStartManual;
      return TRUE;
    case IDC_OK:
      OnOk(hDlg);
      return TRUE;
    case IDC_EXIT:
      DestroyWindow(g_hDialog);
      return TRUE;
    default:
      // IDCANCEL (close box, Alt+F4, the system menu's Close) lands here:
      // the dialog stays open, Exit is the only way out.
      return FALSE;
  }
}

}  // namespace

INT_PTR CALLBACK InstallerDialogProc(HWND hDlg, UINT message, WPARAM wParam,
                                     LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      InitializeDialog(hDlg);
      return FALSE;  // no initial keyboard focus
    case WM_COMMAND:
      return OnCommand(hDlg, wParam);
    case WM_DESTROY:
      PostQuitMessage(0);
      return TRUE;
    default:
      return FALSE;
  }
}
