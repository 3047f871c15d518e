// The administrator's settings from the service's Parameters key.
#include "settings_reader.h"

#include <cstring>
#include <vector>

#include "registry_store.h"
#include "reporting.h"
#include "system_calls.h"
#include "text_conversion.h"

namespace tessard {
namespace {

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    case REG_NONE: return "REG_NONE";
  }
  return "type " + std::to_string(type);
}

// The value's type and bytes; false when it is absent (or unreadable,
// which the caller cannot tell from absent and treats alike only for a
// value that is not there: any other failure is reported as its type).
bool QueryValue(HKEY key, const wchar_t* name, DWORD* type,
                std::vector<BYTE>* data, LSTATUS* status) {
  DWORD size = 0;
  *status = sys::RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
  if (*status != ERROR_SUCCESS) return false;
  for (int attempt = 0; attempt < 4; ++attempt) {
    data->assign(size + sizeof(wchar_t) * 2, 0);
    DWORD got = static_cast<DWORD>(data->size());
    *status = sys::RegQueryValueExW(key, name, nullptr, type, data->data(), &got);
    if (*status == ERROR_SUCCESS) {
      data->resize(got);
      return true;
    }
    if (*status != ERROR_MORE_DATA) return false;
    size = got;
  }
  return false;
}

// Reads a value of type `wanted` (and of `size` bytes, when not 0) into
// *data and marks it present; otherwise leaves it absent when there is
// none, or marks it of the wrong type with what was found.
template <typename Value>
bool ReadOfType(HKEY key, const wchar_t* name, DWORD wanted, std::size_t size,
                Value* value, std::vector<BYTE>* data) {
  DWORD type = 0;
  LSTATUS status = ERROR_SUCCESS;
  if (!QueryValue(key, name, &type, data, &status)) {
    if (status != ERROR_FILE_NOT_FOUND) {
      value->state = Value::State::kWrongType;
      value->typeFound = ErrorText(static_cast<DWORD>(status), "unreadable");
    }
    return false;
  }
  if (type != wanted || (size != 0 && data->size() != size)) {
    value->state = Value::State::kWrongType;
    value->typeFound = TypeName(type);
    return false;
  }
  value->state = Value::State::kPresent;
  return true;
}

MultiStringValue ReadMultiString(HKEY key, const wchar_t* name) {
  MultiStringValue value;
  std::vector<BYTE> data;
  if (!ReadOfType(key, name, REG_MULTI_SZ, 0, &value, &data)) return value;
  // Strings, each ended by a NUL, and one more NUL: the list ends at its
  // first empty string, as Windows defines the type and as its registry
  // editor shows it, whatever bytes follow. A value written without its
  // last NULs still ends where its bytes end.
  const wchar_t* chars = reinterpret_cast<const wchar_t*>(data.data());
  const std::size_t count = data.size() / sizeof(wchar_t);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= count; ++i) {
    if (i == count || chars[i] == L'\0') {
      if (i == start) break;
      value.lines.push_back(Narrow(std::wstring_view(chars + start, i - start)));
      start = i + 1;
    }
  }
  return value;
}

DwordValue ReadDword(HKEY key, const wchar_t* name) {
  DwordValue value;
  std::vector<BYTE> data;
  if (!ReadOfType(key, name, REG_DWORD, sizeof(DWORD), &value, &data)) {
    return value;
  }
  DWORD number = 0;
  std::memcpy(&number, data.data(), sizeof number);
  value.value = number;
  return value;
}

}  // namespace

SettingsValues ReadSettingsValues(HKEY key) {
  SettingsValues values;
  if (!key) return values;
  values.listenAddresses = ReadMultiString(key, L"ListenAddresses");
  values.remoteLookups = ReadMultiString(key, L"RemoteLookups");
  values.remoteListings = ReadDword(key, L"RemoteListings");
  values.remoteCalls = ReadDword(key, L"RemoteCalls");
  return values;
}

SettingsReader::~SettingsReader() {
  if (key_) sys::RegCloseKey(key_);
  if (changed_) sys::CloseHandle(changed_);
}

LSTATUS SettingsReader::Open(const std::wstring& serviceName, bool create) {
  serviceName_ = serviceName;
  create_ = create;
  LSTATUS status = OpenKey();
  if (status != ERROR_SUCCESS) return create ? status : ERROR_SUCCESS;
  changed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return changed_ ? ERROR_SUCCESS : GetLastError();
}

LSTATUS SettingsReader::OpenKey() {
  const REGSAM access = KEY_QUERY_VALUE | KEY_NOTIFY;
  if (create_) {
    return CreateServiceSubkey(serviceName_, L"Parameters", access, &key_);
  }
  const std::wstring path = ServiceKeyPath(serviceName_) + L"\\Parameters";
  LSTATUS status =
      sys::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key_);
  if (status != ERROR_SUCCESS) key_ = nullptr;
  return status;
}

bool SettingsReader::Renew() {
  if (!key_ || sys::RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr,
                                     nullptr) != ERROR_KEY_DELETED) {
    return false;
  }
  sys::RegCloseKey(key_);
  key_ = nullptr;
  OpenKey();  // without it: the defaults, and no notification
  return true;
}

bool SettingsReader::Read(Settings* settings, SettingsError* error) {
  // Asked before reading, so that a change made while we read is not
  // missed: it sets the event and is read again.
  if (key_ && changed_) {
    sys::RegNotifyChangeKeyValue(key_, FALSE, REG_NOTIFY_CHANGE_LAST_SET,
                                 changed_, TRUE);
  }
  return ParseSettings(ReadSettingsValues(key_), settings, error);
}

std::string DescribeSettings(const Settings& s) {
  std::string text = s.everyAddress
                         ? "listening on every address"
                         : "listening on loopback and " +
                               std::to_string(s.listen.size()) +
                               " listed address(es)";
  if (s.everyNetwork) {
    text += "; lookups from every network";
  } else if (s.lookups.empty()) {
    text += "; lookups from this machine only";
  } else {
    text += "; lookups from " + std::to_string(s.lookups.size()) +
            " listed network(s)";
  }
  text += s.remoteListings ? "; listings to other machines over TCP"
                           : "; listings to this machine only";
  text += s.remoteCalls ? "; remote calls forwarded" : "; no remote calls";
  return text;
}

}  // namespace tessard
