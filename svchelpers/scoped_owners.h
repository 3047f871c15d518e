// Move-only owners that the helper operations hold: a service-manager handle,
// a registry key, and the by-value strings an operation must release.
#pragma once

#include <windows.h>

#include <cstddef>
#include <utility>

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
// The count is that of the strings given: ReleasedOnReturn strings{&a, &b}.
template <std::size_t N>
class ReleasedOnReturn {
 public:
  template <typename... Strings>
  explicit ReleasedOnReturn(Strings*... strings) noexcept
      : m_strings{strings...} {}
  ReleasedOnReturn(const ReleasedOnReturn&) = delete;
  ReleasedOnReturn& operator=(const ReleasedOnReturn&) = delete;
  ~ReleasedOnReturn() {
    for (OwnedWideString* s : m_strings) s->Release();
  }

 private:
  OwnedWideString* m_strings[N];
};

template <typename... Strings>
ReleasedOnReturn(Strings*...) -> ReleasedOnReturn<sizeof...(Strings)>;

}  // namespace AtServiceHelpers
