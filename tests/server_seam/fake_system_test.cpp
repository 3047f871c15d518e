// What the server's code will rely on from the fake's registry.
#include <gtest/gtest.h>

#include "fake_system.h"

namespace tessard {
namespace {

TEST(FakeRegistry, NamesIgnoreCaseValuesEnumerateInNameOrderFailuresCount) {
  fake::Reset();
  HKEY key;
  ASSERT_EQ(sys::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\T\\Reg", 0,
                                 nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                 nullptr),
            ERROR_SUCCESS);
  const DWORD one = 1;
  for (const wchar_t* name : {L"b", L"C", L"a"}) {
    ASSERT_EQ(sys::RegSetValueExW(key, name, 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_SUCCESS);
  }
  EXPECT_EQ(sys::RegDeleteValueW(key, L"B"), ERROR_SUCCESS);
  std::wstring names;
  wchar_t name[8];
  for (DWORD i = 0;; ++i) {
    DWORD size = 8;
    if (sys::RegEnumValueW(key, i, name, &size, nullptr, nullptr, nullptr,
                           nullptr) != ERROR_SUCCESS) {
      break;
    }
    names += name;
  }
  EXPECT_EQ(names, L"aC");
  EXPECT_TRUE(fake::KeyExists(L"SOFTWARE\\t\\reg"));

  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(sys::RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                         event, TRUE),
            ERROR_SUCCESS);
  EXPECT_EQ(fake::FireRegistryChange(), 1);
  EXPECT_EQ(::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(fake::FireRegistryChange(), 0);
  sys::CloseHandle(event);

  fake::FailNext("RegQueryValueExW", ERROR_ACCESS_DENIED, 2);
  DWORD size = 4, value = 0;
  for (LONG expected : {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_SUCCESS}) {
    EXPECT_EQ(sys::RegQueryValueExW(key, L"A", nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(&value), &size),
              expected);
  }
  EXPECT_EQ(sys::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"software\\t"), ERROR_SUCCESS);
  EXPECT_EQ(sys::RegSetValueExW(key, L"x", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_KEY_DELETED);
  sys::RegCloseKey(key);
  EXPECT_EQ(fake::OpenHandles(), 0);
}

}  // namespace
}  // namespace tessard
