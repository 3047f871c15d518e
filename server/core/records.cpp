// Texts of records, made safe for the event log.
#include "records.h"

#include "registration.h"

namespace tessard {

std::string RecordText(std::string_view text) {
  constexpr std::size_t kMaxShown = 128;
  std::string shown;
  for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    char escaped[3];
    shown.append(escaped, EscapeByte(text[i], escaped));
  }
  if (text.size() > kMaxShown) shown += "...";
  return shown;
}

}  // namespace tessard
