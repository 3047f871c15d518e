// The registration table: its snapshots published for lock-free reads, and
// the changes that replace them.
#include "registration_table.h"

#include <utility>

namespace tessard {
namespace {

// Every snapshot has room for the whole table, so that all take blocks of
// one size and the block a replaced snapshot frees fits the next one.
// Snapshots sized to their registrations each left a hole a little too
// small for the next, and the lasting allocations a change makes between
// them (the store's copy of each registration) settled there and kept the
// holes from joining: under Wine the process grew by over 100 MB while
// the table filled.
std::unique_ptr<Snapshot> NewSnapshot(std::size_t capacity) {
  auto snapshot = std::make_unique<Snapshot>();
  snapshot->reserve(capacity);
  return snapshot;
}

}  // namespace

RegistrationTable::RegistrationTable(std::size_t capacity)
    : capacity_(capacity), snapshots_(NewSnapshot(capacity)) {}

std::size_t RegistrationTable::ClaimSlot() {
  for (std::size_t i = 0; i < kMaxReaders; ++i) {
    bool expected = false;
    if (claimed_[i].compare_exchange_strong(expected, true)) return i;
  }
  return kNoSlot;
}

void RegistrationTable::ReleaseSlot(std::size_t slot) {
  if (slot < kMaxReaders) claimed_[slot].store(false);
}

RegistrationTable::AddResult RegistrationTable::Add(
    const Registration& registration, Storage storage) {
  std::lock_guard<std::mutex> lock(snapshots_.writers());
  const Snapshot& now = snapshots_.current();
  for (const Registration& r : now) {
    if (r.prog == registration.prog && r.vers == registration.vers &&
        r.netid.view() == registration.netid.view()) {
      return AddResult::kExists;
    }
  }
  if (now.size() >= capacity_) return AddResult::kFull;
  // Copying may throw std::bad_alloc: the copy is owned until published,
  // and everything that allocates comes before the store changes.
  auto next = NewSnapshot(capacity_);
  next->insert(next->end(), now.begin(), now.end());
  next->push_back(registration);
  if (store_ && storage == Storage::kKeep && !registration.permanent) {
    StoredChange change{StoredChange::Kind::kWrite,
                        StoredValueName(registration),
                        EncodeStoredRegistration(registration), &registration};
    if (!store_->Keep(change)) return AddResult::kNotKept;
  }
  snapshots_.Publish(std::move(next));
  return AddResult::kAdded;
}

RegistrationTable::RemoveResult RegistrationTable::RemoveIf(
    const Selector& selects, const Selector& mayRemove,
    std::vector<Registration>* removed) {
  std::lock_guard<std::mutex> lock(snapshots_.writers());
  const Snapshot& now = snapshots_.current();
  RemoveResult result;
  // The changes are made before the first is kept, so that running out of
  // memory cannot leave the store and the table apart.
  std::vector<StoredChange> changes;
  for (const Registration& r : now) {
    if (r.permanent || !selects(r)) continue;
    if (mayRemove && !mayRemove(r)) {
      result.refused = true;
      return result;
    }
    changes.push_back(StoredChange{StoredChange::Kind::kDelete,
                                   store_ ? StoredValueName(r) : std::string(),
                                   {}, &r});
  }
  if (changes.empty()) return result;
  auto next = NewSnapshot(capacity_);
  if (removed) removed->reserve(removed->size() + changes.size());
  std::size_t kept = 0;
  for (const StoredChange& change : changes) {
    if (store_ && !store_->Keep(change)) {
      result.notKept = true;
      result.unkept = *change.registration;
      break;
    }
    ++kept;
  }
  // The changes follow the snapshot's order: the first `kept` go.
  std::size_t seen = 0;
  for (const Registration& r : now) {
    bool going = seen < kept && &r == changes[seen].registration;
    if (going) {
      ++seen;
      if (removed) removed->push_back(r);
    } else {
      next->push_back(r);
    }
  }
  result.removed = kept;
  if (kept > 0) snapshots_.Publish(std::move(next));
  return result;
}

bool RegistrationTable::Selects(
    const Registration& r, std::uint32_t prog, std::uint32_t vers,
    std::initializer_list<std::string_view> netids) {
  if (r.prog != prog || r.vers != vers) return false;
  if (netids.size() == 0) return true;
  for (std::string_view netid : netids) {
    if (r.netid.view() == netid) return true;
  }
  return false;
}

RegistrationTable::RemoveResult RegistrationTable::Remove(
    std::uint32_t prog, std::uint32_t vers,
    std::initializer_list<std::string_view> netids, const Selector& mayRemove,
    std::vector<Registration>* removed) {
  auto selects = [&](const Registration& r) {
    return Selects(r, prog, vers, netids);
  };
  return RemoveIf(selects, mayRemove, removed);
}

std::size_t RegistrationTable::size() {
  std::lock_guard<std::mutex> lock(snapshots_.writers());
  return snapshots_.current().size();
}

}  // namespace tessard
