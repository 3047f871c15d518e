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

void OwnerOfAccount(std::string_view account, BoundedText<kMaxOwner>* owner) {
  static const char kHex[] = "0123456789ABCDEF";
  char text[kMaxOwner];
  std::size_t size = 0;
  for (char c : account) {
    auto byte = static_cast<unsigned char>(c);
    bool plain = byte >= 0x20 && byte <= 0x7E && byte != '%';
    if (size + (plain ? 1 : 3) > kMaxOwner) {
      size = 0;
      break;
    }
    if (plain) {
      text[size++] = c;
    } else {
      text[size++] = '%';
      text[size++] = kHex[byte >> 4];
      text[size++] = kHex[byte & 0xF];
    }
  }
  if (size == 0) {
    owner->Assign(kUnknownOwner);
  } else {
    owner->Assign(std::string_view(text, size));
  }
}

}  // namespace tessard
