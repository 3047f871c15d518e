// The few process-wide variables that the entry, the dialog and the
// actions share. One thread touches them; there are no locks.
#pragma once

#include <windows.h>

#include "choices.h"

constexpr int kTextSize = 256;  // every fixed narrow text buffer

extern HINSTANCE g_hInstance;
extern HWND g_hDialog;
extern char g_szCaption[kTextSize];
extern int g_nAction;
extern int g_nStartMode;
extern int g_nTransport;
extern char g_szServerCommandLine[kTextSize];
extern char g_szServiceName[kTextSize];
// Start-and-wait's handles: opened on first need, kept for the process.
extern SC_HANDLE g_hScm;
extern SC_HANDLE g_hService;

// Puts every variable back to its start value (tests run many "processes"
// in one).
void ResetProcessState();
