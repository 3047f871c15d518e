#include "process_identity.h"

#include <cstring>
#include <vector>

#include "system_calls.h"
#include "text_conversion.h"

namespace tessard {
namespace {

// Closes a handle on every way out of a scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle_ != nullptr) sys::CloseHandle(handle_);
  }
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }

 private:
  HANDLE handle_ = nullptr;
};

// Enough for any path Windows hands out (32767 characters and the NUL).
constexpr DWORD kMaxPath = 32768;

std::string ImageOf(HANDLE process) {
  std::vector<wchar_t> path(MAX_PATH);
  while (true) {
    DWORD size = static_cast<DWORD>(path.size());
    if (sys::QueryFullProcessImageNameW(process, 0, path.data(), &size)) {
      return Narrow(std::wstring_view(path.data(),
                                      size < path.size() ? size : path.size()));
    }
    if (path.size() >= kMaxPath) return {};
    // Windows reports ERROR_INSUFFICIENT_BUFFER without saying how much.
    path.resize(kMaxPath);
  }
}

// One class of the token's information, in a buffer of 8-byte units (the
// structures need that alignment); empty when it cannot be read.
std::vector<std::uint64_t> TokenInformation(HANDLE token,
                                            TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  sys::GetTokenInformation(token, kind, nullptr, 0, &size);
  // Twice at most: the groups may change between the two calls.
  for (int attempt = 0; attempt < 2 && size != 0; ++attempt) {
    std::vector<std::uint64_t> buffer((size + 7) / 8);
    DWORD needed = 0;
    if (sys::GetTokenInformation(token, kind, buffer.data(),
                                 static_cast<DWORD>(buffer.size() * 8),
                                 &needed)) {
      return buffer;
    }
    if (needed <= size) break;
    size = needed;
  }
  return {};
}

// Whether `sid` is S-1-5-<subAuthorities...>, read from its layout (the
// fields winnt.h defines), so that the comparison needs no call.
template <std::size_t N>
bool IsNtSid(const void* sid, const DWORD (&subAuthorities)[N]) {
  const auto* s = static_cast<const SID*>(sid);
  static const SID_IDENTIFIER_AUTHORITY kNt = SECURITY_NT_AUTHORITY;
  if (s == nullptr || s->Revision != SID_REVISION || s->SubAuthorityCount != N ||
      std::memcmp(&s->IdentifierAuthority, &kNt, sizeof kNt) != 0) {
    return false;
  }
  for (std::size_t i = 0; i < N; ++i) {
    if (s->SubAuthority[i] != subAuthorities[i]) return false;
  }
  return true;
}

bool IsLocalSystem(const void* sid) {
  const DWORD kLocalSystem[] = {SECURITY_LOCAL_SYSTEM_RID};
  return IsNtSid(sid, kLocalSystem);
}

bool IsAdministrators(const void* sid) {
  const DWORD kAdministrators[] = {SECURITY_BUILTIN_DOMAIN_RID,
                                   DOMAIN_ALIAS_RID_ADMINS};
  return IsNtSid(sid, kAdministrators);
}

// DOMAIN\name of `sid` (UTF-8), empty when it cannot be looked up.
std::string AccountOf(PSID sid) {
  std::vector<wchar_t> name(64), domain(64);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD domainSize = static_cast<DWORD>(domain.size());
    SID_NAME_USE use;
    if (sys::LookupAccountSidW(nullptr, sid, name.data(), &nameSize,
                               domain.data(), &domainSize, &use)) {
      std::string account = Narrow(domain.data());
      if (!account.empty()) account += '\\';
      return account + Narrow(name.data());
    }
    // On ERROR_INSUFFICIENT_BUFFER the sizes say what is needed, with the
    // NUL; anything else, or a size that does not grow, is a failure.
    if (nameSize <= name.size() && domainSize <= domain.size()) break;
    if (nameSize > name.size()) name.resize(nameSize);
    if (domainSize > domain.size()) domain.resize(domainSize);
  }
  return {};
}

bool ElevatedAdministrator(HANDLE token) {
  std::vector<std::uint64_t> elevation =
      TokenInformation(token, TokenElevation);
  if (elevation.empty() ||
      !reinterpret_cast<const TOKEN_ELEVATION*>(elevation.data())
           ->TokenIsElevated) {
    return false;
  }
  std::vector<std::uint64_t> groupsBuffer = TokenInformation(token, TokenGroups);
  if (groupsBuffer.empty()) return false;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(groupsBuffer.data());
  // No more groups than the buffer holds, whatever the count says.
  const std::size_t fit = (groupsBuffer.size() * 8 - offsetof(TOKEN_GROUPS, Groups)) /
                          sizeof(SID_AND_ATTRIBUTES);
  const std::size_t count =
      groups->GroupCount < fit ? std::size_t{groups->GroupCount} : fit;
  for (std::size_t i = 0; i < count; ++i) {
    const SID_AND_ATTRIBUTES& group = groups->Groups[i];
    // A filtered token holds the group for deny only, never enabled.
    if (IsAdministrators(group.Sid) && (group.Attributes & SE_GROUP_ENABLED)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string ProcessImage(std::uint32_t pid) {
  if (pid == 0) return {};
  Handle process(
      sys::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (process.get() == nullptr) return {};
  return ImageOf(process.get());
}

Identity IdentifyProcess(std::uint32_t pid) {
  Identity identity;
  if (pid == 0) return identity;
  Handle process(
      sys::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (process.get() == nullptr) return identity;
  FILETIME created, exited, kernelTime, userTime;
  if (!sys::GetProcessTimes(process.get(), &created, &exited, &kernelTime,
                            &userTime)) {
    return identity;
  }
  Handle token;
  if (!sys::OpenProcessToken(process.get(), TOKEN_QUERY, token.out())) {
    return identity;
  }
  std::vector<std::uint64_t> tokenUser = TokenInformation(token.get(), TokenUser);
  if (tokenUser.empty()) return identity;
  PSID sid = reinterpret_cast<const TOKEN_USER*>(tokenUser.data())->User.Sid;
  std::string account = AccountOf(sid);
  if (account.empty()) return identity;

  identity.known = true;
  identity.processId = pid;
  identity.processCreated =
      std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
  identity.account = std::move(account);
  identity.image = ImageOf(process.get());
  identity.administrator = IsLocalSystem(sid) || ElevatedAdministrator(token.get());
  return identity;
}

}  // namespace tessard
