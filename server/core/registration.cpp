// The rules of a registration.
#include "registration.h"

#include "universal_address.h"

namespace tessard {

bool IsPrintable(std::string_view text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool IsToken(std::string_view text) {
  return IsPrintable(text) && text.find(' ') == std::string_view::npos;
}

const char* RegistrationFault(const Registration& r) {
  std::string_view netid = r.netid.view();
  std::string_view uaddr = r.uaddr.view();
  if (r.prog == kPortMapperProgram) {
    return "program 100000 is the port mapper's own";
  }
  if (netid.empty()) return "the netid is empty";
  if (uaddr.empty()) return "the address is empty";
  if (!IsToken(netid)) return "the netid is not printable ASCII without spaces";
  if (!IsToken(uaddr)) {
    return "the address is not printable ASCII without spaces";
  }
  if (!IsPrintable(r.owner.view())) return "the owner is not printable ASCII";
  NetidInfo info = ClassifyNetid(netid);
  InetAddress address;
  if (info.inet && (!ParseUniversalAddress(uaddr, &address) ||
                    address.v6 != info.v6)) {
    return info.v6 ? "the address is not an IPv6 address and port"
                   : "the address is not an IPv4 address and port";
  }
  return nullptr;
}

std::size_t EscapeByte(char c, char (&out)[3]) {
  static const char kHex[] = "0123456789ABCDEF";
  auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte <= 0x7E && byte != '%') {
    out[0] = c;
    return 1;
  }
  out[0] = '%';
  out[1] = kHex[byte >> 4];
  out[2] = kHex[byte & 0xF];
  return 3;
}

void OwnerOfAccount(std::string_view account, BoundedText<kMaxOwner>* owner) {
  char text[kMaxOwner];
  std::size_t size = 0;
  for (char c : account) {
    char escaped[3];
    std::size_t length = EscapeByte(c, escaped);
    if (size + length > kMaxOwner) {
      size = 0;
      break;
    }
    std::memcpy(text + size, escaped, length);
    size += length;
  }
  owner->Assign(size == 0 ? std::string_view(kUnknownOwner)
                          : std::string_view(text, size));
}

}  // namespace tessard
