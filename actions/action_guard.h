// Keeps a CAtlException from leaving an action: a C++ exception must not
// unwind through the entry or through the window manager's frames.
#pragma once

#include <windows.h>

#include "owned_wide_string.h"

// Shows the system's text for `hr` (or its hexadecimal form when the system
// has none) in a message box with the caption text and MB_OK.
void ReportActionException(HRESULT hr) noexcept;

// Runs a reporting action; an exception is shown with ReportActionException.
template <typename ActionFn>
void RunReportingAction(ActionFn&& action) noexcept {
  try {
    action();
  } catch (const AtServiceHelpers::CAtlException& e) {
    ReportActionException(e.m_hr);
  } catch (...) {
    ReportActionException(E_UNEXPECTED);
  }
}

// Runs a silent action; an exception gives -1, like any other failure.
template <typename ActionFn>
int RunSilentAction(ActionFn&& action) noexcept {
  try {
    return action();
  } catch (...) {
    return -1;
  }
}
