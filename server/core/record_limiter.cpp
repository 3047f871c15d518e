// The bound on records: a sliding window of the times each budget passed.
// The decisions are made under the mutex, the writes outside it, so that a
// slow sink holds up only the thread that writes.
#include "record_limiter.h"

namespace tessard {

bool IsGrantedChange(RecordKind kind) {
  return kind == RecordKind::kSetGranted || kind == RecordKind::kUnsetGranted ||
         kind == RecordKind::kDropped;
}

RecordLimiter::RecordLimiter(RecordSink* sink, Ticks ticks, RecordLimits limits)
    : sink_(sink), ticks_(ticks), limits_(limits), perKind_(kRecordKinds) {
  changes_.times.resize(limits_.changes);
  for (Budget& budget : perKind_) budget.times.resize(limits_.perKind);
}

RecordLimiter::Budget& RecordLimiter::BudgetOf(RecordKind kind) {
  if (IsGrantedChange(kind)) return changes_;
  return perKind_[static_cast<std::size_t>(kind)];
}

bool RecordLimiter::Take(Budget& budget, std::uint64_t now) {
  std::vector<std::uint64_t>& times = budget.times;
  if (times.empty()) return false;
  if (budget.used < times.size()) {
    times[(budget.oldest + budget.used++) % times.size()] = now;
    return true;
  }
  if (now - times[budget.oldest] < limits_.windowMs) return false;
  times[budget.oldest] = now;
  budget.oldest = (budget.oldest + 1) % times.size();
  return true;
}

bool RecordLimiter::LeftOutRecord(std::size_t kind, std::uint64_t now,
                                  Record* record) {
  if (leftOut_[kind] == 0) return false;
  if (summarized_[kind] && now - summarizedAt_[kind] < limits_.windowMs) {
    return false;
  }
  if (!Take(BudgetOf(static_cast<RecordKind>(kind)), now)) return false;
  *record = Record{RecordKind::kLeftOut};
  record->leftOutKind = static_cast<RecordKind>(kind);
  record->leftOut = leftOut_[kind];
  leftOut_[kind] = 0;
  summarized_[kind] = true;
  summarizedAt_[kind] = now;
  return true;
}

void RecordLimiter::Write(const Record& record) {
  if (!sink_) return;
  const auto kind = static_cast<std::size_t>(record.kind);
  Record leftOut{RecordKind::kLeftOut};
  bool writeLeftOut = false;
  bool pass = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t now = ticks_();
    writeLeftOut = LeftOutRecord(kind, now, &leftOut);
    pass = Take(BudgetOf(record.kind), now);
    if (!pass) ++leftOut_[kind];
  }
  if (writeLeftOut) sink_->Write(leftOut);
  if (pass) sink_->Write(record);
}

void RecordLimiter::Flush() {
  if (!sink_) return;
  Record due[kRecordKinds];
  std::size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t now = ticks_();
    for (std::size_t kind = 0; kind < kRecordKinds; ++kind) {
      if (LeftOutRecord(kind, now, &due[count])) ++count;
    }
  }
  for (std::size_t i = 0; i < count; ++i) sink_->Write(due[i]);
}

}  // namespace tessard
