// The guards around the actions: what an exception becomes in the reporting
// and in the silent form.
#include "action_guard.h"

#include <windows.h>

#include <cstdio>

#include "owned_wide_string.h"
#include "message_boxes.h"

namespace {

void ReportException(HRESULT hr) noexcept {
  if (ShowSystemText(static_cast<DWORD>(hr))) return;
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
  ShowText(text);
}

}  // namespace

void RunReportingAction(void (*action)()) noexcept {
  try {
    action();
  } catch (const AtServiceHelpers::CAtlException& e) {
    ReportException(e.m_hr);
  } catch (...) {
    ReportException(E_UNEXPECTED);
  }
}

int RunSilentAction(int (*action)()) noexcept {
  try {
    return action();
  } catch (...) {
    return -1;
  }
}
