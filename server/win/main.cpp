// tessard.exe: the port mapper, run by the service manager with the
// argument it was registered with (tcp or spx), or from a console, where it
// serves in the foreground until Ctrl+C.
#include <windows.h>
#include <tlhelp32.h>

#include <mutex>
#include <string>

#include "reporting.h"
#include "system_calls.h"
#include "serve.h"

namespace tessard {
namespace {

std::string g_argument;
HANDLE g_stopEvent = nullptr;
HANDLE g_paramChange = nullptr;  // PARAMCHANGE: read the settings again

SERVICE_STATUS_HANDLE g_status = nullptr;
SERVICE_STATUS g_current = {};
std::mutex g_statusLock;  // the control handler runs on another thread

void SetState(DWORD state, DWORD exitCode = NO_ERROR) {
  std::lock_guard<std::mutex> lock(g_statusLock);
  // Once a stop is under way, a late start report must not undo it.
  if (g_current.dwCurrentState == SERVICE_STOP_PENDING &&
      (state == SERVICE_START_PENDING || state == SERVICE_RUNNING)) {
    return;
  }
  g_current.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_current.dwCurrentState = state;
  g_current.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN |
                                     SERVICE_ACCEPT_PARAMCHANGE
                               : 0;
  g_current.dwWin32ExitCode = exitCode;
  g_current.dwServiceSpecificExitCode = 0;
  bool pending =
      state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  g_current.dwCheckPoint = pending ? g_current.dwCheckPoint + 1 : 0;
  g_current.dwWaitHint = pending ? 3000 : 0;
  sys::SetServiceStatus(g_status, &g_current);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      SetState(SERVICE_STOP_PENDING);
      SetEvent(g_stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
      SetEvent(g_paramChange);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
  }
  return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  g_status = sys::RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"",
                                           ServiceControl, nullptr);
  if (!g_status) return;
  SetState(SERVICE_START_PENDING);
  ServeHooks hooks;
  hooks.progress = [] { SetState(SERVICE_START_PENDING); };
  hooks.running = [] { SetState(SERVICE_RUNNING); };
  hooks.stopping = [] { SetState(SERVICE_STOP_PENDING); };
  if (argc > 0 && argv[0]) hooks.serviceName = argv[0];
  hooks.paramChange = g_paramChange;
  DWORD exitCode = Serve(g_argument, g_stopEvent, hooks);
  SetState(SERVICE_STOPPED, exitCode);
}

BOOL WINAPI ConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      SetEvent(g_stopEvent);
      return TRUE;
  }
  return FALSE;
}

// Whether the service manager started this process: its parent is
// services.exe. Wine's dispatcher does not fail outside the service
// manager as Windows' does (1063), so the parent is asked instead.
bool StartedByServiceManager() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  bool found = false;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent != 0;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == parent) {
      found = CompareStringOrdinal(entry.szExeFile, -1, L"services.exe", -1,
                                   TRUE) == CSTR_EQUAL;
      break;
    }
  }
  sys::CloseHandle(snapshot);
  return found;
}

}  // namespace
}  // namespace tessard

int main(int argc, char** argv) {
  using namespace tessard;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) g_argument += ' ';
    g_argument += argv[i];
  }
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_paramChange = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_stopEvent || !g_paramChange) return static_cast<int>(GetLastError());

  if (StartedByServiceManager()) {
    SetReportTarget(ReportTo::kEventLog);
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(L"tessard"), ServiceMain},
        {nullptr, nullptr},
    };
    if (StartServiceCtrlDispatcherW(table)) return 0;
    if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      return static_cast<int>(GetLastError());
    }
  }
  SetReportTarget(ReportTo::kConsole);
  SetConsoleCtrlHandler(ConsoleControl, TRUE);
  return static_cast<int>(Serve(g_argument, g_stopEvent, ServeHooks{}));
}
