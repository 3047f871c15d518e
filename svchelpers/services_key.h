// The registry path under HKEY_LOCAL_MACHINE where the service manager keeps
// a service's values ("ImagePath", "Description").
#pragma once

#include "owned_wide_string.h"

namespace AtServiceHelpers {

// "System\CurrentControlSet\Services\" followed by the service name (an
// empty name appends nothing). Raises CAtlException when it cannot be made.
OwnedWideString ServicesKeyPath(const OwnedWideString& serviceName);

}  // namespace AtServiceHelpers
