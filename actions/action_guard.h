// Keeps an exception from leaving an action: a C++ exception must not
// unwind through the entry or through the window manager's frames.
#pragma once

// Runs a reporting action; an exception is shown in a box: the system's
// text for its code, or the code in hexadecimal when the system has none.
void RunReportingAction(void (*action)()) noexcept;

// Runs a silent action; an exception gives -1, like any other failure.
int RunSilentAction(int (*action)()) noexcept;
