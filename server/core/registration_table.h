// The port mapper's registrations: (program, version, netid) mapped to a
// universal address and an owner. Lookups read an immutable snapshot
// without taking a lock (published.h); a change (rare, and only from this
// machine) copies the snapshot under the writers' mutex, hands the change
// to the store and publishes the copy once the store has kept it. Free of
// Windows headers.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "published.h"
#include "registration.h"
#include "stored_registration.h"

namespace tessard {

// The most registrations the table holds, our own included.
constexpr std::size_t kMaxRegistrations = 2048;

using Snapshot = std::vector<Registration>;

class RegistrationTable {
 public:
  explicit RegistrationTable(std::size_t capacity = kMaxRegistrations);

  // A reading thread claims a slot for its life and reads through it.
  // kNoSlot, when all are taken, still reads, under the writers' mutex.
  static constexpr std::size_t kNoSlot = kMaxReaders;
  std::size_t ClaimSlot();
  void ReleaseSlot(std::size_t slot);

  // Holds the current snapshot for as long as it lives. A thread holding a
  // ReadGuard must not change the table.
  class ReadGuard : public Published<Snapshot>::Guard {
   public:
    ReadGuard(RegistrationTable& table, std::size_t slot)
        : Guard(table.snapshots_, slot) {}
    const Snapshot& snapshot() const { return value(); }
  };

  // Where changes are kept before they are published; nullptr (the
  // start): nowhere, the table lives in memory only. Set before serving.
  void SetStore(Store* store) { store_ = store; }

  enum class AddResult { kAdded, kExists, kFull, kNotKept };
  // Whether an added registration must still be stored, or was read back
  // from the store.
  enum class Storage { kKeep, kAlreadyKept };
  // Adds a registration unless one of the same program, version and netid
  // exists, the table is full, or the store does not keep it. The port
  // mapper's own (permanent) are never stored.
  AddResult Add(const Registration& registration,
                Storage storage = Storage::kKeep);

  using Selector = std::function<bool(const Registration&)>;
  struct RemoveResult {
    std::size_t removed = 0;
    bool refused = false;  // mayRemove refused one: nothing was removed
    bool notKept = false;  // the store failed: that one and those after stay
    Registration unkept;   // with notKept: the one the store failed on
  };
  // Removes, in one change, the registrations `selects` picks, but never a
  // permanent one; none when `mayRemove` refuses any of them. Each removal
  // is kept by the store before the table changes; when the store fails,
  // the registrations already kept go and the others stay. The removed are
  // appended to *removed when given.
  RemoveResult RemoveIf(const Selector& selects, const Selector& mayRemove,
                        std::vector<Registration>* removed = nullptr);
  // Whether `r` is of the program and version, on one of these netids or,
  // when there are none, on any.
  static bool Selects(const Registration& r, std::uint32_t prog,
                      std::uint32_t vers,
                      std::initializer_list<std::string_view> netids);
  // The registrations of the program and version on any of these netids,
  // or on every netid when there are none (Selects). The removed are
  // appended to *removed when given.
  RemoveResult Remove(std::uint32_t prog, std::uint32_t vers,
                      std::initializer_list<std::string_view> netids,
                      const Selector& mayRemove = nullptr,
                      std::vector<Registration>* removed = nullptr);

  // How many registrations the table holds now.
  std::size_t size();

 private:
  std::size_t capacity_;
  Store* store_ = nullptr;
  Published<Snapshot> snapshots_;
  std::array<std::atomic<bool>, kMaxReaders> claimed_{};
};

}  // namespace tessard
