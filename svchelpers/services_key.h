// The registry key under HKEY_LOCAL_MACHINE where the service manager keeps
// a service's values ("ImagePath", "Description"), and its opening.
#pragma once

#include <windows.h>

#include "owned_wide_string.h"
#include "scoped_owners.h"

namespace AtServiceHelpers {

// "System\CurrentControlSet\Services\" followed by the service name (an
// empty name appends nothing). Raises CAtlException when it cannot be made.
OwnedWideString ServicesKeyPath(const OwnedWideString& serviceName);

// Opens the service's key with `access` into `key`. False, with the error
// text "Failed call to Open Services Key: " and the code, when the open
// fails, or (code ERROR_INVALID_DATA, nothing opened) when the path has no
// narrow form: the open would then name HKEY_LOCAL_MACHINE itself.
bool OpenServicesKey(const OwnedWideString& serviceName, REGSAM access,
                     RegistryKey& key, OwnedWideString& errorText);

}  // namespace AtServiceHelpers
