// The server command line: the quoted tessard.exe beside this utility and a
// transport word, composed from the utility's own path.
#pragma once

#include <windows.h>

#include "process_state.h"

// Writes "\"<drive><directory>tessard.exe\" <transport>" into commandLine.
// False, with commandLine empty, when the utility's own path cannot be
// trusted to name the server beside it (see the .cpp) or when the text would
// not fit its 255 characters.
bool ComposeServerCommandLine(LPCSTR transport, char (&commandLine)[kTextSize]);
