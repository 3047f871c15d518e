// The server's texts are UTF-8; Windows' wide texts are UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace tessard {

std::wstring Widen(std::string_view text);
// An unpaired surrogate becomes U+FFFD, on Windows and Wine alike.
std::string Narrow(std::wstring_view text);

}  // namespace tessard
