// The table's lasting store in the service's registry key.
#include "registry_store.h"

#include "system_calls.h"
#include "text_conversion.h"

namespace tessard {
namespace {

const wchar_t kRegistrationsKey[] = L"\\Parameters\\Registrations";
const wchar_t kDamagedKey[] = L"\\Parameters\\Damaged";

// The registry's bound on a value's name, in characters.
constexpr DWORD kMaxValueName = 16383;
// Larger than any registration: a value this large is read no further.
constexpr std::size_t kMaxValueData = 1 << 20;

}  // namespace

std::wstring ServiceKeyPath(const std::wstring& serviceName) {
  return L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
}

RegistryStore::~RegistryStore() {
  if (registrations_) sys::RegCloseKey(registrations_);
}

LSTATUS RegistryStore::Open(const std::wstring& serviceName) {
  serviceName_ = serviceName;
  const std::wstring path = ServiceKeyPath(serviceName) + kRegistrationsKey;
  return sys::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                              &registrations_, nullptr);
}

LSTATUS RegistryStore::ReadAll(std::vector<StoredValue>* values) {
  DWORD count = 0;
  DWORD longestName = 0;
  DWORD longestData = 0;
  LSTATUS status = sys::RegQueryInfoKeyW(
      registrations_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      &count, &longestName, &longestData, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return status;
  std::wstring name(kMaxValueName + 1, L'\0');
  std::vector<BYTE> data(longestData + 1);
  DWORD index = 0;
  while (true) {
    DWORD nameLength = kMaxValueName + 1;
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    status = sys::RegEnumValueW(registrations_, index, &name[0], &nameLength,
                                nullptr, &type, data.data(), &size);
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (status == ERROR_MORE_DATA && data.size() < kMaxValueData) {
      // A value grew since the key was asked: read it again, larger.
      data.resize(data.size() * 2 + 256);
      continue;
    }
    if (status != ERROR_SUCCESS) return status;
    ++index;
    StoredValue value;
    value.name = Narrow(std::wstring_view(name.data(), nameLength));
    // A value of another type holds no registration of ours: empty data
    // never decodes, so it is found damaged.
    if (type == REG_BINARY) value.data.assign(data.data(), data.data() + size);
    values->push_back(std::move(value));
  }
}

bool RegistryStore::SetAside(const std::string& name) {
  const std::wstring wide = Widen(name);
  DWORD type = 0;
  DWORD size = 0;
  if (sys::RegQueryValueExW(registrations_, wide.c_str(), nullptr, &type,
                            nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<BYTE> data(size + 1);
  if (sys::RegQueryValueExW(registrations_, wide.c_str(), nullptr, &type,
                            data.data(), &size) != ERROR_SUCCESS) {
    return false;
  }
  HKEY damaged = nullptr;
  const std::wstring path = ServiceKeyPath(serviceName_) + kDamagedKey;
  if (sys::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                           &damaged, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool copied = sys::RegSetValueExW(damaged, wide.c_str(), 0, type,
                                    data.data(), size) == ERROR_SUCCESS;
  sys::RegCloseKey(damaged);
  return copied &&
         sys::RegDeleteValueW(registrations_, wide.c_str()) == ERROR_SUCCESS;
}

bool RegistryStore::Keep(const StoredChange& change) {
  const std::wstring name = Widen(change.name);
  if (change.kind == StoredChange::Kind::kWrite) {
    return sys::RegSetValueExW(registrations_, name.c_str(), 0, REG_BINARY,
                               change.data.data(),
                               static_cast<DWORD>(change.data.size())) ==
           ERROR_SUCCESS;
  }
  LSTATUS status = sys::RegDeleteValueW(registrations_, name.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace tessard
