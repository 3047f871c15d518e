// Opening the local service manager for a helper operation.
#include "service_manager.h"

#include "error_text.h"
#include "platform.h"

namespace AtServiceHelpers {

bool OpenManager(ServiceHandle& hScm, OwnedWideString& errorText) {
  hScm = ServiceHandle(
      platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (hScm) return true;
  const DWORD error = platform::GetLastError();
  SetFailureText(errorText, "Failed call to OpenSCManager: ", error);
  return false;
}

}  // namespace AtServiceHelpers
