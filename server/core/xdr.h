// XDR reading and writing for the port mapper's messages: big-endian 32-bit
// units, opaque data and strings padded to four bytes. Every length is
// checked against a bound and against what is left of the message before
// anything is read, so no length field can make us read or reserve more
// than the message holds. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tessard {

// A view of bytes inside a message.
struct Bytes {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// Reads from a message. The first failure sticks: later reads return zeros
// and empty views, and ok() stays false, so a decoder reads its fields in
// order and checks once at the end.
class XdrReader {
 public:
  XdrReader(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}

  std::uint32_t U32();
  // A boolean must be 0 or 1.
  bool Bool();
  // Opaque data of a known length, padding skipped.
  Bytes Fixed(std::size_t length);
  // Variable-length opaque data of at most `bound` bytes.
  Bytes Opaque(std::size_t bound);
  // A string of at most `bound` bytes. The view points into the message.
  std::string_view String(std::size_t bound);

  bool ok() const { return ok_; }
  std::size_t remaining() const { return ok_ ? size_ - pos_ : 0; }

 private:
  // Takes `length` bytes plus their padding, or fails.
  const std::uint8_t* Take(std::size_t length);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// Appends to a byte vector, never past `limit` bytes in all. Within the
// vector's capacity it does not allocate, so a caller that reserves its
// buffer once writes replies without touching the heap. Passing the limit
// sticks, as for the reader.
class XdrWriter {
 public:
  XdrWriter(std::vector<std::uint8_t>* out, std::size_t limit)
      : out_(out), limit_(limit) {}

  void U32(std::uint32_t value);
  void Bool(bool value) { U32(value ? 1 : 0); }
  void Opaque(const void* data, std::size_t size);
  void String(std::string_view text) { Opaque(text.data(), text.size()); }

  bool ok() const { return ok_; }
  std::size_t size() const { return out_->size(); }

 private:
  // Makes room for `count` more bytes, or fails.
  std::uint8_t* Grow(std::size_t count);

  std::vector<std::uint8_t>* out_;
  std::size_t limit_;
  bool ok_ = true;
};

// The units of XDR, for callers that work on raw bytes.
inline std::uint32_t LoadU32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
         (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline void StoreU32(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 24);
  p[1] = static_cast<std::uint8_t>(value >> 16);
  p[2] = static_cast<std::uint8_t>(value >> 8);
  p[3] = static_cast<std::uint8_t>(value);
}

// Opaque data and strings take their length rounded up to four bytes.
constexpr std::size_t PaddedSize(std::size_t length) {
  return (length + 3) & ~std::size_t{3};
}

}  // namespace tessard
