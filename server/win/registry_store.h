// The table's lasting store in the service's registry key:
//   HKLM\SYSTEM\CurrentControlSet\Services\<service>\Parameters\Registrations
// holds one REG_BINARY value per registration (stored_registration.h), and
//   ...\Parameters\Damaged
// the values found damaged at a start, moved there under their own names
// for an administrator to look at, never deleted by the server.
//
// Each change is one value written or deleted, which the registry makes
// atomically: a crash of the server leaves either the value before or the
// value after. Changes are not flushed to disk one by one (RegFlushKey
// costs a write of the hive each time); the system writes the hive within
// seconds, so a power loss may lose the last changes, never tear one.
//
// Both keys lie under the service's own key, which admits only
// administrators and SYSTEM, and which the service manager deletes, with
// everything under it, when the service is deleted.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "stored_registration.h"

namespace tessard {

// The service's key, relative to HKEY_LOCAL_MACHINE.
std::wstring ServiceKeyPath(const std::wstring& serviceName);

class RegistryStore : public Store {
 public:
  RegistryStore() = default;
  ~RegistryStore() override;
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Opens the Registrations key of the service, creating it when absent.
  // Returns 0 or the registry's error.
  LSTATUS Open(const std::wstring& serviceName);

  // Every stored value, in the order the registry lists them. A value
  // whose name is not text we could have written comes back with its name
  // as read, so that it is found damaged and set aside.
  LSTATUS ReadAll(std::vector<StoredValue>* values);

  // Moves a value to the Damaged key: written there first, then deleted
  // here, so that a crash in between leaves it in both places, never in
  // neither. False when it could not be moved (it then stays where it is).
  bool SetAside(const std::string& name);

  bool Keep(const StoredChange& change) override;

 private:
  std::wstring serviceName_;
  HKEY registrations_ = nullptr;
};

}  // namespace tessard
