// AtServiceHelpers: operations on a named service that report an HRESULT
// and, on failure, a readable error text.
#pragma once

#include <windows.h>

#include "owned_wide_string.h"

namespace AtServiceHelpers {

// Appends the system's text for `code` (or 0x and its HRESULT form when the
// system has none) to `errorText`. Never throws past the fixed text.
void AppendLastError(OwnedWideString& errorText, DWORD code);

HRESULT IsInstalled(OwnedWideString serviceName, BOOL* pbInstalled,
                    OwnedWideString& errorText);

HRESULT InstallWithModuleName(OwnedWideString serviceName,
                              OwnedWideString displayName,
                              OwnedWideString description,
                              OwnedWideString account, OwnedWideString password,
                              OwnedWideString moduleName,
                              OwnedWideString& errorText);

HRESULT SetDescription(OwnedWideString serviceName, OwnedWideString description,
                       OwnedWideString& errorText);

HRESULT IsThisMyServiceWithModuleName(OwnedWideString serviceName,
                                      BOOL* pbIsMine,
                                      OwnedWideString moduleName,
                                      OwnedWideString& errorText);

HRESULT UninstallWithModuleName(OwnedWideString serviceName,
                                OwnedWideString moduleName,
                                OwnedWideString& errorText);

}  // namespace AtServiceHelpers
