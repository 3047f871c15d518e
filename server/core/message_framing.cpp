// Assembling messages from fragments, within bounds.
#include "message_framing.h"

#include <algorithm>

namespace tessard {

MessageAssembler::MessageAssembler(std::size_t maxMessage,
                                   std::size_t maxFragments)
    : maxMessage_(maxMessage), maxFragments_(maxFragments) {
  buffer_.reserve(maxMessage);
}

void MessageAssembler::Reset() {
  buffer_.clear();
  markHave_ = 0;
  fragmentLeft_ = 0;
  inFragment_ = false;
  lastFragment_ = false;
  fragments_ = 0;
  started_ = false;
  complete_ = false;
}

MessageAssembler::Status MessageAssembler::Feed(const std::uint8_t* data,
                                                std::size_t size,
                                                std::size_t* used) {
  if (complete_) Reset();
  std::size_t pos = 0;
  for (;;) {
    if (!inFragment_) {
      // A fragment with nothing in it still ends its message when it is the
      // last one, so the mark is handled even when no byte is left.
      while (markHave_ < kFragmentMarkSize && pos < size) {
        mark_[markHave_++] = data[pos++];
        started_ = true;
      }
      if (markHave_ < kFragmentMarkSize) break;
      markHave_ = 0;
      std::uint32_t mark = LoadU32(mark_);
      fragmentLeft_ = mark & ~kLastFragment;
      lastFragment_ = (mark & kLastFragment) != 0;
      if (++fragments_ > maxFragments_) {
        *used = pos;
        return Status::kTooManyFragments;
      }
      if (fragmentLeft_ > maxMessage_ - buffer_.size()) {
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
      return Status::kMessage;
    }
  }
  *used = pos;
  return Status::kNeedMore;
}

}  // namespace tessard
