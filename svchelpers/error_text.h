// How a failing helper operation composes its error text: a fixed prefix
// naming the failed call, then the system's text for the code.
#pragma once

#include <windows.h>

#include "owned_wide_string.h"

namespace AtServiceHelpers {

// Replaces errorText with `prefix` and appends the text for `code`. Raises
// CAtlException when even the prefix cannot be made.
void SetFailureText(OwnedWideString& errorText, LPCSTR prefix, DWORD code);

}  // namespace AtServiceHelpers
