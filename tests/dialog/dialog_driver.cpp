// Window-message driving of the installer dialog in a child process, and a
// screen capture of it.
#include "dialog_driver.h"

#include <stdio.h>

#include <algorithm>

#include "system_support.h"

namespace dialog_test {

namespace {

constexpr DWORD kPollMs = 20;
constexpr char kDesktopName[] = "tessard dialog tests";

std::string LastErrorText(const char* what) {
  return std::string(what) + " failed with error " +
         std::to_string(GetLastError());
}

struct FindContext {
  DWORD processId;
  const std::string* title;
  std::vector<HWND>* found;
};

BOOL CALLBACK CollectDialog(HWND hWnd, LPARAM lParam) {
  auto* context = reinterpret_cast<FindContext*>(lParam);
  DWORD processId = 0;
  GetWindowThreadProcessId(hWnd, &processId);
  if (processId != context->processId) return TRUE;
  char className[64] = "";
  GetClassNameA(hWnd, className, sizeof(className));
  if (lstrcmpA(className, "#32770") != 0) return TRUE;
  if (WindowText(hWnd) != *context->title) return TRUE;
  context->found->push_back(hWnd);
  return TRUE;
}

}  // namespace

bool UseOwnDesktop(std::string* error) {
  HDESK hDesktop = CreateDesktopA(kDesktopName, nullptr, nullptr, 0,
                                  GENERIC_ALL, nullptr);
  if (!hDesktop) {
    *error = LastErrorText("CreateDesktopA");
    return false;
  }
  if (!SetThreadDesktop(hDesktop)) {
    *error = LastErrorText("SetThreadDesktop");
    return false;
  }
  return true;  // the handle stays open for the life of the test program
}

UtilityProcess::~UtilityProcess() {
  Terminate();
  if (info_.hThread) CloseHandle(info_.hThread);
  if (info_.hProcess) CloseHandle(info_.hProcess);
}

bool UtilityProcess::Start(const std::string& utilityPath,
                           std::string* error) {
  const std::string directory =
      utilityPath.substr(0, utilityPath.find_last_of('\\') + 1);
  // The program's name alone: the utility sees an empty command line.
  std::wstring commandLine = systest::Wide("\"" + utilityPath + "\"");
  std::wstring desktop = systest::Wide(std::string("WinSta0\\") + kDesktopName);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.lpDesktop = &desktop[0];
  if (!CreateProcessW(systest::Wide(utilityPath).c_str(), &commandLine[0],
                      nullptr, nullptr, FALSE, 0, nullptr,
                      systest::Wide(directory).c_str(), &startup, &info_)) {
    *error = LastErrorText("CreateProcessW") + " for " + utilityPath;
    return false;
  }
  return true;
}

bool UtilityProcess::IsRunning() const {
  return info_.hProcess &&
         WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

bool UtilityProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    return false;
  }
  return GetExitCodeProcess(info_.hProcess, exitCode) != FALSE;
}

void UtilityProcess::Terminate() {
  if (IsRunning()) {
    TerminateProcess(info_.hProcess, 1);
    WaitForSingleObject(info_.hProcess, 10000);
  }
}

std::vector<HWND> TopLevelDialogs(DWORD processId, const std::string& title) {
  std::vector<HWND> found;
  FindContext context{processId, &title, &found};
  EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&context));
  return found;
}

HWND WaitForNewDialog(DWORD processId, const std::string& title,
                      const std::vector<HWND>& known, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    for (HWND hWnd : TopLevelDialogs(processId, title)) {
      if (IsWindowVisible(hWnd) &&
          std::find(known.begin(), known.end(), hWnd) == known.end()) {
        return hWnd;
      }
    }
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(kPollMs);
  }
}

std::string WindowText(HWND hWnd) {
  const LRESULT length = SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const LRESULT copied =
      SendMessageA(hWnd, WM_GETTEXT, text.size(),
                   reinterpret_cast<LPARAM>(&text[0]));
  text.resize(static_cast<size_t>(copied));
  return text;
}

std::string ItemText(HWND hDlg, int id) {
  HWND hItem = GetDlgItem(hDlg, id);
  return hItem ? WindowText(hItem) : std::string("<no control>");
}

void SetItemText(HWND hDlg, int id, const std::string& text) {
  SendMessageA(GetDlgItem(hDlg, id), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(text.c_str()));
}

bool IsItemChecked(HWND hDlg, int id) {
  return SendMessageA(GetDlgItem(hDlg, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

LONG ItemStyle(HWND hDlg, int id) {
  return GetWindowLongA(GetDlgItem(hDlg, id), GWL_STYLE);
}

void PostClick(HWND hDlg, int id) {
  PostMessageA(GetDlgItem(hDlg, id), BM_CLICK, 0, 0);
}

void SendClick(HWND hDlg, int id) {
  SendMessageA(GetDlgItem(hDlg, id), BM_CLICK, 0, 0);
}

MessageBoxView ReadMessageBox(HWND hBox) {
  MessageBoxView view;
  view.text = ItemText(hBox, 0xFFFF);
  for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
    HWND hButton = GetDlgItem(hBox, id);
    if (hButton && IsWindowVisible(hButton)) view.buttons.push_back(id);
  }
  // The icon control stays in every box (empty when there is no icon), under
  // id 0x440 on this platform and 0x14 on others: ask it for its icon.
  for (int id : {0x440, 0x14}) {
    HWND hIcon = GetDlgItem(hBox, id);
    if (hIcon && SendMessageA(hIcon, STM_GETICON, 0, 0) != 0) {
      view.hasIcon = true;
    }
  }
  return view;
}

bool AnswerMessageBox(HWND hBox, int buttonId, DWORD timeoutMs) {
  if (!GetDlgItem(hBox, buttonId)) return false;
  PostClick(hBox, buttonId);
  const DWORD start = GetTickCount();
  while (IsWindow(hBox)) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(kPollMs);
  }
  return true;
}

bool SaveWindowBitmap(HWND hWnd, const std::string& path, std::string* error) {
  RECT rect{};
  if (!GetWindowRect(hWnd, &rect)) {
    *error = LastErrorText("GetWindowRect");
    return false;
  }
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  HDC hScreen = GetDC(nullptr);
  HDC hMemory = CreateCompatibleDC(hScreen);
  HBITMAP hBitmap = CreateCompatibleBitmap(hScreen, width, height);
  HGDIOBJ hOld = SelectObject(hMemory, hBitmap);
  const BOOL copied = BitBlt(hMemory, 0, 0, width, height, hScreen, rect.left,
                             rect.top, SRCCOPY);
  SelectObject(hMemory, hOld);

  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = width;
  header.biHeight = height;  // bottom-up, as BMP files store it
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  std::vector<BYTE> pixels(static_cast<size_t>(stride) * height);
  const int lines =
      copied ? GetDIBits(hMemory, hBitmap, 0, height, pixels.data(),
                         reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS)
             : 0;
  DeleteObject(hBitmap);
  DeleteDC(hMemory);
  ReleaseDC(nullptr, hScreen);
  if (lines != height) {
    *error = "capturing the screen failed";
    return false;
  }

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(file) + sizeof(header);
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* out = fopen(path.c_str(), "wb");
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  fwrite(&file, sizeof(file), 1, out);
  fwrite(&header, sizeof(header), 1, out);
  fwrite(pixels.data(), 1, pixels.size(), out);
  fclose(out);
  return true;
}

}  // namespace dialog_test
