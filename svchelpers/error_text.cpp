// A helper's error text: a prefix naming the failed call and the system's
// text for the code, with a hexadecimal stand-in for codes the system has
// no text for.
#include "error_text.h"

#include <cstdio>

#include "platform.h"
#include "service_helpers.h"
#include "system_message.h"

namespace AtServiceHelpers {

namespace {

// "0x" and the code as an HRESULT: a Win32 code maps into FACILITY_WIN32
// (its high 16 bits are lost); zero and codes that already are failure
// HRESULTs stay as they are.
OwnedWideString HexadecimalForm(DWORD code) {
  const DWORD hresult =
      static_cast<LONG>(code) <= 0 ? code : (0x80070000u | (code & 0xFFFFu));
  char digits[9];
  std::snprintf(digits, sizeof digits, "%x", static_cast<unsigned>(hresult));
  OwnedWideString form("0x");
  form.Append(OwnedWideString(digits));
  return form;
}

}  // namespace

void AppendLastError(OwnedWideString& errorText, DWORD code) {
  try {
    OwnedWideString message;
    {
      const platform::SystemMessage system(code);
      if (system.Text() != nullptr) {
        message = system.Text();  // the line end the system adds stays
      } else {
        message = HexadecimalForm(code);
      }
    }
    if (message.Length() != 0) errorText.Append(message);
  } catch (...) {
    errorText = "Exception caught in AtServiceHelpers::AppendLastError";
  }
}

void SetFailureText(OwnedWideString& errorText, LPCSTR prefix, DWORD code) {
  errorText = prefix;
  AppendLastError(errorText, code);
}

}  // namespace AtServiceHelpers
