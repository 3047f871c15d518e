// Writing and reading the stored form of a registration.
#include "stored_registration.h"

#include "xdr.h"

namespace tessard {
namespace {

constexpr std::uint32_t kLayout = 1;
// The longest value: the fields with their texts at their bounds.
constexpr std::size_t kMaxValue = 4 * 3 + (4 + kMaxNetid) + (4 + kMaxUaddr) +
                                  (4 + kMaxOwner) + 4 * 4;

}  // namespace

std::string StoredValueName(const Registration& r) {
  std::string name = std::to_string(r.prog) + ' ' + std::to_string(r.vers) +
                     ' ';
  for (char c : r.netid.view()) {
    if (c >= 'A' && c <= 'Z') {
      name += '^';
      name += static_cast<char>(c - 'A' + 'a');
    } else if (c == '^') {
      name += "^^";
    } else {
      name += c;
    }
  }
  return name;
}

std::vector<std::uint8_t> EncodeStoredRegistration(const Registration& r) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(kMaxValue);
  XdrWriter out(&bytes, kMaxValue);
  out.U32(kLayout);
  out.U32(r.prog);
  out.U32(r.vers);
  out.String(r.netid.view());
  out.String(r.uaddr.view());
  out.String(r.owner.view());
  out.U32(r.setVersion);
  out.U32(r.processId);
  out.U32(static_cast<std::uint32_t>(r.processCreated >> 32));
  out.U32(static_cast<std::uint32_t>(r.processCreated));
  return bytes;
}

bool DecodeStoredRegistration(const std::uint8_t* data, std::size_t size,
                              Registration* registration,
                              const char** problem) {
  XdrReader in(data, size);
  std::uint32_t layout = in.U32();
  if (in.ok() && layout != kLayout) {
    *problem = "the value is of a layout this server does not know";
    return false;
  }
  Registration r;
  r.prog = in.U32();
  r.vers = in.U32();
  bool fits = r.netid.Assign(in.String(kMaxNetid)) &&
              r.uaddr.Assign(in.String(kMaxUaddr)) &&
              r.owner.Assign(in.String(kMaxOwner));
  std::uint32_t setVersion = in.U32();
  r.processId = in.U32();
  std::uint64_t high = in.U32();
  r.processCreated = high << 32 | in.U32();
  if (!in.ok() || !fits || in.remaining() != 0) {
    *problem = "the value does not decode as a registration";
    return false;
  }
  if (!IsServedVersion(setVersion)) {
    *problem = "the version of the SET that made it is not 2, 3 or 4";
    return false;
  }
  r.setVersion = static_cast<std::uint8_t>(setVersion);
  if (const char* fault = RegistrationFault(r)) {
    *problem = fault;
    return false;
  }
  // Only the port mapper's own entries carry that owner, and they are
  // never stored: restored, no caller could remove it.
  if (r.owner.view() == kOwnOwner) {
    *problem = "its owner is superuser, the owner of the port mapper's own "
               "entries, which are never stored";
    return false;
  }
  *registration = r;
  return true;
}

}  // namespace tessard
