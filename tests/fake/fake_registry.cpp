// The fake registry below HKEY_LOCAL_MACHINE: keys with typed values, opened
// through counted key handles that carry their access rights.
#include "fake_state.h"

#include <cstdio>
#include <cstring>

#include "platform.h"

namespace fake {
namespace detail {

namespace {

std::uintptr_t KeyValue(int serial) {
  return 0x10000000u + static_cast<std::uintptr_t>(serial) * 8;
}

bool KeyPresent(const std::string& lowerPath) {
  return lowerPath.empty() || S().keys.count(lowerPath) > 0;
}

std::string Join(const std::string& parent, const std::string& child) {
  return parent.empty() ? child : parent + "\\" + child;
}

bool IsPredefined(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER ||
         key == HKEY_CLASSES_ROOT || key == HKEY_USERS ||
         key == HKEY_CURRENT_CONFIG || key == HKEY_PERFORMANCE_DATA;
}

// What a key handle names: an open fake key, or HKEY_LOCAL_MACHINE (path ""
// and every right). Other roots are not part of this registry.
struct OpenedKey {
  std::string path;
  REGSAM access = 0;
};

LSTATUS ResolveKey(HKEY key, const char* function, OpenedKey* opened) {
  if (key == HKEY_LOCAL_MACHINE) {
    *opened = OpenedKey{"", KEY_ALL_ACCESS};
    return ERROR_SUCCESS;
  }
  if (key == nullptr || IsPredefined(key)) return ERROR_INVALID_HANDLE;
  auto it = S().keyHandles.find(reinterpret_cast<std::uintptr_t>(key));
  if (it == S().keyHandles.end()) {
    RecordMisuse(std::string(function) + " with unknown key " + KeyH(key));
    return ERROR_INVALID_HANDLE;
  }
  if (!it->second.open) {
    RecordMisuse(std::string(function) + " with closed key " + KeyH(key));
    return ERROR_INVALID_HANDLE;
  }
  if (!KeyPresent(it->second.path)) return ERROR_KEY_DELETED;
  *opened = OpenedKey{it->second.path, it->second.access};
  return ERROR_SUCCESS;
}

std::string Narrow(LPCWSTR text) {
  if (text == nullptr) return "";
  const int n = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr,
                                      nullptr);
  std::string narrow(static_cast<size_t>(n > 0 ? n : 1), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], n, nullptr, nullptr);
  narrow.resize(narrow.size() - 1);
  return narrow;
}

std::vector<BYTE> WideBytes(const std::vector<BYTE>& narrow) {
  if (narrow.empty()) return {};
  const LPCCH text = reinterpret_cast<LPCCH>(narrow.data());
  const int count = static_cast<int>(narrow.size());
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text, count, nullptr, 0);
  std::vector<BYTE> wide(static_cast<size_t>(n) * sizeof(WCHAR));
  ::MultiByteToWideChar(CP_ACP, 0, text, count,
                        reinterpret_cast<LPWSTR>(wide.data()), n);
  return wide;
}

bool Grants(REGSAM access, REGSAM needed) {
  return (access & MAXIMUM_ALLOWED) != 0 || (access & needed) == needed;
}

std::string RenderData(DWORD type, const BYTE* data, DWORD size) {
  if (data == nullptr) return "null";
  const char* text = reinterpret_cast<const char*>(data);
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    return StrN(text, static_cast<int>(strnlen(text, size)));
  }
  if (type == REG_MULTI_SZ && size >= 2 && text[size - 1] == '\0' &&
      text[size - 2] == '\0') {
    return MultiStr(text);
  }
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD value;
    std::memcpy(&value, data, sizeof value);
    return Hex(value);
  }
  std::string bytes = "[";
  for (DWORD i = 0; i < size; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i ? " %02x" : "%02x", data[i]);
    bytes += hex;
  }
  return bytes + "]";
}

}  // namespace

void DeleteKeyTree(const std::string& path) {
  const std::string lower = Lower(path);
  if (lower.empty()) return;  // the root stays
  auto& keys = S().keys;
  for (auto it = keys.begin(); it != keys.end();) {
    if (it->first == lower || it->first.rfind(lower + "\\", 0) == 0) {
      it = keys.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace detail

using namespace detail;

void AddKey(const std::string& path) {
  // Every ancestor exists too, as in the real registry.
  std::string prefix;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    prefix = path.substr(0, end);
    if (!prefix.empty()) {
      auto& key = S().keys[Lower(prefix)];
      if (key.path.empty()) key.path = prefix;
    }
    start = end + 1;
  }
}

void SetValue(const std::string& path, const std::string& name, DWORD type,
              const std::vector<BYTE>& data) {
  AddKey(path);
  RegValue& value = S().keys[Lower(path)].values[Lower(name)];
  if (value.name.empty()) value.name = name;
  value.type = type;
  value.data = data;
}

void SetStringValue(const std::string& path, const std::string& name,
                    const std::string& text, DWORD type) {
  std::vector<BYTE> data(text.begin(), text.end());
  data.push_back(0);
  SetValue(path, name, type, data);
}

void DeleteValue(const std::string& path, const std::string& name) {
  auto key = S().keys.find(Lower(path));
  if (key != S().keys.end()) key->second.values.erase(Lower(name));
}

bool GetValue(const std::string& path, const std::string& name, DWORD* type,
              std::vector<BYTE>* data) {
  auto key = S().keys.find(Lower(path));
  if (key == S().keys.end()) return false;
  auto value = key->second.values.find(Lower(name));
  if (value == key->second.values.end()) return false;
  if (type) *type = value->second.type;
  if (data) *data = value->second.data;
  return true;
}

}  // namespace fake

namespace platform {

using namespace fake;
using namespace fake::detail;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                      REGSAM samDesired, PHKEY phkResult) {
  Log("RegOpenKeyExA", {KeyH(hKey), Str(lpSubKey), Hex(ulOptions),
                        Hex(samDesired), Out(phkResult)});
  DWORD error = 0;
  if (ShouldFail("RegOpenKeyExA", &error)) return static_cast<LSTATUS>(error);
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  OpenedKey parent;
  const LSTATUS status = ResolveKey(hKey, "RegOpenKeyExA", &parent);
  if (status != ERROR_SUCCESS) return status;
  std::string path = parent.path;
  if (lpSubKey != nullptr && *lpSubKey != '\0') {
    if (*lpSubKey == '\\') return ERROR_BAD_PATHNAME;
    std::string sub = lpSubKey;
    if (sub.back() == '\\') sub.pop_back();
    path = Join(path, Lower(sub));
  }
  if (!KeyPresent(path)) return ERROR_FILE_NOT_FOUND;
  State& s = S();
  const int serial = s.nextSerial++;
  s.keyHandles[KeyValue(serial)] =
      KeyHandleRecord{serial, path, samDesired, true};
  *phkResult = reinterpret_cast<HKEY>(KeyValue(serial));
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                         LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  // The size is in/out: the log shows what the caller offered.
  Log("RegQueryValueExW",
      {KeyH(hKey), WStr(lpValueName, -1), Ptr(lpReserved), Out(lpType),
       Out(lpData), lpcbData ? Hex(*lpcbData) : "null"});
  DWORD error = 0;
  if (ShouldFail("RegQueryValueExW", &error))
    return static_cast<LSTATUS>(error);
  OpenedKey key;
  const LSTATUS status = ResolveKey(hKey, "RegQueryValueExW", &key);
  if (status != ERROR_SUCCESS) return status;
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  if (!Grants(key.access, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  const RegKey* stored = nullptr;
  if (auto it = S().keys.find(key.path); it != S().keys.end())
    stored = &it->second;
  const std::string name = Lower(Narrow(lpValueName));
  if (stored == nullptr || stored->values.count(name) == 0)
    return ERROR_FILE_NOT_FOUND;
  const RegValue& storedValue = stored->values.at(name);
  // Texts are kept as the narrow calls wrote them; the wide read hands them
  // out in UTF-16, as the real registry does.
  RegValue value = storedValue;
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ ||
      value.type == REG_MULTI_SZ) {
    value.data = WideBytes(storedValue.data);
  }
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (lpType) *lpType = value.type;
  if (lpData == nullptr) {
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(lpData, value.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                       DWORD dwType, const BYTE* lpData, DWORD cbData) {
  Log("RegSetValueExA", {KeyH(hKey), Str(lpValueName), Hex(Reserved),
                         Hex(dwType), RenderData(dwType, lpData, cbData),
                         Hex(cbData)});
  DWORD error = 0;
  if (ShouldFail("RegSetValueExA", &error)) return static_cast<LSTATUS>(error);
  OpenedKey key;
  const LSTATUS status = ResolveKey(hKey, "RegSetValueExA", &key);
  if (status != ERROR_SUCCESS) return status;
  if (!Grants(key.access, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  const std::string name = lpValueName ? lpValueName : "";
  RegValue& value = S().keys[key.path].values[Lower(name)];
  if (value.name.empty()) value.name = name;
  value.type = dwType;
  value.data.assign(lpData, lpData + cbData);
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  Log("RegCloseKey", {KeyH(hKey)});
  if (hKey == nullptr) return ERROR_INVALID_HANDLE;
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  auto it = S().keyHandles.find(reinterpret_cast<std::uintptr_t>(hKey));
  if (it == S().keyHandles.end()) {
    RecordMisuse("RegCloseKey of unknown key " + KeyH(hKey));
    return ERROR_INVALID_HANDLE;
  }
  if (!it->second.open) {
    RecordMisuse("RegCloseKey of closed key " + KeyH(hKey));
    return ERROR_INVALID_HANDLE;
  }
  it->second.open = false;
  return ERROR_SUCCESS;
}

}  // namespace platform
