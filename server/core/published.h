// A value that serving threads read without a lock while a writer replaces
// it: the registration table's snapshots and the administrator's settings.
// Free of Windows headers.
//
// Each reading thread owns a hazard slot. To read, it stores the value it
// is about to use in its slot and checks that the value is still the
// current one; a writer, after publishing a new value, waits until no slot
// holds the old one before freeing it. Readers hold a value only while they
// serve one call, never across a send, so a writer waits for microseconds
// at most. All accesses to the current pointer and the slots are
// sequentially consistent: the reader's store to its slot must be visible
// before it reads the current pointer again, and the writer's exchange
// before it scans the slots.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

namespace tessard {

// The most threads that may read at once, each through a slot of its own;
// a reader given slot kMaxReaders has none and reads under the writers'
// mutex.
constexpr std::size_t kMaxReaders = 128;

template <typename T>
class Published {
 public:
  explicit Published(std::unique_ptr<const T> first)
      : current_(first.release()) {}
  ~Published() { delete current_.load(); }
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  // Holds the value that was current when it was made, for as long as it
  // lives.
  class Guard {
   public:
    Guard(Published& published, std::size_t slot)
        : published_(published), slot_(slot) {
      if (slot_ >= kMaxReaders) {
        fallback_ = std::unique_lock<std::mutex>(published_.writers_);
        value_ = published_.current_.load();
        return;
      }
      const T* seen = published_.current_.load();
      for (;;) {
        published_.hazards_[slot_].store(seen);
        const T* now = published_.current_.load();
        if (now == seen) break;
        seen = now;
      }
      value_ = seen;
    }
    ~Guard() {
      if (slot_ < kMaxReaders) published_.hazards_[slot_].store(nullptr);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    const T& value() const { return *value_; }

   private:
    Published& published_;
    std::size_t slot_;
    const T* value_;
    std::unique_lock<std::mutex> fallback_;  // taken only without a slot
  };

  // A writer holds writers() while it reads current() and publishes.
  std::mutex& writers() { return writers_; }
  const T& current() const { return *current_.load(); }
  // Makes `next` current, then frees the value it replaces once no reader
  // holds it.
  void Publish(std::unique_ptr<const T> next) {
    const T* old = current_.exchange(next.release());
    for (auto& hazard : hazards_) {
      while (hazard.load() == old) std::this_thread::yield();
    }
    delete old;
  }

 private:
  std::atomic<const T*> current_;
  std::mutex writers_;
  std::array<std::atomic<const T*>, kMaxReaders> hazards_{};
};

}  // namespace tessard
