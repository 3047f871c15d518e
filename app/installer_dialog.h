// The installer dialog (template 101): choose Install or Remove, check the
// server command line, OK; every outcome is told in a message box.
#pragma once

#include <windows.h>

INT_PTR CALLBACK InstallerDialogProc(HWND hDlg, UINT message, WPARAM wParam,
                                     LPARAM lParam);
