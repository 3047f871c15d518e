// How the reporting forms tell an outcome: a message box with no owner
// window and the caption text, showing a text, a catalogue message or the
// system's text for an error code.
#pragma once

#include <windows.h>

// Each returns the button the user pressed (MB_OK boxes unless `type` says
// otherwise).
int ShowText(LPCSTR text, UINT type = MB_OK);
int ShowCatalogueMessage(UINT number, UINT type = MB_OK);

// Shows the system's text for `code`; false, with nothing shown, when the
// system has none.
bool ShowSystemText(DWORD code);
