// What the product relies on from the service manager and the registry,
// through platform:: calls only. The same cases run on the fake (a unit
// test) and on Wine's real manager (a system test): the fake is trusted as
// far as they pass on both. Known differences to Windows are marked.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform.h"

namespace {

constexpr char kName[] = "Veltrane Conformance Test";
constexpr char kImage[] = "\"C:\\Tools\\conformance.exe\" tcp";
constexpr char kKey[] =
    "System\\CurrentControlSet\\Services\\Veltrane Conformance Test";

class Conformance : public ::testing::Test {
 protected:
  void SetUp() override {
    hScm_ = platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(hScm_, nullptr) << platform::GetLastError();
    Delete();  // a crashed run's leftover
  }
  void TearDown() override {
    Delete();
    platform::CloseServiceHandle(hScm_);
  }

  SC_HANDLE Create(const char* name = kName) {
    return platform::CreateServiceA(
        hScm_, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, kImage, nullptr, nullptr,
        "RPCSS\0", nullptr, nullptr);
  }
  SC_HANDLE Open(DWORD access, const char* name = kName) {
    return platform::OpenServiceA(hScm_, name, access);
  }
  void Delete() {
    if (SC_HANDLE hService = Open(DELETE)) {
      platform::DeleteService(hService);
      platform::CloseServiceHandle(hService);
    }
  }
  // The error of a call that must fail, after a sentinel.
  template <typename Call>
  static DWORD ErrorOf(Call call) {
    platform::SetLastError(0xdeadbeef);
    EXPECT_FALSE(call());
    return platform::GetLastError();
  }

  SC_HANDLE hScm_ = nullptr;
};

TEST_F(Conformance, CreateRegistersTheImagePathInTheServicesKey) {
  SC_HANDLE hService = Create();
  ASSERT_NE(hService, nullptr) << platform::GetLastError();
  EXPECT_EQ(ErrorOf([&] { return Create() != nullptr; }),
            static_cast<DWORD>(ERROR_SERVICE_EXISTS));

  HKEY hKey = nullptr;
  ASSERT_EQ(
      platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &hKey),
      ERROR_SUCCESS);
  WCHAR small[4];
  DWORD type = REG_NONE;
  DWORD size = sizeof small;
  EXPECT_EQ(platform::RegQueryValueExW(hKey, L"imagepath", nullptr, &type,
                                       reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof kImage * sizeof(WCHAR)) << "the size it needs";
  WCHAR value[260];
  size = sizeof value;
  ASSERT_EQ(platform::RegQueryValueExW(hKey, L"ImagePath", nullptr, &type,
                                       reinterpret_cast<BYTE*>(value), &size),
            ERROR_SUCCESS);
  // Windows stores REG_EXPAND_SZ; Wine and the fake store REG_SZ.
  EXPECT_TRUE(type == REG_SZ || type == REG_EXPAND_SZ) << type;
  EXPECT_EQ(std::wstring(value),
            std::wstring(kImage, kImage + sizeof kImage - 1));
  EXPECT_EQ(platform::RegQueryValueExW(hKey, L"Description", nullptr, &type,
                                       reinterpret_cast<BYTE*>(value), &size),
            ERROR_FILE_NOT_FOUND);
  // A key opened for reading takes no value.
  EXPECT_EQ(platform::RegSetValueExA(hKey, "Description", 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>("x"), 2),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(platform::RegCloseKey(hKey), ERROR_SUCCESS);
  EXPECT_TRUE(platform::CloseServiceHandle(hService));
}

TEST_F(Conformance, AValueWrittenNarrowIsReadWide) {
  platform::CloseServiceHandle(Create());
  HKEY hKey = nullptr;
  ASSERT_EQ(
      platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_WRITE, &hKey),
      ERROR_SUCCESS);
  EXPECT_EQ(platform::RegSetValueExA(hKey, "Description", 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>("Maps"), 5),
            ERROR_SUCCESS);
  platform::RegCloseKey(hKey);
  ASSERT_EQ(
      platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &hKey),
      ERROR_SUCCESS);
  WCHAR value[16] = {};
  DWORD size = sizeof value;
  DWORD type = REG_NONE;
  EXPECT_EQ(platform::RegQueryValueExW(hKey, L"DESCRIPTION", nullptr, &type,
                                       reinterpret_cast<BYTE*>(value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 5 * sizeof(WCHAR));
  EXPECT_EQ(std::wstring(value), L"Maps");
  platform::RegCloseKey(hKey);
  EXPECT_EQ(platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                    "System\\CurrentControlSet\\Services\\"
                                    "Veltrane Nothing Here",
                                    0, KEY_READ, &hKey),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Conformance, OpeningNeedsAKnownNameAndAManagerHandle) {
  platform::CloseServiceHandle(Create());
  EXPECT_EQ(ErrorOf([&] {
              return Open(SERVICE_QUERY_STATUS, "Veltrane Nothing Here") !=
                     nullptr;
            }),
            static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(ErrorOf([&] {
              return platform::OpenServiceA(nullptr, kName,
                                            SERVICE_QUERY_STATUS) != nullptr;
            }),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(ErrorOf([] { return platform::CloseServiceHandle(nullptr); }),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // Names are found whatever their letter case.
  SC_HANDLE hService = Open(SERVICE_QUERY_STATUS, "VELTRANE conformance TEST");
  EXPECT_NE(hService, nullptr) << platform::GetLastError();
  platform::CloseServiceHandle(hService);
}

TEST_F(Conformance, AHandleGrantsOnlyTheAccessItWasOpenedWith) {
  platform::CloseServiceHandle(Create());
  SC_HANDLE hService = Open(SERVICE_QUERY_CONFIG);
  ASSERT_NE(hService, nullptr);
  SERVICE_STATUS status{};
  const DWORD denied = ERROR_ACCESS_DENIED;
  EXPECT_EQ(
      ErrorOf([&] { return platform::StartServiceA(hService, 0, nullptr); }),
      denied);
  EXPECT_EQ(
      ErrorOf([&] { return platform::QueryServiceStatus(hService, &status); }),
      denied);
  EXPECT_EQ(ErrorOf([&] {
              return platform::ControlService(hService, SERVICE_CONTROL_STOP,
                                              &status);
            }),
            denied);
  EXPECT_EQ(ErrorOf([&] { return platform::DeleteService(hService); }), denied);
  platform::CloseServiceHandle(hService);
  hService = Open(SERVICE_QUERY_STATUS);
  EXPECT_NE(hService, nullptr) << "deleted all the same";
  platform::CloseServiceHandle(hService);
}

TEST_F(Conformance, AStoppedServiceTakesNoStop) {
  SC_HANDLE hService = Create();
  SERVICE_STATUS status{};
  ASSERT_TRUE(platform::QueryServiceStatus(hService, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(ErrorOf([&] {
              return platform::ControlService(hService, SERVICE_CONTROL_STOP,
                                              &status);
            }),
            static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  platform::CloseServiceHandle(hService);
}

// Deleted while another handle is open, a service is only marked: it can
// still be opened, and its name is taken until the last handle closes.
TEST_F(Conformance, ADeletedServiceStaysUntilItsLastHandleCloses) {
  SC_HANDLE hFirst = Create();
  SC_HANDLE hSecond = Open(SERVICE_QUERY_STATUS);
  ASSERT_TRUE(platform::DeleteService(hFirst));
  EXPECT_EQ(ErrorOf([&] { return platform::DeleteService(hFirst); }),
            static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_TRUE(platform::CloseServiceHandle(hFirst));

  SC_HANDLE hThird = Open(SERVICE_QUERY_STATUS);
  EXPECT_NE(hThird, nullptr) << platform::GetLastError();
  EXPECT_EQ(ErrorOf([&] { return Create() != nullptr; }),
            static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

  platform::CloseServiceHandle(hThird);
  platform::CloseServiceHandle(hSecond);
  EXPECT_EQ(ErrorOf([&] { return Open(SERVICE_QUERY_STATUS) != nullptr; }),
            static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  SC_HANDLE hAgain = Create();
  EXPECT_NE(hAgain, nullptr) << "the name is free again";
  platform::CloseServiceHandle(hAgain);
}

TEST(ConformanceModule, AModulePathThatDoesNotFitIsCut) {
  char full[MAX_PATH];
  const DWORD length = platform::GetModuleFileNameA(nullptr, full, MAX_PATH);
  ASSERT_GT(length, 8u);
  char cut[8];
  platform::SetLastError(0);
  EXPECT_EQ(platform::GetModuleFileNameA(nullptr, cut, sizeof cut), 8u);
  EXPECT_EQ(platform::GetLastError(),
            static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  // Windows and the fake end the cut path with a NUL in the last byte; Wine
  // 8, as Windows XP did, fills all eight bytes. The product never reads a
  // cut path.
  EXPECT_EQ(std::string(cut, 7), std::string(full, 7));
}

}  // namespace
