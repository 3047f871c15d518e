// The server's texts are UTF-8; Windows' wide texts are UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace tessard {

std::wstring Widen(std::string_view text);
// An unpaired surrogate becomes U+FFFD, on Windows and Wine alike.
std::string Narrow(std::wstring_view text);

// Without loss, for a name that must be found again as the registry holds
// it: an unpaired surrogate, which UTF-8 cannot carry, is written as the
// three bytes UTF-8 would give its code point (WTF-8), and read back so.
// Valid UTF-16 gives its UTF-8.
std::string NarrowExact(std::wstring_view text);
std::wstring WidenExact(std::string_view text);

}  // namespace tessard
