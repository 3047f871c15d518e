// The administrator's settings (settings.h) as values of the service's
// Parameters key, read at start and again whenever the key's values change
// (RegNotifyChangeKeyValue on the values of that key alone, not its
// subtree, so that the stored registrations below it do not wake it) or
// the service manager sends SERVICE_CONTROL_PARAMCHANGE.
//
// A console reads the TCP service's key when it exists, and uses the
// defaults when it does not.
#pragma once

#include <windows.h>

#include <string>

#include "settings.h"

namespace tessard {

// The name under which the utility installs the TCP flavour
// (IDS_SERVICE_NAME_TCP in app/tessardctl.rc), whose settings a console
// follows.
constexpr wchar_t kTcpServiceName[] = L"Veltrane Portmapper for TCP";

class SettingsReader {
 public:
  SettingsReader() = default;
  ~SettingsReader();
  SettingsReader(const SettingsReader&) = delete;
  SettingsReader& operator=(const SettingsReader&) = delete;

  // Opens the Parameters key of the service: created when the service's
  // key exists without it; for a console (`create` false) only when it is
  // there. Returns 0, or the registry's error; no key is not an error for
  // a console, which then has the defaults and is never told of changes.
  LSTATUS Open(const std::wstring& serviceName, bool create);

  // Reads and parses the values, and asks to be told of the next change
  // (changed() is then set once). True, or false with the first error.
  bool Read(Settings* settings, SettingsError* error);

  // Whether the key has been deleted since it was opened; if so, opens it
  // again (made again for a service), so that the next Read reads the new
  // key, whose values are absent until written (the defaults), and asks
  // to be told of its changes. Asked about every second: a deleted key's
  // notification does not fire under Wine and cannot be asked again.
  bool Renew();

  // Set when the key's values change; nullptr without a key.
  HANDLE changed() const { return changed_; }

 private:
  LSTATUS OpenKey();

  std::wstring serviceName_;
  bool create_ = false;
  HKEY key_ = nullptr;
  HANDLE changed_ = nullptr;
};

// What is read from the key, for the parser and the tests.
SettingsValues ReadSettingsValues(HKEY key);

// A readable description of the settings in force, for the reports:
// "listening on every address; lookups from every network; listings to
// other machines over TCP".
std::string DescribeSettings(const Settings& settings);

}  // namespace tessard
