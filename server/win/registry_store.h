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

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "stored_registration.h"

namespace tessard {

// The service's key, relative to HKEY_LOCAL_MACHINE.
std::wstring ServiceKeyPath(const std::wstring& serviceName);

// Creates (or opens) `subkey` under the service's key, which must exist:
// a key deleted under the running service is made again, but never the
// service's own, which goes only with the service. Returns 0 or the
// registry's error (ERROR_FILE_NOT_FOUND without the service's key).
LSTATUS CreateServiceSubkey(const std::wstring& serviceName,
                            const wchar_t* subkey, REGSAM access, HKEY* key);

class RegistryStore : public Store {
 public:
  RegistryStore() = default;
  ~RegistryStore() override;
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Opens the Registrations key of the service, creating it when absent.
  // Returns 0 or the registry's error.
  LSTATUS Open(const std::wstring& serviceName);

  // Every stored value, in the order the registry lists them. Names come
  // as Narrow gives them: one that is not text we could have written
  // (an unpaired surrogate included) is found damaged, and SetAside finds
  // it again by that name.
  LSTATUS ReadAll(std::vector<StoredValue>* values);

  // Moves a value to the Damaged key: written there first, then deleted
  // here, so that a crash in between leaves it in both places, never in
  // neither. False when it could not be moved (it then stays where it is).
  // Either way it is no registration of the table.
  bool SetAside(const std::string& name);

  // A change that meets the key deleted (ERROR_KEY_DELETED) makes the key
  // again, stores every registration of the table in it, and is tried once
  // more there before it is answered.
  bool Keep(const StoredChange& change) override;

  // What became of a deleted key since the last call.
  struct Renewal {
    bool deleted = false;        // found deleted: nothing else is set
    LSTATUS error = ERROR_SUCCESS;  // why it could not be made again
    std::size_t stored = 0;      // registrations stored again
  };
  // For the housekeeping, about every second: makes the key again, as a
  // change would, when it has been deleted and no change has met it yet,
  // and tries again a renewal that failed; says what was done since the
  // last call. A failure is said once, until the key is made again.
  Renewal Renew();

 private:
  // Under lock_: makes the key again and stores the table in it.
  LSTATUS Recreate();

  std::mutex lock_;
  std::wstring serviceName_;
  HKEY registrations_ = nullptr;
  // What the key holds, by the names as the registry has them: the
  // registrations of the table (the port mapper's own aside), from which
  // a deleted key is made again.
  std::map<std::wstring, std::vector<BYTE>> kept_;
  Renewal renewal_;          // what Renew has to say
  bool failing_ = false;     // the key is deleted and could not be made
  bool failureSaid_ = false;
};

}  // namespace tessard
