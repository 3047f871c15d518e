// The adapters between the utility's narrow texts and the helper library:
// wide strings in, 0 or 1 and a bounded narrow copy of the error text out.
#pragma once

#include <windows.h>

// 0 when the helper library reported success, 1 otherwise; the error text
// goes to errorBuffer, at most *pcchError characters and a NUL, and
// *pcchError becomes the number stored. May throw CAtlException.
int InstallWithModuleNameA(LPCSTR serviceName, LPCSTR displayName,
                           LPCSTR description, LPCSTR account, LPCSTR password,
                           LPCSTR serverCommandLine, LPSTR errorBuffer,
                           DWORD* pcchError);
int UninstallWithModuleNameA(LPCSTR serviceName, LPCSTR serverCommandLine,
                             LPSTR errorBuffer, DWORD* pcchError);

// Turns the helper library's outcome into 0 or 1 and copies the error text
// (length characters; null when length is 0) one byte per character, at
// most *pcchError of them and a NUL; *pcchError becomes the number stored.
int TakeHelperOutcome(HRESULT hr, const WCHAR* errorText, UINT length,
                      LPSTR errorBuffer, DWORD* pcchError);
