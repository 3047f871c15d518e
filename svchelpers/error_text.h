// How a failing helper operation composes its error text: a fixed prefix
// naming the failed call, then the system's text for the code.
#pragma once

#include <windows.h>

#include "owned_wide_string.h"

namespace AtServiceHelpers {

// Replaces errorText with `prefix` and appends the text for `code`. Raises
// CAtlException when even the prefix cannot be made.
void SetFailureText(OwnedWideString& errorText, LPCSTR prefix, DWORD code);

// Runs an operation's whole body under the catch-all: any exception ends it
// with E_UNEXPECTED and errorText = "Exception caught in
// AtServiceHelpers::" and the operation's name (`caughtText`). An exception
// from that assignment itself leaves the operation.
template <typename Body>
HRESULT WithCatchAll(LPCSTR caughtText, OwnedWideString& errorText,
                     Body&& body) {
  try {
    return body();
  } catch (...) {
    errorText = caughtText;
    return E_UNEXPECTED;
  }
}

}  // namespace AtServiceHelpers
