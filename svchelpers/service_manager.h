// Opening the local service manager for a helper operation.
#pragma once

#include "owned_wide_string.h"
#include "scoped_owners.h"

namespace AtServiceHelpers {

// Opens the local service manager with all access into hScm. False, with
// the error text "Failed call to OpenSCManager: " and the system's text for
// the last error, when it cannot be opened.
bool OpenManager(ServiceHandle& hScm, OwnedWideString& errorText);

}  // namespace AtServiceHelpers
