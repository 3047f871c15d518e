// The registry path under HKEY_LOCAL_MACHINE where the service manager keeps
// a service's values.
#include "services_key.h"

namespace AtServiceHelpers {

OwnedWideString ServicesKeyPath(const OwnedWideString& serviceName) {
  OwnedWideString path("System\\CurrentControlSet\\Services\\");
  path.Append(serviceName);
  return path;
}

}  // namespace AtServiceHelpers
