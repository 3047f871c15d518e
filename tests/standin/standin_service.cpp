// A real service program that plays tessard.exe for the system tests: it
// serves one own-process service and behaves as tessard.script tells it.
#include <windows.h>

#include <mutex>
#include <string>

#include "standin_log.h"
#include "standin_script.h"

namespace standin {
namespace {

Script g_script;
bool g_scriptOk = true;
std::string g_scriptError;
std::string g_serviceName;

SERVICE_STATUS_HANDLE g_hStatus = nullptr;
HANDLE g_hStopEvent = nullptr;  // set by the handler on stop or shutdown
std::mutex g_statusLock;
SERVICE_STATUS g_status = {};
bool g_stopping = false;  // once set, no START_PENDING or RUNNING report

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
  }
  return "?";
}

// Records and reports a status. A report that would undo a stop already
// under way is dropped: the handler may run between two start reports.
void Report(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode = NO_ERROR) {
  std::lock_guard<std::mutex> hold(g_statusLock);
  if (g_stopping && (state == SERVICE_START_PENDING || state == SERVICE_RUNNING)) return;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  // A starting service accepts stop too, so that a stalled one can be ended.
  g_status.dwControlsAccepted =
      (state == SERVICE_START_PENDING || state == SERVICE_RUNNING)
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
          : 0;
  g_status.dwWin32ExitCode = exitCode;
  g_status.dwServiceSpecificExitCode = 0;
  g_status.dwCheckPoint = checkPoint;
  g_status.dwWaitHint = waitHint;
  std::string line = std::string(StateName(state)) + " checkpoint=" +
                     std::to_string(checkPoint) + " wait_hint=" + std::to_string(waitHint);
  if (state == SERVICE_STOPPED) line += " exit_code=" + std::to_string(exitCode);
  // Logged first: once SERVICE_STOPPED is reported the dispatcher may return
  // and the process end before another line is written.
  Log("status", line);
  if (!SetServiceStatus(g_hStatus, &g_status)) {
    const DWORD error = GetLastError();
    Log("error", "SetServiceStatus " + std::to_string(error));
  }
}

DWORD WINAPI Handler(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/,
                     LPVOID /*context*/) {
  Log("control", std::to_string(control));
  switch (control) {
    case SERVICE_CONTROL_STOP:
      if (!g_script.honourStop) {
        Log("ignored", "stop");
        return NO_ERROR;
      }
      [[fallthrough]];  // a stop that is honoured ends like a shutdown
    case SERVICE_CONTROL_SHUTDOWN: {
      {
        std::lock_guard<std::mutex> hold(g_statusLock);
        g_stopping = true;
      }
      Report(SERVICE_STOP_PENDING, 1, g_script.stopDelayMs + 1000);
      SetEvent(g_hStopEvent);
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE: {
      std::lock_guard<std::mutex> hold(g_statusLock);
      SetServiceStatus(g_hStatus, &g_status);
      return NO_ERROR;
    }
  }
  return ERROR_CALL_NOT_IMPLEMENTED;
}

// Waits for a stop request, but never past the script's lifetime. Returns
// true when a stop was requested, false when the time ran out.
bool WaitForStop(DWORD ms, ULONGLONG deadline) {
  if (deadline != 0) {
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG left = deadline > now ? deadline - now : 0;
    if (ms == INFINITE || left < ms) ms = static_cast<DWORD>(left);
  }
  return WaitForSingleObject(g_hStopEvent, ms) == WAIT_OBJECT_0;
}

bool LifeOver(ULONGLONG deadline) {
  return deadline != 0 && GetTickCount64() >= deadline;
}

void FinishStop() {
  if (g_script.stopDelayMs) Sleep(g_script.stopDelayMs);
  Report(SERVICE_STOPPED, 0, 0);
}

// Plays the script; returns when the service has reported SERVICE_STOPPED.
void RunScript() {
  const ULONGLONG deadline =
      g_script.maxLifeMs ? GetTickCount64() + g_script.maxLifeMs : 0;
  if (g_script.startDelayMs && WaitForStop(g_script.startDelayMs, deadline)) {
    return FinishStop();
  }
  unsigned pending = g_script.startCheckpoints;
  if (g_script.outcome != Outcome::kRunning && pending == 0) pending = 1;
  for (unsigned checkPoint = 1; checkPoint <= pending; ++checkPoint) {
    Report(SERVICE_START_PENDING, checkPoint, g_script.waitHintMs);
    if (g_script.checkpointIntervalMs &&
        WaitForStop(g_script.checkpointIntervalMs, deadline)) {
      return FinishStop();
    }
  }
  switch (g_script.outcome) {
    case Outcome::kStop:
      Report(SERVICE_STOPPED, 0, 0, g_script.exitCode);
      return;
    case Outcome::kRunning:
      Report(SERVICE_RUNNING, 0, 0);
      break;
    case Outcome::kStall:
      break;  // START_PENDING with the last checkpoint, for good
  }
  if (WaitForStop(INFINITE, deadline) || !LifeOver(deadline)) return FinishStop();
  Log("life", "over");
  Report(SERVICE_STOPPED, 0, 0);
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  Log("service_main", argc > 0 && argv[0] ? argv[0] : "");
  for (DWORD i = 1; i < argc; ++i) Log("service_arg", argv[i]);
  const char* name = argc > 0 && argv[0] ? argv[0] : g_serviceName.c_str();
  g_hStatus = RegisterServiceCtrlHandlerExA(name, Handler, nullptr);
  if (!g_hStatus) {
    const DWORD error = GetLastError();
    Log("error", "RegisterServiceCtrlHandlerExA " + std::to_string(error));
    return;
  }
  if (!g_scriptOk) {
    Log("error", "script " + g_scriptError);
    Report(SERVICE_STOPPED, 0, 0, ERROR_BAD_CONFIGURATION);
    return;
  }
  RunScript();
}

std::string ReadFileText(const std::string& path, bool& found) {
  found = false;
  HANDLE hFile = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return std::string();
  found = true;
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(hFile, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  CloseHandle(hFile);
  return text;
}

void LoadScript() {
  bool found = false;
  const std::string text = ReadFileText(HomeDirectory() + "tessard.script", found);
  if (!found) {
    Log("script", "none");
    return;
  }
  g_scriptOk = ParseScript(text, g_script, g_scriptError);
  if (!g_scriptOk) return;
  Log("script", std::string("outcome=") + OutcomeName(g_script.outcome) +
                    " start_checkpoints=" + std::to_string(g_script.startCheckpoints) +
                    " checkpoint_interval_ms=" + std::to_string(g_script.checkpointIntervalMs) +
                    " wait_hint_ms=" + std::to_string(g_script.waitHintMs) +
                    " on_stop=" + (g_script.honourStop ? "honour" : "ignore"));
}

std::string OwnDirectory() {
  char path[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path, length < MAX_PATH ? length : 0);
  const size_t slash = directory.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : directory.substr(0, slash + 1);
}

}  // namespace
}  // namespace standin

int main(int argc, char** argv) {
  using namespace standin;
  SetHomeDirectory(OwnDirectory());
  Log("process", GetCommandLineA());
  for (int i = 1; i < argc; ++i) Log("arg", argv[i]);

  // The transport argument picks the service this process serves. For an
  // own-process service the SCM does not match the table's name (Windows
  // ignores it, Wine takes the only entry), but keep it right all the same.
  const std::string transport = argc > 1 ? argv[1] : "";
  if (transport == "tcp") {
    g_serviceName = "Veltrane Portmapper for TCP";
  } else if (transport == "spx") {
    g_serviceName = "Veltrane Portmapper for SPX";
  } else {
    g_serviceName = "Veltrane Portmapper";
    Log("error", "no transport argument (tcp or spx)");
  }
  LoadScript();

  g_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYA table[] = {
      {const_cast<LPSTR>(g_serviceName.c_str()), ServiceMain},
      {nullptr, nullptr},
  };
  if (!StartServiceCtrlDispatcherA(table)) {
    const DWORD error = GetLastError();
    Log("error", "StartServiceCtrlDispatcherA " + std::to_string(error));
    return 1;
  }
  Log("exit", "0");
  return 0;
}
