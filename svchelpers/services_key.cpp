// The registry key where the service manager keeps a service's values.
#include "services_key.h"

#include "error_text.h"
#include "platform.h"

namespace AtServiceHelpers {

OwnedWideString ServicesKeyPath(const OwnedWideString& serviceName) {
  OwnedWideString path("System\\CurrentControlSet\\Services\\");
  path.Append(serviceName);
  return path;
}

bool OpenServicesKey(const OwnedWideString& serviceName, REGSAM access,
                     RegistryKey& key, OwnedWideString& errorText) {
  const OwnedWideString keyPath = ServicesKeyPath(serviceName);
  const NarrowCopy keyText(keyPath);
  if (keyText.Get() == nullptr) {
    SetFailureText(errorText,
                   "Failed call to Open Services Key: ", ERROR_INVALID_DATA);
    return false;
  }
  const LSTATUS opened = platform::RegOpenKeyExA(
      HKEY_LOCAL_MACHINE, keyText.Get(), 0, access, key.Receive());
  if (opened != ERROR_SUCCESS) {
    SetFailureText(errorText, "Failed call to Open Services Key: ",
                   static_cast<DWORD>(opened));
    return false;
  }
  return true;
}

}  // namespace AtServiceHelpers
