// The server's texts are UTF-8; Windows' wide texts are UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace tessard {

// Without loss, so that a name the registry holds is found again: an
// unpaired surrogate, which UTF-8 cannot carry, is written as the three
// bytes UTF-8 would give its code point (WTF-8), and read back so. Valid
// UTF-16 gives its UTF-8; bytes that are no UTF-8 are read as U+FFFD.
std::string Narrow(std::wstring_view text);
std::wstring Widen(std::string_view text);

}  // namespace tessard
