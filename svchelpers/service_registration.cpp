// Registering half of AtServiceHelpers: whether a service exists, creating
// an own-process auto-start service, and writing its description.
#include <cstring>

#include "error_text.h"
#include "platform.h"
#include "scoped_owners.h"
#include "service_helpers.h"
#include "service_manager.h"
#include "services_key.h"

namespace AtServiceHelpers {

namespace {

// A list of one name, ended by two NULs (the literal adds the second).
constexpr char kDependencies[] = "RPCSS\0";

HRESULT IsInstalledBody(const OwnedWideString& serviceName, BOOL* pbInstalled,
                        OwnedWideString& errorText) {
  *pbInstalled = FALSE;
  ServiceHandle hScm;
  if (!OpenManager(hScm, errorText)) return E_FAIL;
  const NarrowCopy name(serviceName);
  ServiceHandle hService(
      platform::OpenServiceA(hScm.Get(), name.Get(), SERVICE_QUERY_CONFIG));
  if (!hService) {
    const DWORD error = platform::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return S_OK;
    SetFailureText(errorText, "Failed call to OpenService: ", error);
    return E_FAIL;
  }
  *pbInstalled = TRUE;
  return S_OK;  // the service handle closes before the manager
}

HRESULT InstallBody(const OwnedWideString& serviceName,
                    const OwnedWideString& displayName,
                    const OwnedWideString& description,
                    OwnedWideString& account, OwnedWideString& password,
                    const OwnedWideString& moduleName,
                    OwnedWideString& errorText) {
  // Asked for its failure alone: a manager or service that may not be
  // opened ends the install with its text. An existing registration is
  // still asked to be created: the manager refuses it as existing, and it
  // is left as it is, unless it is marked for deletion, which it refuses as
  // such. That one goes when its last handle closes and must not pass for
  // installed.
  BOOL bInstalled = FALSE;
  const HRESULT hr =
      IsInstalled(OwnedWideString(serviceName), &bInstalled, errorText);
  if (FAILED(hr)) return hr;

  ServiceHandle hScm;
  if (!OpenManager(hScm, errorText)) return E_FAIL;

  // No account means the local system account; no password, none.
  if (account.Length() == 0) account.Release();
  if (password.Length() == 0) password.Release();
  const NarrowCopy passwordText(password);
  const NarrowCopy accountText(account);
  const NarrowCopy moduleText(moduleName);
  const NarrowCopy displayText(displayName);
  const NarrowCopy nameText(serviceName);
  // An account or password that cannot be converted must not reach the
  // service manager as null: a null account registers the service under
  // the local system account instead of the one asked for.
  if ((!account.IsNull() && accountText.Get() == nullptr) ||
      (!password.IsNull() && passwordText.Get() == nullptr)) {
    SetFailureText(errorText,
                   "Failed call to CreateService: ", ERROR_INVALID_DATA);
    return E_FAIL;
  }

  ServiceHandle hService(platform::CreateServiceA(
      hScm.Get(), nameText.Get(), displayText.Get(), SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
      moduleText.Get(), /*lpLoadOrderGroup=*/nullptr, /*lpdwTagId=*/nullptr,
      kDependencies, accountText.Get(), passwordText.Get()));
  if (!hService) {
    const DWORD error = platform::GetLastError();
    if (error == ERROR_SERVICE_EXISTS) return S_OK;
    SetFailureText(errorText, "Failed call to CreateService: ", error);
    return E_FAIL;
  }
  hService.Close();
  hScm.Close();
  return SetDescription(OwnedWideString(serviceName),
                        OwnedWideString(description), errorText);
}

HRESULT SetDescriptionBody(const OwnedWideString& serviceName,
                           const OwnedWideString& description,
                           OwnedWideString& errorText) {
  if (description.Length() == 0) return S_OK;

  // An empty name would name the key that holds all services, not a
  // service's own key: nothing is opened.
  if (serviceName.Length() == 0) {
    SetFailureText(errorText,
                   "Failed call to Open Services Key: ", ERROR_INVALID_DATA);
    return E_FAIL;
  }
  RegistryKey key;
  if (!OpenServicesKey(serviceName, KEY_WRITE, key, errorText)) return E_FAIL;

  const NarrowCopy text(description);
  DWORD code = ERROR_INVALID_DATA;
  if (text.Get() != nullptr) {
    const DWORD bytes = static_cast<DWORD>(std::strlen(text.Get()) + 1);
    code = static_cast<DWORD>(platform::RegSetValueExA(
        key.Get(), "Description", 0, REG_SZ,
        reinterpret_cast<const BYTE*>(text.Get()), bytes));
  }
  if (code != ERROR_SUCCESS) {
    SetFailureText(errorText, "Failed call to Write Services Key: ", code);
    return E_FAIL;
  }
  return S_OK;
}

}  // namespace

HRESULT IsInstalled(OwnedWideString serviceName, BOOL* pbInstalled,
                    OwnedWideString& errorText) {
  const ReleasedOnReturn strings{&serviceName};
  return WithCatchAll(
      "Exception caught in AtServiceHelpers::IsInstalled", errorText,
      [&] { return IsInstalledBody(serviceName, pbInstalled, errorText); });
}

HRESULT InstallWithModuleName(OwnedWideString serviceName,
                              OwnedWideString displayName,
                              OwnedWideString description,
                              OwnedWideString account, OwnedWideString password,
                              OwnedWideString moduleName,
                              OwnedWideString& errorText) {
  const ReleasedOnReturn strings{&serviceName, &displayName, &description,
                                 &account,     &password,    &moduleName};
  return WithCatchAll(
      "Exception caught in AtServiceHelpers::InstallWithModuleName", errorText,
      [&] {
        return InstallBody(serviceName, displayName, description, account,
                           password, moduleName, errorText);
      });
}

HRESULT SetDescription(OwnedWideString serviceName, OwnedWideString description,
                       OwnedWideString& errorText) {
  const ReleasedOnReturn strings{&serviceName, &description};
  return WithCatchAll(
      "Exception caught in AtServiceHelpers::SetDescription", errorText,
      [&] { return SetDescriptionBody(serviceName, description, errorText); });
}

}  // namespace AtServiceHelpers
