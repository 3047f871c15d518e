// The port mapper's registrations: (program, version, netid) mapped to a
// universal address and an owner. Lookups read an immutable snapshot
// without taking a lock; a change (rare, and only from this machine) copies
// the snapshot under the writers' mutex, publishes the copy and frees the
// old one once no reader still holds it. Free of Windows headers.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace tessard {

// Bounds of the stored texts, in bytes.
constexpr std::size_t kMaxNetid = 32;
constexpr std::size_t kMaxUaddr = 128;
constexpr std::size_t kMaxOwner = 64;
// The most registrations the table holds, our own included.
constexpr std::size_t kMaxRegistrations = 2048;
// The most threads that may read the table at once.
constexpr std::size_t kMaxReaders = 128;

// A short text kept inside its record, so that a snapshot is one block.
template <std::size_t N>
class BoundedText {
 public:
  // False when the text is longer than N.
  bool Assign(std::string_view text) {
    if (text.size() > N) return false;
    std::memcpy(chars_, text.data(), text.size());
    size_ = static_cast<std::uint8_t>(text.size());
    return true;
  }
  std::string_view view() const { return std::string_view(chars_, size_); }

 private:
  static_assert(N < 256, "the length is kept in one byte");
  char chars_[N] = {};
  std::uint8_t size_ = 0;
};

struct Registration {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  BoundedText<kMaxNetid> netid;
  BoundedText<kMaxUaddr> uaddr;
  BoundedText<kMaxOwner> owner;
  bool permanent = false;  // the port mapper's own: never removed
};

using Snapshot = std::vector<Registration>;

class RegistrationTable {
 public:
  explicit RegistrationTable(std::size_t capacity = kMaxRegistrations);
  ~RegistrationTable();
  RegistrationTable(const RegistrationTable&) = delete;
  RegistrationTable& operator=(const RegistrationTable&) = delete;

  // A reading thread claims a slot for its life and reads through it.
  // kNoSlot, when all are taken, still reads, under the writers' mutex.
  static constexpr std::size_t kNoSlot = kMaxReaders;
  std::size_t ClaimSlot();
  void ReleaseSlot(std::size_t slot);

  // Holds the current snapshot for as long as it lives. A thread holding a
  // ReadGuard must not change the table.
  class ReadGuard {
   public:
    ReadGuard(RegistrationTable& table, std::size_t slot);
    ~ReadGuard();
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    const Snapshot& snapshot() const { return *snapshot_; }

   private:
    RegistrationTable& table_;
    std::size_t slot_;
    const Snapshot* snapshot_;
    std::unique_lock<std::mutex> fallback_;  // taken only without a slot
  };

  enum class AddResult { kAdded, kExists, kFull };
  // Adds a registration unless one of the same program, version and netid
  // exists, or the table is full.
  AddResult Add(const Registration& registration);
  // Removes, in one change, the registrations of the program and version
  // on any of these netids, or on every netid when there are none, but
  // never a permanent one. Returns how many it removed.
  std::size_t Remove(std::uint32_t prog, std::uint32_t vers,
                     std::initializer_list<std::string_view> netids);
  // The same for one netid, or every netid when it is empty.
  std::size_t Remove(std::uint32_t prog, std::uint32_t vers,
                     std::string_view netid);

  std::size_t capacity() const { return capacity_; }

 private:
  // Publishes `next` and frees the snapshot it replaces once unread.
  void Publish(std::unique_ptr<Snapshot> next);

  std::size_t capacity_;
  std::atomic<const Snapshot*> current_;
  std::mutex writers_;
  std::array<std::atomic<const Snapshot*>, kMaxReaders> hazards_;
  std::array<std::atomic<bool>, kMaxReaders> claimed_;
};

}  // namespace tessard
