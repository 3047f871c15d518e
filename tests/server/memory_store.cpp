// The store in memory.
#include "memory_store.h"

namespace tessard {
namespace {

std::string Folded(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

}  // namespace

bool MemoryStore::Keep(const StoredChange& change) {
  std::lock_guard<std::mutex> lock(lock_);
  if (keepFirst_ > 0) {
    --keepFirst_;
  } else if (failures_ > 0) {
    --failures_;
    return false;
  }
  if (change.kind == StoredChange::Kind::kWrite) {
    values_[Folded(change.name)] = StoredValue{change.name, change.data};
  } else {
    // Deleting a value that is not there leaves what was asked for.
    values_.erase(Folded(change.name));
  }
  return true;
}

void MemoryStore::FailNext(std::size_t count, std::size_t after) {
  std::lock_guard<std::mutex> lock(lock_);
  keepFirst_ = after;
  failures_ = count;
}

std::vector<StoredValue> MemoryStore::Values() const {
  std::lock_guard<std::mutex> lock(lock_);
  std::vector<StoredValue> values;
  for (const auto& entry : values_) values.push_back(entry.second);
  return values;
}

void MemoryStore::Put(const std::string& name,
                      const std::vector<std::uint8_t>& data) {
  std::lock_guard<std::mutex> lock(lock_);
  values_[Folded(name)] = StoredValue{name, data};
}

}  // namespace tessard
