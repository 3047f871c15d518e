// The adapters between the utility's narrow texts and the helper library:
// wide strings in, 0 or 1 and a bounded narrow copy of the error text out.
#include "install_actions.h"
#include "service_helpers.h"

using AtServiceHelpers::OwnedWideString;

namespace {

// Turns the library's outcome into 0 or 1 and copies the error text, one
// byte per character, at most *pcchError characters and a NUL.
int TakeOutcome(HRESULT hr, const OwnedWideString& errorText, LPSTR errorBuffer,
                DWORD* pcchError) {
  if (SUCCEEDED(hr)) {
    *pcchError = 0;
    return 0;
  }
  UINT length = errorText.Length();
  if (length == 0) {
    *pcchError = 0;
    return 1;
  }
  DWORD n = length < *pcchError ? length : *pcchError;
  const WCHAR* text = errorText.Get();
  DWORD i = 0;
  // No code-page translation: a character up to 255 is its own byte. A
  // character above 255 ends the copy, and the rest up to n is zero-filled
  // so that nothing undefined is ever shown.
  for (; i < n && text[i] <= 0xFF; ++i) {
    errorBuffer[i] = static_cast<char>(text[i]);
  }
  for (; i < n; ++i) errorBuffer[i] = '\0';
  errorBuffer[n] = '\0';
  *pcchError = n;
  return 1;
}

}  // namespace

int InstallWithModuleNameA(LPCSTR serviceName, LPCSTR displayName,
                           LPCSTR description, LPCSTR account, LPCSTR password,
                           LPCSTR serverCommandLine, LPSTR errorBuffer,
                           DWORD* pcchError) {
  OwnedWideString name(serviceName);
  OwnedWideString display(displayName);
  OwnedWideString descriptionText(description);
  OwnedWideString accountName(account);
  OwnedWideString passwordText(password);
  OwnedWideString errorText;
  errorBuffer[0] = '\0';
  OwnedWideString moduleName(serverCommandLine);

  HRESULT hr = AtServiceHelpers::InstallWithModuleName(
      name, display, descriptionText, accountName, passwordText, moduleName,
      errorText);
  return TakeOutcome(hr, errorText, errorBuffer, pcchError);
}

int UninstallWithModuleNameA(LPCSTR serviceName, LPCSTR serverCommandLine,
                             LPSTR errorBuffer, DWORD* pcchError) {
  OwnedWideString name(serviceName);
  OwnedWideString errorText;
  errorBuffer[0] = '\0';
  OwnedWideString moduleName(serverCommandLine);

  HRESULT hr =
      AtServiceHelpers::UninstallWithModuleName(name, moduleName, errorText);
  return TakeOutcome(hr, errorText, errorBuffer, pcchError);
}
