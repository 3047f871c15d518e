// Start-and-wait: the start request, the poll that follows the service's
// progress, and the message for each outcome.
#include "start_and_wait.h"

#include "message_boxes.h"
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
  // stop as soon as a query fails or the checkpoint does not grow. Only a
  // status that was read counts; a service seen running has started, also
  // when its checkpoint went back to 0.
  bool running = status.dwCurrentState == SERVICE_RUNNING;
  while (!running) {
    const DWORD previousCheckPoint = status.dwCheckPoint;
    if (status.dwWaitHint != 0) platform::Sleep(status.dwWaitHint);
    if (!platform::QueryServiceStatus(g_hService, &status)) break;
    running = status.dwCurrentState == SERVICE_RUNNING;
    if (!running && previousCheckPoint >= status.dwCheckPoint) break;
  }
  return {running ? StartOutcome::kStarted : StartOutcome::kNotStarted, 0};
}

void ReportRefusal(DWORD code) {
  for (const StartErrorMessage& entry : kStartErrors) {
    if (entry.code == code) {
      ShowCatalogueMessage(entry.message);
      return;
    }
  }
  if (!ShowSystemText(code)) ShowCatalogueMessage(IDS_FORMAT_MESSAGE_FAILED);
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
      ShowCatalogueMessage(IDS_STATUS_UNKNOWN);
      break;
    case StartOutcome::kNotStarted:
      ShowCatalogueMessage(IDS_NOT_STARTED);
      break;
    case StartOutcome::kStarted:
      ShowCatalogueMessage(IDS_STARTED);
      break;
  }
}

int StartSilently() {
  return StartAndWait().outcome == StartOutcome::kStarted ? 0 : -1;
}
