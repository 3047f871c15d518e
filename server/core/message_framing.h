// The framing of RPC messages on a byte stream, which RFC 5531 calls record
// marking: each message is one or more fragments, each behind a four-byte
// mark holding the last-fragment bit and the fragment's length. The
// assembler refuses a message as soon as a mark announces more than the
// bound, before any of it has arrived. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "xdr.h"

namespace tessard {

constexpr std::size_t kFragmentMarkSize = 4;
constexpr std::uint32_t kLastFragment = 0x80000000u;

// Writes the mark of a message sent as one last fragment of `length` bytes.
inline void PutFragmentMark(std::uint8_t* at, std::size_t length) {
  StoreU32(at, kLastFragment | static_cast<std::uint32_t>(length));
}

class MessageAssembler {
 public:
  // Messages of at most maxMessage bytes made of at most maxFragments
  // fragments. The buffer is reserved here, once.
  MessageAssembler(std::size_t maxMessage, std::size_t maxFragments);

  enum class Status {
    kNeedMore,          // every byte given was taken; no message yet
    kMessage,           // a message is complete: see message()
    kTooLong,           // a mark announced more than the bound
    kTooManyFragments,  // the message has more fragments than the bound
  };

  // Takes bytes from data until a message is complete or the bytes run
  // out; *used tells how many it took. After kTooLong or kTooManyFragments
  // the stream cannot be resynchronised and must be closed.
  Status Feed(const std::uint8_t* data, std::size_t size, std::size_t* used);

  // Forgets everything received, for the next stream.
  void Reset();

  // The message completed by the last Feed, valid until the next Feed.
  Bytes message() const { return Bytes{buffer_.data(), buffer_.size()}; }

  // True once any byte of a message that is not yet complete has arrived.
  bool inMessage() const { return started_ && !complete_; }

 private:
  std::size_t maxMessage_;
  std::size_t maxFragments_;
  std::vector<std::uint8_t> buffer_;
  std::uint8_t mark_[kFragmentMarkSize] = {};
  std::size_t markHave_ = 0;
  std::size_t fragmentLeft_ = 0;
  bool inFragment_ = false;
  bool lastFragment_ = false;
  std::size_t fragments_ = 0;
  bool started_ = false;
  bool complete_ = false;
};

}  // namespace tessard
