// One registration: (program, version, netid) mapped to a universal
// address, with its owner and what the server knows of who made it, and
// the rules every registration obeys, whether a SET makes it or it is read
// back from storage. Free of Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tessard {

constexpr std::uint32_t kPortMapperProgram = 100000;
// The versions of it served: 2 (portmap), 3 and 4 (rpcbind).
constexpr std::uint32_t kLowestVersion = 2;
constexpr std::uint32_t kHighestVersion = 4;
constexpr bool IsServedVersion(std::uint32_t vers) {
  return vers >= kLowestVersion && vers <= kHighestVersion;
}

// Bounds of the stored texts, in bytes.
constexpr std::size_t kMaxNetid = 32;
constexpr std::size_t kMaxUaddr = 128;
constexpr std::size_t kMaxOwner = 64;

// The owners that are no account.
constexpr char kOwnOwner[] = "superuser";  // the port mapper's own
constexpr char kUnknownOwner[] = "unknown";  // a caller not attributed

// A short text kept inside its record, so that a snapshot is one block.
template <std::size_t N>
class BoundedText {
 public:
  // False when the text is longer than N.
  bool Assign(std::string_view text) {
    if (text.size() > N) return false;
    if (!text.empty()) std::memcpy(chars_, text.data(), text.size());
    size_ = static_cast<std::uint8_t>(text.size());
    return true;
  }
  std::string_view view() const { return std::string_view(chars_, size_); }

 private:
  static_assert(N < 256, "the length is kept in one byte");
  char chars_[N] = {};
  std::uint8_t size_ = 0;
};

struct Registration {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  BoundedText<kMaxNetid> netid;
  BoundedText<kMaxUaddr> uaddr;
  // The account that made it (DOMAIN\name, as OwnerOfAccount writes it),
  // kUnknownOwner, or kOwnOwner for the port mapper's own.
  BoundedText<kMaxOwner> owner;
  bool permanent = false;  // the port mapper's own: never removed or stored
  std::uint8_t setVersion = 0;  // the version of the SET that made it
  // The process that made it, when known (its id and creation time, so
  // that a reused id is not taken for it).
  std::uint32_t processId = 0;
  std::uint64_t processCreated = 0;
  // When it was made or restored, on the core's monotonic clock (ms).
  std::uint64_t madeAt = 0;
};

// Texts shown by tools on terminals: printable ASCII, and for a token no
// spaces either.
bool IsPrintable(std::string_view text);
bool IsToken(std::string_view text);
// One byte of a text as an administrator is shown it: printable ASCII as
// it is, '%' and every other byte as %XX (so that two texts never read the
// same). Returns the characters written, 1 or 3.
std::size_t EscapeByte(char byte, char (&out)[3]);

// What is wrong with a registration, in words an administrator reads, or
// nullptr when it may be in the table: not the port mapper's program, a
// netid and an address that are printable tokens, a printable owner, and
// for an inet netid an address of its family. A SET and a value read back
// from storage are held to this same rule.
const char* RegistrationFault(const Registration& registration);

// The owner text of an account: the account, with bytes that are not
// printable ASCII and '%' written as %XX (so that two accounts never read
// the same); kUnknownOwner when there is no account or it does not fit.
void OwnerOfAccount(std::string_view account, BoundedText<kMaxOwner>* owner);

}  // namespace tessard
