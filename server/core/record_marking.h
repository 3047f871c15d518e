// Record marking, the framing of RPC messages on a byte stream: each record
// is one or more fragments, each behind a four-byte mark holding the last-
// fragment bit and the fragment's length. The assembler refuses a record
// as soon as a mark announces more than the bound, before any of it has
// arrived. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "xdr.h"

namespace tessard {

constexpr std::size_t kRecordMarkSize = 4;
constexpr std::uint32_t kLastFragment = 0x80000000u;

// Writes the mark of a record that is one last fragment of `length` bytes.
inline void PutRecordMark(std::uint8_t* at, std::size_t length) {
  StoreU32(at, kLastFragment | static_cast<std::uint32_t>(length));
}

class RecordAssembler {
 public:
  // Records of at most maxRecord bytes made of at most maxFragments
  // fragments. The buffer is reserved here, once.
  RecordAssembler(std::size_t maxRecord, std::size_t maxFragments);

  enum class Status {
    kNeedMore,          // every byte given was taken; no record yet
    kRecord,            // a record is complete: see record()
    kTooLong,           // a mark announced more than the bound
    kTooManyFragments,  // the record has more fragments than the bound
  };

  // Takes bytes from data until a record is complete or the bytes run out;
  // *used tells how many it took. After kTooLong or kTooManyFragments the
  // stream cannot be resynchronised and must be closed.
  Status Feed(const std::uint8_t* data, std::size_t size, std::size_t* used);

  // Forgets everything received, for the next stream.
  void Reset();

  // The record completed by the last Feed, valid until the next Feed.
  Bytes record() const { return Bytes{buffer_.data(), buffer_.size()}; }

  // True once any byte of a record that is not yet complete has arrived.
  bool inRecord() const { return started_ && !complete_; }

 private:
  std::size_t maxRecord_;
  std::size_t maxFragments_;
  std::vector<std::uint8_t> buffer_;
  std::uint8_t mark_[kRecordMarkSize] = {};
  std::size_t markHave_ = 0;
  std::size_t fragmentLeft_ = 0;
  bool inFragment_ = false;
  bool lastFragment_ = false;
  std::size_t fragments_ = 0;
  bool started_ = false;
  bool complete_ = false;
};

}  // namespace tessard
