// The table's lasting store in the service's registry key.
#include "registry_store.h"

#include <tuple>

#include "system_calls.h"
#include "text_conversion.h"

namespace tessard {
namespace {

const wchar_t kRegistrationsSubkey[] = L"Parameters\\Registrations";
const wchar_t kDamagedSubkey[] = L"Parameters\\Damaged";
constexpr REGSAM kRegistrationsAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;

// The registry's bound on a value's name, in characters.
constexpr DWORD kMaxValueName = 16383;
// Larger than any registration: a value this large is read no further.
constexpr std::size_t kMaxValueData = 1 << 20;

}  // namespace

std::wstring ServiceKeyPath(const std::wstring& serviceName) {
  return L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
}

LSTATUS CreateServiceSubkey(const std::wstring& serviceName,
                            const wchar_t* subkey, REGSAM access, HKEY* key) {
  *key = nullptr;
  HKEY service = nullptr;
  LSTATUS status = sys::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                      ServiceKeyPath(serviceName).c_str(), 0,
                                      KEY_CREATE_SUB_KEY, &service);
  if (status != ERROR_SUCCESS) return status;
  status =
      sys::RegCreateKeyExW(service, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           access, nullptr, key, nullptr);
  sys::RegCloseKey(service);
  if (status != ERROR_SUCCESS) *key = nullptr;
  return status;
}

RegistryStore::~RegistryStore() {
  if (registrations_) sys::RegCloseKey(registrations_);
}

LSTATUS RegistryStore::Open(const std::wstring& serviceName) {
  serviceName_ = serviceName;
  return CreateServiceSubkey(serviceName, kRegistrationsSubkey,
                             kRegistrationsAccess, &registrations_);
}

LSTATUS RegistryStore::ReadAll(std::vector<StoredValue>* values) {
  std::lock_guard<std::mutex> lock(lock_);
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
    const std::wstring_view asRead(name.data(), nameLength);
    StoredValue value;
    value.name = Narrow(asRead);
    // A value of another type holds no registration of ours: empty data
    // never decodes, so it is found damaged.
    if (type == REG_BINARY) value.data.assign(data.data(), data.data() + size);
    kept_[std::wstring(asRead)] = value.data;
    values->push_back(std::move(value));
  }
}

bool RegistryStore::SetAside(const std::string& name) {
  const std::wstring wide = Widen(name);
  std::lock_guard<std::mutex> lock(lock_);
  kept_.erase(wide);
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
  if (CreateServiceSubkey(serviceName_, kDamagedSubkey, KEY_SET_VALUE,
                          &damaged) != ERROR_SUCCESS) {
    return false;
  }
  bool copied = sys::RegSetValueExW(damaged, wide.c_str(), 0, type, data.data(),
                                    size) == ERROR_SUCCESS;
  sys::RegCloseKey(damaged);
  return copied &&
         sys::RegDeleteValueW(registrations_, wide.c_str()) == ERROR_SUCCESS;
}

bool RegistryStore::Keep(const StoredChange& change) {
  const std::wstring name = Widen(change.name);
  const bool write = change.kind == StoredChange::Kind::kWrite;
  std::vector<BYTE> data(change.data.begin(), change.data.end());
  std::lock_guard<std::mutex> lock(lock_);
  // The entry is made before the key changes, so that running out of
  // memory changes neither; until it has its bytes, it is left out of a
  // key made again.
  auto slot = kept_.end();
  bool added = false;
  if (write) std::tie(slot, added) = kept_.try_emplace(name);
  auto apply = [&]() -> LSTATUS {
    if (write) {
      return sys::RegSetValueExW(registrations_, name.c_str(), 0, REG_BINARY,
                                 data.data(), static_cast<DWORD>(data.size()));
    }
    LSTATUS status = sys::RegDeleteValueW(registrations_, name.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
  };
  LSTATUS status = apply();
  if (status == ERROR_KEY_DELETED) {
    status = Recreate();
    if (status == ERROR_SUCCESS) status = apply();
  }
  if (status != ERROR_SUCCESS) {
    if (added) kept_.erase(slot);
    return false;
  }
  if (write) {
    slot->second.swap(data);
  } else {
    kept_.erase(name);
  }
  return true;
}

LSTATUS RegistryStore::Recreate() {
  HKEY fresh = nullptr;
  LSTATUS status = CreateServiceSubkey(serviceName_, kRegistrationsSubkey,
                                       kRegistrationsAccess, &fresh);
  std::size_t stored = 0;
  if (status == ERROR_SUCCESS) {
    sys::RegCloseKey(registrations_);
    registrations_ = fresh;
    for (const auto& [name, data] : kept_) {
      if (data.empty()) continue;  // a change being made
      status =
          sys::RegSetValueExW(registrations_, name.c_str(), 0, REG_BINARY,
                              data.data(), static_cast<DWORD>(data.size()));
      if (status != ERROR_SUCCESS) break;
      ++stored;
    }
  }
  failing_ = status != ERROR_SUCCESS;
  renewal_.deleted = true;
  renewal_.error = status;
  renewal_.stored = stored;
  return status;
}

RegistryStore::Renewal RegistryStore::Renew() {
  std::lock_guard<std::mutex> lock(lock_);
  if (failing_) {
    Recreate();
  } else if (!renewal_.deleted &&
             sys::RegQueryInfoKeyW(registrations_, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr,
                                   nullptr) == ERROR_KEY_DELETED) {
    Recreate();
  }
  Renewal said = renewal_;
  renewal_ = Renewal();
  if (said.deleted && said.error != ERROR_SUCCESS) {
    if (failureSaid_) return Renewal();
    failureSaid_ = true;
  } else if (said.deleted) {
    failureSaid_ = false;
  }
  return said;
}

}  // namespace tessard
