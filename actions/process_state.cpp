// The process-wide variables and their start values.
#include "process_state.h"

HINSTANCE g_hInstance = nullptr;
HWND g_hDialog = nullptr;
char g_szCaption[kTextSize] = "";
int g_nAction = kActionNone;
int g_nStartMode = kStartManual;
int g_nTransport = kTransportTcp;
char g_szServerCommandLine[kTextSize] = "";
char g_szServiceName[kTextSize] = "";
SC_HANDLE g_hScm = nullptr;
SC_HANDLE g_hService = nullptr;

void ResetProcessState() {
  g_hInstance = nullptr;
  g_hDialog = nullptr;
  g_szCaption[0] = '\0';
  g_nAction = kActionNone;
  g_nStartMode = kStartManual;
  g_nTransport = kTransportTcp;
  g_szServerCommandLine[0] = '\0';
  g_szServiceName[0] = '\0';
  g_hScm = nullptr;
  g_hService = nullptr;
}
