// Assembling records from fragments, within bounds.
#include "record_marking.h"

#include <algorithm>

namespace tessard {

RecordAssembler::RecordAssembler(std::size_t maxRecord,
                                 std::size_t maxFragments)
    : maxRecord_(maxRecord), maxFragments_(maxFragments) {
  buffer_.reserve(maxRecord);
}

void RecordAssembler::Reset() {
  buffer_.clear();
  markHave_ = 0;
  fragmentLeft_ = 0;
  inFragment_ = false;
  lastFragment_ = false;
  fragments_ = 0;
  started_ = false;
  complete_ = false;
}

RecordAssembler::Status RecordAssembler::Feed(const std::uint8_t* data,
                                              std::size_t size,
                                              std::size_t* used) {
  if (complete_) Reset();
  std::size_t pos = 0;
  for (;;) {
    if (!inFragment_) {
      // A fragment with nothing in it still ends its record when it is the
      // last one, so the mark is handled even when no byte is left.
      while (markHave_ < kRecordMarkSize && pos < size) {
        mark_[markHave_++] = data[pos++];
        started_ = true;
      }
      if (markHave_ < kRecordMarkSize) break;
      markHave_ = 0;
      std::uint32_t mark = LoadU32(mark_);
      fragmentLeft_ = mark & ~kLastFragment;
      lastFragment_ = (mark & kLastFragment) != 0;
      if (++fragments_ > maxFragments_) {
        *used = pos;
        return Status::kTooManyFragments;
      }
      if (fragmentLeft_ > maxRecord_ - buffer_.size()) {
        *used = pos;
        return Status::kTooLong;
      }
      inFragment_ = true;
    }
    std::size_t take = std::min(fragmentLeft_, size - pos);
    buffer_.insert(buffer_.end(), data + pos, data + pos + take);
    pos += take;
    fragmentLeft_ -= take;
    if (fragmentLeft_ > 0) break;
    inFragment_ = false;
    if (lastFragment_) {
      complete_ = true;
      *used = pos;
      return Status::kRecord;
    }
  }
  *used = pos;
  return Status::kNeedMore;
}

}  // namespace tessard
