// Drives the real installer dialog of a tessardctl.exe child process with
// window messages: finds it and its message boxes, reads and answers them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace dialog_test {

// The desktop the tests and the utility share. The prefix's default
// desktop may have been opened before the tests' X server was there, and a
// desktop keeps the display it was opened on; a desktop of the tests' own
// opens on their server. Call once, before any window is looked at.
bool UseOwnDesktop(std::string* error);

// The utility started with an empty command line, as a user starts it, on
// the tests' desktop.
class UtilityProcess {
 public:
  UtilityProcess() = default;
  ~UtilityProcess();  // ends a process that is still running
  UtilityProcess(const UtilityProcess&) = delete;
  UtilityProcess& operator=(const UtilityProcess&) = delete;

  // Starts the program at utilityPath (UTF-8) in its own directory. False with a
  // reason on failure.
  bool Start(const std::string& utilityPath, std::string* error);
  DWORD Id() const { return info_.dwProcessId; }
  bool IsRunning() const;
  // Waits for the process to end; false if it is still running at timeout.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
  void Terminate();

 private:
  PROCESS_INFORMATION info_{};
};

// The top-level dialog windows (class "#32770") of a process with the given
// title, in no particular order. The installer dialog and its message boxes
// share one caption.
std::vector<HWND> TopLevelDialogs(DWORD processId, const std::string& title);

// Waits, within timeoutMs, for a visible top-level dialog of the process
// with that title that is not in `known`; null at timeout.
HWND WaitForNewDialog(DWORD processId, const std::string& title,
                      const std::vector<HWND>& known, DWORD timeoutMs);

// Text of a window, read with WM_GETTEXT (works across processes).
std::string WindowText(HWND hWnd);
std::string ItemText(HWND hDlg, int id);
void SetItemText(HWND hDlg, int id, const std::string& text);
bool IsItemChecked(HWND hDlg, int id);
LONG ItemStyle(HWND hDlg, int id);

// A click that returns at once: for buttons that open a modal box.
void PostClick(HWND hDlg, int id);
// A click that returns after the dialog has handled it.
void SendClick(HWND hDlg, int id);

// What a message box shows.
struct MessageBoxView {
  std::string text;          // the static control 0xFFFF
  std::vector<int> buttons;  // IDOK, IDCANCEL, IDYES, IDNO present, in that order
  bool hasIcon = false;      // the icon control holds an icon
};
MessageBoxView ReadMessageBox(HWND hBox);
// Clicks one of the box's buttons and waits until the box is gone.
bool AnswerMessageBox(HWND hBox, int buttonId, DWORD timeoutMs);

// Copies the screen area of a window into a 24-bit BMP file.
bool SaveWindowBitmap(HWND hWnd, const std::string& path, std::string* error);

}  // namespace dialog_test
