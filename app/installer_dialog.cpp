// The installer dialog's procedure: fills in the texts when the dialog opens,
// records the choices and runs the reporting install or remove at OK.
#include "installer_dialog.h"

#include "action_guard.h"
#include "install_actions.h"
#include "message_boxes.h"
#include "messages.h"
#include "platform.h"
#include "process_state.h"
#include "resource.h"
#include "server_command_line.h"

namespace {

// The catalogue texts of the labels and buttons.
struct ControlText {
  int control;
  UINT text;
};
constexpr ControlText kControlTexts[] = {
    {IDC_NAME_LABEL, IDS_NAME_LABEL},
    {IDC_LOCATION_LABEL, IDS_LOCATION_LABEL},
    {IDC_INSTALL, IDS_INSTALL},
    {IDC_REMOVE, IDS_REMOVE},
    {IDC_START_AUTO, IDS_START_AUTO},
    {IDC_START_MANUAL, IDS_START_MANUAL},
    {IDC_OK, IDS_OK},
    {IDC_EXIT, IDS_EXIT},
};

void SetCatalogueText(HWND hDlg, int controlId, UINT number) {
  char text[kTextSize] = "";
  platform::LoadStringA(g_hInstance, number, text, kTextSize);
  SetDlgItemTextA(hDlg, controlId, text);
}

void InitializeDialog(HWND hDlg) {
  platform::LoadStringA(g_hInstance, IDS_CAPTION, g_szCaption, kTextSize);
  SetWindowTextA(hDlg, g_szCaption);

  for (const ControlText& item : kControlTexts) {
    SetCatalogueText(hDlg, item.control, item.text);
  }

  platform::LoadStringA(g_hInstance, IDS_SERVICE_NAME_TCP, g_szServiceName,
                        kTextSize);
  SetDlgItemTextA(hDlg, IDC_NAME, g_szServiceName);

  // Left empty when the utility's own path cannot be trusted: OK then asks
  // for a location instead of registering some other program.
  char location[kTextSize];
  ComposeServerCommandLine("tcp", location);
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
