// The bound on records: between the port mapper and the Windows program's
// sink, so that a flood of refused calls or a burst of changes cannot fill
// the event log. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "records.h"

namespace tessard {

struct RecordLimits {
  std::uint64_t windowMs = 10000;
  std::size_t perKind = 20;   // each other kind: refusals, failures
  std::size_t changes = 100;  // granted changes, their kinds together
};

// SET and UNSET granted, a registration dropped: a machine's start makes
// many at once, so they share one larger budget.
bool IsGrantedChange(RecordKind kind);

// Passes at most `perKind` records of each kind, and `changes` granted
// changes, in any windowMs. A record over its budget is counted, not
// written; the count is written as one kLeftOut record of its kind once
// the budget has room again: before the next record of the kind that
// passes, or at a Flush. A kLeftOut record takes a place in its kind's
// budget, and at most one of a kind is written in a window.
class RecordLimiter final : public RecordSink {
 public:
  using Ticks = std::uint64_t (*)();  // monotonic milliseconds
  RecordLimiter(RecordSink* sink, Ticks ticks, RecordLimits limits = {});

  void Write(const Record& record) override;
  // Writes the counts of records left out that may be written now. Call it
  // about every second: a burst's count then follows within a second of
  // its window's end, though no record of its kind comes again.
  void Flush();

 private:
  // The times of the last records a budget passed, oldest first.
  struct Budget {
    std::vector<std::uint64_t> times;
    std::size_t oldest = 0;
    std::size_t used = 0;
  };
  Budget& BudgetOf(RecordKind kind);
  bool Take(Budget& budget, std::uint64_t now);
  // The kind's left-out record, if it is due and its budget has room.
  bool LeftOutRecord(std::size_t kind, std::uint64_t now, Record* record);

  RecordSink* sink_;
  Ticks ticks_;
  RecordLimits limits_;
  std::mutex mutex_;
  Budget changes_;
  std::vector<Budget> perKind_;
  std::uint64_t leftOut_[kRecordKinds] = {};
  bool summarized_[kRecordKinds] = {};
  std::uint64_t summarizedAt_[kRecordKinds] = {};
};

}  // namespace tessard
