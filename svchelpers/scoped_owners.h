// Move-only owners that the helper operations hold: a service-manager handle,
// a registry key, and the by-value strings an operation must release.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <utility>

#include "error_text.h"
#include "owned_wide_string.h"
#include "platform.h"

namespace AtServiceHelpers {

// A manager or service handle, closed through the seam when the owner ends.
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE h = nullptr) noexcept : m_h(h) {}
  ServiceHandle(ServiceHandle&& other) noexcept
      : m_h(std::exchange(other.m_h, nullptr)) {}
  ServiceHandle& operator=(ServiceHandle&& other) noexcept {
    if (this != &other) {
      Close();
      m_h = std::exchange(other.m_h, nullptr);
    }
    return *this;
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  ~ServiceHandle() { Close(); }

  SC_HANDLE Get() const noexcept { return m_h; }
  explicit operator bool() const noexcept { return m_h != nullptr; }
  void Close() noexcept {
    if (m_h != nullptr) {
      platform::CloseServiceHandle(m_h);
      m_h = nullptr;
    }
  }

 private:
  SC_HANDLE m_h;
};

// Opens the local service manager with all access into hScm. False, with
// the error text "Failed call to OpenSCManager: " and the system's text for
// the last error, when it cannot be opened.
inline bool OpenManager(ServiceHandle& hScm, OwnedWideString& errorText) {
  hScm = ServiceHandle(
      platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (hScm) return true;
  const DWORD error = platform::GetLastError();
  SetFailureText(errorText, "Failed call to OpenSCManager: ", error);
  return false;
}

// An opened registry key, closed through the seam when the owner ends.
class RegistryKey {
 public:
  RegistryKey() noexcept = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  ~RegistryKey() { Close(); }

  HKEY Get() const noexcept { return m_h; }
  // For RegOpenKeyExA to fill; the owner must be empty.
  PHKEY Receive() noexcept { return &m_h; }
  void Close() noexcept {
    if (m_h != nullptr) {
      platform::RegCloseKey(m_h);
      m_h = nullptr;
    }
  }

 private:
  HKEY m_h = nullptr;
};

// Releases an operation's by-value strings when the operation returns, on
// every path: whichever ABI destroys the parameters, they are empty by then.
class ReleasedOnReturn {
 public:
  ReleasedOnReturn(std::initializer_list<OwnedWideString*> strings) noexcept {
    for (OwnedWideString* s : strings) {
      if (m_count < kMax) m_strings[m_count++] = s;
    }
  }
  ReleasedOnReturn(const ReleasedOnReturn&) = delete;
  ReleasedOnReturn& operator=(const ReleasedOnReturn&) = delete;
  ~ReleasedOnReturn() {
    for (int i = 0; i < m_count; ++i) m_strings[i]->Release();
  }

 private:
  static constexpr int kMax = 6;
  OwnedWideString* m_strings[kMax] = {};
  int m_count = 0;
};

}  // namespace AtServiceHelpers
