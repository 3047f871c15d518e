// The message boxes of the reporting forms.
#include "message_boxes.h"

#include "platform.h"
#include "process_state.h"
#include "system_message.h"

int ShowText(LPCSTR text, UINT type) {
  return platform::MessageBoxA(nullptr, text, g_szCaption, type);
}

int ShowCatalogueMessage(UINT number, UINT type) {
  char text[kTextSize] = "";
  platform::LoadStringA(g_hInstance, number, text, kTextSize);
  return ShowText(text, type);
}

bool ShowSystemText(DWORD code) {
  const platform::SystemMessage message(code);
  if (message.Text() == nullptr) return false;
  ShowText(message.Text());
  return true;
}
