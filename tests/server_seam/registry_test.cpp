// The server's readers of the registry on the fake's: settings read as
// Windows defines a multi-string, stored values found by their names as
// the registry holds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_system.h"
#include "registry_store.h"
#include "settings_reader.h"

namespace tessard {
namespace {

const std::wstring kService = L"T";
const std::wstring kKey = ServiceKeyPath(kService);

std::vector<BYTE> Bytes(const std::wstring& text) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
  return std::vector<BYTE>(bytes, bytes + text.size() * sizeof(wchar_t));
}

TEST(RegistryReading, AMultiStringEndsAtItsFirstEmptyString) {
  using namespace std::string_literals;
  struct Row {
    const char* what;
    std::wstring data;
    std::vector<std::string> lines;
  } rows[] = {
      {"an empty string, then more", L"10.77.0.3/32\0\0*\0\0"s,
       {"10.77.0.3/32"}},
      {"without its last NULs", L"10.0.0.0/8\0::1"s, {"10.0.0.0/8", "::1"}},
      {"no string", L"\0"s, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fake::Reset();
    fake::SetValue(kKey + L"\\Parameters",
                   {L"RemoteLookups", REG_MULTI_SZ, Bytes(row.data)});
    HKEY key = nullptr;
    ASSERT_EQ(sys::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                 (kKey + L"\\Parameters").c_str(), 0,
                                 KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    const SettingsValues values = ReadSettingsValues(key);
    sys::RegCloseKey(key);
    EXPECT_EQ(values.remoteLookups.state, MultiStringValue::State::kPresent);
    EXPECT_EQ(values.remoteLookups.lines, row.lines);
  }
}

// A name that is not valid UTF-16 cannot be written back from UTF-8: the
// store must still find it to move it aside.
TEST(RegistryReading, StoredValuesAreSetAsideByTheirNamesAsHeld) {
  const std::wstring names[] = {
      L"100003 1 udp",
      L"caf\u00e9 \U0001F600",
      std::wstring(L"planted ") + wchar_t(0xD800) + L"\r\n",
      std::wstring(L"planted ") + wchar_t(0xDC00),
  };
  fake::Reset();
  for (const std::wstring& name : names) {
    fake::SetValue(kKey + L"\\Parameters\\Registrations",
                   {name, REG_BINARY, {1, 2, 3}});
  }
  std::vector<StoredValue> values;
  {
    RegistryStore store;
    ASSERT_EQ(store.Open(kService), ERROR_SUCCESS);
    ASSERT_EQ(store.ReadAll(&values), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), std::size(names));
    EXPECT_EQ(values[1].name, "caf\xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_NE(values[2].name, values[3].name);
    for (const StoredValue& value : values) {
      EXPECT_TRUE(store.SetAside(value.name)) << value.name;
    }
  }
  EXPECT_TRUE(fake::Values(kKey + L"\\Parameters\\Registrations").empty());
  std::vector<std::wstring> aside;
  for (const fake::Value& value : fake::Values(kKey + L"\\Parameters\\Damaged")) {
    aside.push_back(value.name);
    EXPECT_EQ(value.data, (std::vector<BYTE>{1, 2, 3}));
  }
  std::sort(aside.begin(), aside.end());
  std::vector<std::wstring> planted(std::begin(names), std::end(names));
  std::sort(planted.begin(), planted.end());
  EXPECT_EQ(aside, planted);
  EXPECT_EQ(fake::OpenHandles(), 0);
}

}  // namespace
}  // namespace tessard
