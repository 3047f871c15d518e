// The system's text for an error code, in the buffer FormatMessageA
// allocates, given back with LocalFree when its owner ends.
#pragma once

#include "platform.h"

namespace platform {

class SystemMessage {
 public:
  // Inserts ("%1") are left in the text as they are: there are no arguments
  // to put there. Text() is null when the system has no text for the code.
  explicit SystemMessage(DWORD code) noexcept {
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                           FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPSTR>(&m_text), 0,
                       nullptr) == 0) {
      m_text = nullptr;
    }
  }
  SystemMessage(const SystemMessage&) = delete;
  SystemMessage& operator=(const SystemMessage&) = delete;
  ~SystemMessage() {
    if (m_text != nullptr) LocalFree(m_text);
  }
  LPCSTR Text() const noexcept { return m_text; }

 private:
  LPSTR m_text = nullptr;
};

}  // namespace platform
