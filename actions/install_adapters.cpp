// The adapters between the utility's narrow texts and the helper library:
// wide strings in, 0 or 1 and a bounded narrow copy of the error text out.
#include "install_adapters.h"
#include "service_helpers.h"

using AtServiceHelpers::OwnedWideString;

int TakeHelperOutcome(HRESULT hr, const WCHAR* errorText, UINT length,
                      LPSTR errorBuffer, DWORD* pcchError) {
  if (SUCCEEDED(hr)) {
    *pcchError = 0;
    return 0;
  }
  if (length == 0) {
    *pcchError = 0;
    return 1;
  }
  DWORD n = length < *pcchError ? length : *pcchError;
  DWORD i = 0;
  // No code-page translation: a character up to 255 is its own byte. A
  // character above 255 ends the copy, and the rest up to n is zero-filled
  // so that nothing undefined is ever shown.
  for (; i < n && errorText[i] <= 0xFF; ++i) {
    errorBuffer[i] = static_cast<char>(errorText[i]);
  }
  for (; i < n; ++i) errorBuffer[i] = '\0';
  errorBuffer[n] = '\0';
  *pcchError = n;
  return 1;
}

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
  return TakeHelperOutcome(hr, errorText.Get(), errorText.Length(), errorBuffer,
                           pcchError);
}

int UninstallWithModuleNameA(LPCSTR serviceName, LPCSTR serverCommandLine,
                             LPSTR errorBuffer, DWORD* pcchError) {
  OwnedWideString name(serviceName);
  OwnedWideString errorText;
  errorBuffer[0] = '\0';
  OwnedWideString moduleName(serverCommandLine);

  HRESULT hr =
      AtServiceHelpers::UninstallWithModuleName(name, moduleName, errorText);
  return TakeHelperOutcome(hr, errorText.Get(), errorText.Length(), errorBuffer,
                           pcchError);
}
