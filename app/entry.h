// The process entry: an empty command line opens the installer dialog,
// "nogui ..." runs one silent action and returns its result as exit code.
#pragma once

#include <windows.h>

int TessardMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine,
                int nShowCmd);
