#include "start_and_wait.h"

#include "messages.h"
#include "platform.h"
#include "process_state.h"

namespace {

enum class StartOutcome {
  kNoHandle,       // the manager or the service could not be opened
  kRefused,        // StartServiceA failed; the code is kept
  kStatusUnknown,  // the first status query failed
  kNotStarted,     // no further progress before running
  kStarted,
};

struct StartResult {
  StartOutcome outcome;
  DWORD error;
};

// The start-error codes that have a message of their own.
struct StartErrorMessage {
  DWORD code;
  UINT message;
};
constexpr StartErrorMessage kStartErrors[] = {
    {ERROR_PATH_NOT_FOUND, IDS_START_PATH_NOT_FOUND},
    {ERROR_ACCESS_DENIED, IDS_START_ACCESS_DENIED},
    {ERROR_INVALID_HANDLE, IDS_START_INVALID_HANDLE},
    {ERROR_SERVICE_REQUEST_TIMEOUT, IDS_START_REQUEST_TIMEOUT},
    {ERROR_SERVICE_NO_THREAD, IDS_START_NO_THREAD},
    {ERROR_SERVICE_DATABASE_LOCKED, IDS_START_DATABASE_LOCKED},
    {ERROR_SERVICE_ALREADY_RUNNING, IDS_START_ALREADY_RUNNING},
    {ERROR_SERVICE_DISABLED, IDS_START_DISABLED},
    {ERROR_SERVICE_DEPENDENCY_FAIL, IDS_START_DEPENDENCY_FAIL},
    {ERROR_SERVICE_LOGON_FAILED, IDS_START_LOGON_FAILED},
    {ERROR_SERVICE_MARKED_FOR_DELETE, IDS_START_MARKED_FOR_DELETE},
    {ERROR_SERVICE_DEPENDENCY_DELETED, IDS_START_DEPENDENCY_DELETED},
};

StartResult StartAndWait() {
  if (g_hScm == nullptr && OpenManagerHandle() == nullptr) {
    return {StartOutcome::kNoHandle, 0};
  }
  if (g_hService == nullptr && OpenServiceHandle(g_szServiceName) == nullptr) {
    return {StartOutcome::kNoHandle, 0};
  }
  if (!platform::StartServiceA(g_hService, 0, nullptr)) {
    return {StartOutcome::kRefused, platform::GetLastError()};
  }

  SERVICE_STATUS status{};
  if (!platform::QueryServiceStatus(g_hService, &status)) {
    return {StartOutcome::kStatusUnknown, 0};
  }
  // Follow the service's own pace: pause for its wait hint as reported, and
  // stop as soon as a query fails or the checkpoint does not grow. The
  // progress test comes first; the outcome is read from the state alone.
  while (status.dwCurrentState != SERVICE_RUNNING) {
    DWORD previousCheckPoint = status.dwCheckPoint;
    if (status.dwWaitHint != 0) platform::Sleep(status.dwWaitHint);
    if (!platform::QueryServiceStatus(g_hService, &status)) break;
    if (previousCheckPoint >= status.dwCheckPoint) break;
  }
  if (status.dwCurrentState == SERVICE_RUNNING) {
    return {StartOutcome::kStarted, 0};
  }
  return {StartOutcome::kNotStarted, 0};
}

void ShowMessage(UINT id) {
  char text[kTextSize];
  platform::LoadStringA(g_hInstance, id, text, kTextSize);
  platform::MessageBoxA(nullptr, text, g_szCaption, MB_OK);
}

void ReportRefusal(DWORD code) {
  for (const StartErrorMessage& entry : kStartErrors) {
    if (entry.code == code) {
      ShowMessage(entry.message);
      return;
    }
  }
  LPSTR systemText = nullptr;
  if (platform::FormatMessageA(
          FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
          code, 0, reinterpret_cast<LPSTR>(&systemText), 0, nullptr) != 0) {
    platform::MessageBoxA(nullptr, systemText, g_szCaption, MB_OK);
    platform::LocalFree(systemText);
    return;
  }
  ShowMessage(IDS_FORMAT_MESSAGE_FAILED);
}

}  // namespace

SC_HANDLE OpenManagerHandle() {
  g_hScm = platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  return g_hScm;
}

SC_HANDLE OpenServiceHandle(LPCSTR serviceName) {
  g_hService = platform::OpenServiceA(g_hScm, serviceName, SERVICE_ALL_ACCESS);
  return g_hService;
}

void StartAndReport() {
  StartResult result = StartAndWait();
  switch (result.outcome) {
    case StartOutcome::kNoHandle:
      break;
    case StartOutcome::kRefused:
      ReportRefusal(result.error);
      break;
    case StartOutcome::kStatusUnknown:
      ShowMessage(IDS_STATUS_UNKNOWN);
      break;
    case StartOutcome::kNotStarted:
      ShowMessage(IDS_NOT_STARTED);
      break;
    case StartOutcome::kStarted:
      ShowMessage(IDS_STARTED);
      break;
  }
}

int StartSilently() {
  return StartAndWait().outcome == StartOutcome::kStarted ? 0 : -1;
}
