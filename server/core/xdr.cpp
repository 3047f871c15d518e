// XDR reading and writing with bounds.
#include "xdr.h"

#include <cstring>

namespace tessard {

const std::uint8_t* XdrReader::Take(std::size_t length) {
  if (!ok_) return nullptr;
  // The padded length is compared without overflow: length is at most the
  // 32-bit value read from the message, and size_ - pos_ cannot wrap.
  std::size_t left = size_ - pos_;
  if (length > left || PaddedSize(length) > left) {
    ok_ = false;
    return nullptr;
  }
  const std::uint8_t* p = data_ + pos_;
  pos_ += PaddedSize(length);
  return p;
}

std::uint32_t XdrReader::U32() {
  const std::uint8_t* p = Take(4);
  return p ? LoadU32(p) : 0;
}

bool XdrReader::Bool() {
  std::uint32_t value = U32();
  if (value > 1) ok_ = false;
  return ok_ && value == 1;
}

Bytes XdrReader::Fixed(std::size_t length) {
  const std::uint8_t* p = Take(length);
  if (!p) return Bytes{};
  return Bytes{p, length};
}

Bytes XdrReader::Opaque(std::size_t bound) {
  std::uint32_t length = U32();
  if (length > bound) ok_ = false;
  return Fixed(length);
}

std::string_view XdrReader::String(std::size_t bound) {
  Bytes bytes = Opaque(bound);
  return std::string_view(reinterpret_cast<const char*>(bytes.data),
                          bytes.size);
}

std::uint8_t* XdrWriter::Grow(std::size_t count) {
  if (!ok_ || count > limit_ || out_->size() > limit_ - count) {
    ok_ = false;
    return nullptr;
  }
  std::size_t at = out_->size();
  out_->resize(at + count);
  return out_->data() + at;
}

void XdrWriter::U32(std::uint32_t value) {
  if (std::uint8_t* p = Grow(4)) StoreU32(p, value);
}

void XdrWriter::Opaque(const void* data, std::size_t size) {
  if (size > 0xFFFFFFFFu) {
    ok_ = false;
    return;
  }
  U32(static_cast<std::uint32_t>(size));
  std::uint8_t* p = Grow(PaddedSize(size));
  if (!p) return;
  if (size > 0) std::memcpy(p, data, size);
  std::memset(p + size, 0, PaddedSize(size) - size);
}

}  // namespace tessard
