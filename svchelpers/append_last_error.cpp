// The system's text for an error code, appended to a helper's error text,
// with a hexadecimal stand-in for codes the system has no text for.
#include <cstdio>

#include "error_text.h"
#include "platform.h"
#include "service_helpers.h"

namespace AtServiceHelpers {

namespace {

// The buffer FormatMessageA allocates, given back with LocalFree.
class SystemMessage {
 public:
  SystemMessage() noexcept = default;
  SystemMessage(const SystemMessage&) = delete;
  SystemMessage& operator=(const SystemMessage&) = delete;
  ~SystemMessage() {
    if (m_text != nullptr) platform::LocalFree(m_text);
  }
  LPSTR* Receive() noexcept { return &m_text; }
  LPCSTR Get() const noexcept { return m_text; }

 private:
  LPSTR m_text = nullptr;
};

// "0x" and the code as an HRESULT: a Win32 code maps into FACILITY_WIN32
// (its high 16 bits are lost); zero and codes that already are failure
// HRESULTs stay as they are.
OwnedWideString HexadecimalForm(DWORD code) {
  const DWORD hresult =
      static_cast<LONG>(code) <= 0 ? code : (0x80070000u | (code & 0xFFFFu));
  char digits[9];
  std::snprintf(digits, sizeof digits, "%x", static_cast<unsigned>(hresult));
  OwnedWideString form("0x");
  form.Append(OwnedWideString(digits));
  return form;
}

}  // namespace

void AppendLastError(OwnedWideString& errorText, DWORD code) {
  try {
    OwnedWideString message;
    {
      SystemMessage system;
      const DWORD length = platform::FormatMessageA(
          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
              FORMAT_MESSAGE_ALLOCATE_BUFFER,
          nullptr, code, 0, reinterpret_cast<LPSTR>(system.Receive()), 1,
          nullptr);
      if (length != 0) {
        message = system.Get();  // the line end the system adds stays
      } else {
        message = HexadecimalForm(code);
      }
    }
    if (message.Length() != 0) errorText.Append(message);
  } catch (...) {
    errorText = "Exception caught in AtServiceHelpers::AppendLastError";
  }
}

void SetFailureText(OwnedWideString& errorText, LPCSTR prefix, DWORD code) {
  errorText = prefix;
  AppendLastError(errorText, code);
}

}  // namespace AtServiceHelpers
