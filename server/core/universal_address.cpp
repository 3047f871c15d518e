// Parsing and writing universal addresses and netbufs.
#include "universal_address.h"

#include <cstring>

namespace tessard {
namespace {

constexpr std::uint16_t kFamilyInet = 2;
constexpr std::uint16_t kFamilyInet6 = 23;
constexpr std::uint16_t kFamilyInet6Elsewhere = 10;

// A decimal number of one to three digits, at most 255.
bool ParseByte(std::string_view text, std::uint8_t* value) {
  if (text.empty() || text.size() > 3) return false;
  unsigned n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n > 255) return false;
  *value = static_cast<std::uint8_t>(n);
  return true;
}

// Four dotted decimal bytes.
bool ParseDottedQuad(std::string_view text, std::uint8_t* out) {
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = text.find('.');
    if ((i < 3) != (dot != std::string_view::npos)) return false;
    if (!ParseByte(text.substr(0, dot), &out[i])) return false;
    text = (i < 3) ? text.substr(dot + 1) : std::string_view();
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text forms of an IPv6 address: eight groups of one to four hex
// digits, one run of them possibly shortened to "::", the last two possibly
// written as a dotted IPv4 address.
bool ParseIpv6(std::string_view text, std::uint8_t* out) {
  std::uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // where "::" stands, in groups
  std::size_t pos = 0;
  if (text.size() >= 2 && text[0] == ':' && text[1] == ':') {
    gap = 0;
    pos = 2;
  } else if (!text.empty() && text[0] == ':') {
    return false;
  }
  while (pos < text.size()) {
    std::size_t end = text.find(':', pos);
    std::string_view part = text.substr(pos, end == std::string_view::npos
                                                 ? std::string_view::npos
                                                 : end - pos);
    if (part.find('.') != std::string_view::npos) {
      // A dotted tail ends the text and fills two groups.
      std::uint8_t v4[4];
      if (end != std::string_view::npos || count > 6 ||
          !ParseDottedQuad(part, v4)) {
        return false;
      }
      groups[count++] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
      pos = text.size();
      break;
    }
    if (part.empty() || part.size() > 4 || count == 8) return false;
    unsigned value = 0;
    for (char c : part) {
      int digit = HexDigit(c);
      if (digit < 0) return false;
      value = value << 4 | static_cast<unsigned>(digit);
    }
    groups[count++] = static_cast<std::uint16_t>(value);
    if (end == std::string_view::npos) {
      pos = text.size();
      break;
    }
    pos = end + 1;
    if (pos < text.size() && text[pos] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++pos;
    } else if (pos == text.size()) {
      return false;  // a single trailing colon
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  std::uint16_t full[8] = {};
  if (gap < 0) {
    std::memcpy(full, groups, sizeof full);
  } else {
    int tail = count - gap;
    for (int i = 0; i < gap; ++i) full[i] = groups[i];
    for (int i = 0; i < tail; ++i) full[8 - tail + i] = groups[gap + i];
  }
  for (int i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(full[i] >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(full[i]);
  }
  return true;
}

// Appends to a buffer that the callers size for the longest form.
struct Appender {
  char* out;
  std::size_t size = 0;
  void Char(char c) { out[size++] = c; }
  void Decimal(unsigned value) {
    char digits[10];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value > 0);
    while (n > 0) Char(digits[--n]);
  }
  void Hex(unsigned value) {
    static const char kDigits[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      unsigned digit = (value >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) {
        Char(kDigits[digit]);
        started = true;
      }
    }
  }
};

// The host part of the canonical form: dotted IPv4, or IPv6 groups with
// the longest run of two or more zero groups (the first of equally long
// runs) as "::".
void AppendHost(Appender& a, const InetAddress& address) {
  if (!address.v6) {
    for (int i = 0; i < 4; ++i) {
      if (i > 0) a.Char('.');
      a.Decimal(address.host[i]);
    }
    return;
  }
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) {
    groups[i] = static_cast<unsigned>(address.host[2 * i] << 8 |
                                      address.host[2 * i + 1]);
  }
  int bestStart = -1;
  int bestLength = 1;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      a.Char(':');
      if (i == 0) a.Char(':');
      i += bestLength - 1;
      continue;
    }
    a.Hex(groups[i]);
    if (i < 7) a.Char(':');
  }
}

std::uint16_t LoadLittle16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

bool ParseUniversalAddress(std::string_view text, InetAddress* address) {
  // The port is the last two dotted bytes.
  std::size_t last = text.rfind('.');
  if (last == std::string_view::npos || last == 0) return false;
  std::size_t before = text.rfind('.', last - 1);
  if (before == std::string_view::npos) return false;
  std::uint8_t high = 0;
  std::uint8_t low = 0;
  if (!ParseByte(text.substr(before + 1, last - before - 1), &high) ||
      !ParseByte(text.substr(last + 1), &low)) {
    return false;
  }
  InetAddress parsed;
  if (!ParseHostAddress(text.substr(0, before), &parsed)) return false;
  parsed.port = static_cast<std::uint16_t>(high << 8 | low);
  *address = parsed;
  return true;
}

bool ParseHostAddress(std::string_view text, InetAddress* address) {
  InetAddress parsed;
  if (text.find(':') != std::string_view::npos) {
    parsed.v6 = true;
    if (!ParseIpv6(text, parsed.host)) return false;
  } else if (!ParseDottedQuad(text, parsed.host)) {
    return false;
  }
  *address = parsed;
  return true;
}

std::size_t FormatUniversalAddress(const InetAddress& address,
                                   char (&out)[kMaxInetUaddr]) {
  Appender a{out};
  AppendHost(a, address);
  a.Char('.');
  a.Decimal(address.port >> 8);
  a.Char('.');
  a.Decimal(address.port & 0xFF);
  out[a.size] = '\0';
  return a.size;
}

std::string HostAddressText(const InetAddress& address) {
  char text[kMaxInetUaddr];
  Appender a{text};
  AppendHost(a, address);
  return std::string(text, a.size);
}

bool IsWildcard(const InetAddress& address) {
  std::size_t length = address.v6 ? 16 : 4;
  for (std::size_t i = 0; i < length; ++i) {
    if (address.host[i] != 0) return false;
  }
  return true;
}

bool IsLoopback(const InetAddress& address) {
  if (!address.v6) return address.host[0] == 127;
  static const std::uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                              0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(address.host, kLoopback6, 16) == 0;
}

bool IsIpv4Mapped(const InetAddress& address) {
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0,    0,
                                           0, 0, 0, 0, 0xFF, 0xFF};
  return address.v6 && std::memcmp(address.host, kMapped, 12) == 0;
}

InetAddress ToMapped(const InetAddress& v4) {
  InetAddress mapped;
  mapped.v6 = true;
  mapped.host[10] = 0xFF;
  mapped.host[11] = 0xFF;
  std::memcpy(mapped.host + 12, v4.host, 4);
  mapped.port = v4.port;
  return mapped;
}

InetAddress FromMapped(const InetAddress& address) {
  if (!IsIpv4Mapped(address)) return address;
  InetAddress v4;
  std::memcpy(v4.host, address.host + 12, 4);
  v4.port = address.port;
  return v4;
}

bool SameHost(const InetAddress& a, const InetAddress& b) {
  return a.v6 == b.v6 && std::memcmp(a.host, b.host, a.v6 ? 16 : 4) == 0;
}

NetidInfo ClassifyNetid(std::string_view netid) {
  if (netid == "udp") return NetidInfo{true, false, false};
  if (netid == "tcp") return NetidInfo{true, false, true};
  if (netid == "udp6") return NetidInfo{true, true, false};
  if (netid == "tcp6") return NetidInfo{true, true, true};
  return NetidInfo{};
}

std::size_t AddressToNetbuf(const InetAddress& address,
                            std::uint8_t (&out)[kMaxNetbuf]) {
  std::memset(out, 0, sizeof out);
  std::uint16_t family = address.v6 ? kFamilyInet6 : kFamilyInet;
  out[0] = static_cast<std::uint8_t>(family);
  out[1] = static_cast<std::uint8_t>(family >> 8);
  out[2] = static_cast<std::uint8_t>(address.port >> 8);
  out[3] = static_cast<std::uint8_t>(address.port);
  if (!address.v6) {
    std::memcpy(out + 4, address.host, 4);
    return kInetNetbufSize;
  }
  std::memcpy(out + 8, address.host, 16);  // after the flow information
  return kInet6NetbufSize;
}

bool NetbufToAddress(const std::uint8_t* data, std::size_t size,
                     InetAddress* address) {
  if (size < 4) return false;
  std::uint16_t family = LoadLittle16(data);
  InetAddress parsed;
  parsed.port = static_cast<std::uint16_t>(data[2] << 8 | data[3]);
  if (family == kFamilyInet && size >= 8) {
    std::memcpy(parsed.host, data + 4, 4);
  } else if ((family == kFamilyInet6 || family == kFamilyInet6Elsewhere) &&
             size >= 24) {
    parsed.v6 = true;
    std::memcpy(parsed.host, data + 8, 16);
  } else {
    return false;
  }
  *address = parsed;
  return true;
}

}  // namespace tessard
