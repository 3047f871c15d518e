// How a registration is stored, so that the table outlasts the server: one
// value per registration, named by its key (program, version, netid) and
// holding the registration, written on SET and deleted on UNSET or when it
// is dropped. Each change is one value written or deleted, a step the
// registry makes atomically, so a crash leaves the stored table as it was
// before a change or after it. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "registration.h"

namespace tessard {

// The value's name: "<prog> <vers> <netid>", e.g. "100003 3 udp". Registry
// value names ignore letter case, so a capital letter of the netid is
// written as '^' and the small letter, and '^' as "^^": netids that differ
// only in case get names that differ.
std::string StoredValueName(const Registration& registration);

// The value's bytes, in XDR: a layout number (1), program, version, netid,
// address, owner, the version of the SET that made it, and the process's
// id and creation time.
std::vector<std::uint8_t> EncodeStoredRegistration(
    const Registration& registration);

// Reads a value back. False, with what is wrong in words an administrator
// reads, when the bytes do not decode in full or the registration breaks
// the rules a SET is held to (RegistrationFault), or is owned by
// kOwnOwner, which no SET gives. The registration is
// written only when it is whole.
bool DecodeStoredRegistration(const std::uint8_t* data, std::size_t size,
                              Registration* registration,
                              const char** problem);

// One change of the stored table.
struct StoredChange {
  enum class Kind { kWrite, kDelete };
  Kind kind;
  std::string name;                // the value's name
  std::vector<std::uint8_t> data;  // kWrite: the value's bytes
  const Registration* registration;
};

// Where the table keeps its changes: the service's registry key in the
// Windows program (...\Services\<name>\Parameters\Registrations: kWrite
// sets a REG_BINARY value of that name to the bytes, kDelete deletes the
// value, and a value already absent counts as deleted), memory in the
// tests and fuzzers (MemoryStore).
class Store {
 public:
  virtual ~Store() = default;
  // Makes the change lasting before the table publishes it; false when it
  // could not (the table then does not change). Called under the table's
  // writers' lock: it must not call back into the table.
  virtual bool Keep(const StoredChange& change) = 0;
};

// A value as read back from the store.
struct StoredValue {
  std::string name;
  std::vector<std::uint8_t> data;
};

}  // namespace tessard
