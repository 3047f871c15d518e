// A store in memory for the native tests and fuzzers: it keeps values by
// name as the registry does (names that differ only in letter case are
// one name) and can be told to fail. Free of Windows headers.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "stored_registration.h"

namespace tessard {

class MemoryStore : public Store {
 public:
  bool Keep(const StoredChange& change) override;

  // After `after` more changes are kept, the next `count` fail.
  void FailNext(std::size_t count, std::size_t after = 0);
  // The values as the registry would list them, in name order.
  std::vector<StoredValue> Values() const;
  // Puts a value as another program (or a damaged disk) might have.
  void Put(const std::string& name, const std::vector<std::uint8_t>& data);

 private:
  mutable std::mutex lock_;
  std::map<std::string, StoredValue> values_;  // by the name in small letters
  std::size_t keepFirst_ = 0;
  std::size_t failures_ = 0;
};

}  // namespace tessard
