// The install and remove actions: a reporting form for the dialog and a
// silent form for the command line, over the helper library's adapters.
#pragma once

#include <windows.h>

// The remove forms take the server command line from g_szServerCommandLine.
// They may throw CAtlException when memory runs out; callers go through
// RunReportingAction / RunSilentAction (action_guard.h).
void InstallAndReport(LPCSTR serviceName, LPCSTR serverCommandLine);
int InstallSilently(LPCSTR serviceName, LPCSTR serverCommandLine);
void RemoveAndReport(LPCSTR serviceName);
int RemoveSilently(LPCSTR serviceName);
