// Texts of records, made safe for the event log.
#include "records.h"

namespace tessard {

std::string RecordText(std::string_view text) {
  constexpr std::size_t kMaxShown = 128;
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '%') {
      shown += static_cast<char>(byte);
    } else {
      shown += '%';
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  if (text.size() > kMaxShown) shown += "...";
  return shown;
}

}  // namespace tessard
