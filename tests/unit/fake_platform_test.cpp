// Checks that the fake platform behaves as the Windows it stands in for, and
// that its scripting, failure injection and accounting do what tests rely on.
#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <cstring>
#include <string>

#include "fake_platform.h"
#include "platform.h"

namespace {

const char kName[] = "Veltrane Portmapper for TCP";
const char kImage[] = "\"C:\\Tools\\tessard.exe\" tcp";
const char kKey[] =
    "System\\CurrentControlSet\\Services\\Veltrane Portmapper for TCP";

class FakeTest : public testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
};

class FakeServices : public FakeTest {
 protected:
  void SetUp() override {
    FakeTest::SetUp();
    hScm = platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(hScm, nullptr);
  }
  SC_HANDLE Open(const char* name, DWORD access) {
    return platform::OpenServiceA(hScm, name, access);
  }
  SC_HANDLE hScm = nullptr;
};

TEST_F(FakeServices, StartPlaysTheScriptThenHoldsTheLastStatus) {
  fake::Service& service = fake::AddService(kName, kImage);
  service.startScript = {fake::Status(SERVICE_START_PENDING, 1, 3000),
                         fake::Status(SERVICE_RUNNING)};
  SC_HANDLE hService = Open(kName, SERVICE_ALL_ACCESS);
  SERVICE_STATUS status{};

  EXPECT_FALSE(
      platform::ControlService(hService, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(platform::GetLastError(),
            static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

  ASSERT_TRUE(platform::StartServiceA(hService, 0, nullptr));
  ASSERT_TRUE(platform::QueryServiceStatus(hService, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(status.dwCheckPoint, 1u);
  EXPECT_EQ(status.dwWaitHint, 3000u);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(platform::QueryServiceStatus(hService, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  }
  EXPECT_FALSE(platform::StartServiceA(hService, 0, nullptr));
  EXPECT_EQ(platform::GetLastError(),
            static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  EXPECT_EQ(service.startRequests, 1);

  ASSERT_TRUE(
      platform::ControlService(hService, SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(platform::QueryServiceStatus(hService, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(service.stopRequests, 2);
}

TEST_F(FakeServices, ScriptedStartAndStopRefusals) {
  fake::Service& service = fake::AddService(kName, kImage);
  service.startError = ERROR_SERVICE_LOGON_FAILED;
  SC_HANDLE hService = Open(kName, SERVICE_ALL_ACCESS);
  EXPECT_FALSE(platform::StartServiceA(hService, 0, nullptr));
  EXPECT_EQ(platform::GetLastError(),
            static_cast<DWORD>(ERROR_SERVICE_LOGON_FAILED));

  service.status = fake::Status(SERVICE_RUNNING);
  service.ignoresStop = true;
  SERVICE_STATUS status{};
  ASSERT_TRUE(
      platform::ControlService(hService, SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(platform::QueryServiceStatus(hService, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(FakeServices, ClosingTellsNullFromMisuse) {
  platform::SetLastError(0xdeadbeef);
  EXPECT_FALSE(platform::CloseServiceHandle(nullptr));
  EXPECT_EQ(platform::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(fake::Misuse().empty());

  ASSERT_TRUE(platform::CloseServiceHandle(hScm));
  EXPECT_FALSE(platform::CloseServiceHandle(hScm));
  EXPECT_EQ(platform::OpenServiceA(hScm, kName, SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(fake::Misuse().size(), 2u);
  EXPECT_NE(fake::LeakReport().find("closed handle h1"), std::string::npos);

  HKEY hKey = nullptr;
  fake::AddKey(kKey);
  ASSERT_EQ(
      platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &hKey),
      ERROR_SUCCESS);
  EXPECT_EQ(fake::OpenKeys(), 1);
  EXPECT_EQ(platform::RegCloseKey(hKey), ERROR_SUCCESS);
  EXPECT_EQ(platform::RegCloseKey(hKey), ERROR_INVALID_HANDLE);
  EXPECT_EQ(fake::OpenKeys(), 0);
  EXPECT_EQ(fake::Misuse().size(), 3u);
}

TEST_F(FakeServices, PendingServiceTakesNoStop) {
  fake::Service& service = fake::AddService(kName, kImage);
  service.startScript = {fake::Status(SERVICE_START_PENDING, 1, 500)};
  SC_HANDLE hService = Open(kName, SERVICE_ALL_ACCESS);
  ASSERT_TRUE(platform::StartServiceA(hService, 0, nullptr));
  SERVICE_STATUS status{};
  EXPECT_FALSE(
      platform::ControlService(hService, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(platform::GetLastError(),
            static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));

  EXPECT_TRUE(platform::CloseServiceHandle(hService));
}

class FakeFailures : public FakeServices {};

TEST_F(FakeFailures, NthFallibleCallFailsWithItsNaturalError) {
  fake::AddService(kName, kImage);
  fake::ClearFailures();
  fake::FailCall(2);
  SC_HANDLE hService = Open(kName, SERVICE_ALL_ACCESS);  // call 1
  platform::SetLastError(0xdeadbeef);
  SERVICE_STATUS status{};
  EXPECT_FALSE(platform::QueryServiceStatus(hService, &status));  // call 2
  EXPECT_EQ(platform::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(platform::QueryServiceStatus(hService, &status));
  EXPECT_TRUE(platform::CloseServiceHandle(hService));  // not fallible
  EXPECT_EQ(fake::FallibleCallCount(), 3);
}

TEST_F(FakeFailures, QueuedFailuresOfOneFunctionComeInTurn) {
  fake::AddService(kName, kImage);
  fake::FailNext("OpenServiceA", ERROR_SERVICE_DATABASE_LOCKED, 1);
  fake::FailNext("OpenServiceA");
  fake::FailNext("RegOpenKeyExA", ERROR_FILE_NOT_FOUND);

  std::vector<bool> opened;
  for (int i = 0; i < 4; ++i) {
    SC_HANDLE hService = Open(kName, SERVICE_QUERY_CONFIG);
    opened.push_back(hService != nullptr);
    if (i == 1) {
      EXPECT_EQ(platform::GetLastError(),
                static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED));
    }
    if (i == 2) {
      EXPECT_EQ(platform::GetLastError(),
                static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    if (hService) platform::CloseServiceHandle(hService);
  }
  EXPECT_EQ(opened, (std::vector<bool>{true, false, false, true}));

  // The registry reports the code itself and leaves the last error alone.
  platform::SetLastError(0xdeadbeef);
  HKEY hKey = nullptr;
  EXPECT_EQ(
      platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &hKey),
      ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(platform::GetLastError(), 0xdeadbeefu);
  EXPECT_EQ(hKey, nullptr);
  EXPECT_EQ(
      platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &hKey),
      ERROR_SUCCESS);
  platform::RegCloseKey(hKey);
}

TEST_F(FakeFailures, ANameTheFakeCannotScriptOrCountFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(fake::FailNext("NoSuchFunction"),
                          "not a function of the seam");
  EXPECT_NONFATAL_FAILURE(fake::FailNext("CloseServiceHandle"),
                          "the fake cannot make it fail");
  EXPECT_NONFATAL_FAILURE(fake::CountCalls("RegQueryValueExA"),
                          "not a function of the seam");
  EXPECT_NONFATAL_FAILURE(fake::CountCalls("GetLastError"),
                          "the call log leaves it out");
}

// Runs every fallible function once, in a state where each would succeed.
void CallEachFallibleFunction(SC_HANDLE hScm) {
  char text[MAX_PATH];
  wchar_t wide[8];
  SERVICE_STATUS status{};
  SC_HANDLE hService = platform::OpenServiceA(hScm, kName, SERVICE_ALL_ACCESS);
  platform::StartServiceA(hService, 0, nullptr);
  platform::QueryServiceStatus(hService, &status);
  platform::ControlService(hService, SERVICE_CONTROL_STOP, &status);
  platform::DeleteService(hService);
  platform::CloseServiceHandle(hService);
  SC_HANDLE hCreated = platform::CreateServiceA(
      hScm, "Other", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "x.exe", nullptr, nullptr,
      nullptr, nullptr, nullptr);
  platform::CloseServiceHandle(hCreated);
  HKEY hKey = nullptr;
  platform::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &hKey);
  DWORD size = sizeof text;
  platform::RegQueryValueExW(hKey, L"ImagePath", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(text), &size);
  platform::RegSetValueExA(hKey, "Description", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>("d"), 2);
  platform::RegCloseKey(hKey);
  LPSTR message = nullptr;
  if (platform::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, ERROR_ACCESS_DENIED, 0,
                               reinterpret_cast<LPSTR>(&message), 0, nullptr)) {
    platform::LocalFree(message);
  }
  platform::GetModuleFileNameA(nullptr, text, sizeof text);
  platform::MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 8);
  platform::WideCharToMultiByte(CP_ACP, 0, L"abc", -1, text, sizeof text,
                                nullptr, nullptr);
  platform::LoadStringA(nullptr, 1, text, sizeof text);
  platform::MessageBoxA(nullptr, "t", "c", MB_OK);
}

TEST_F(FakeFailures, ASweepReachesEveryFallibleCallAndLeavesNothingOpen) {
  fake::AddService(kName, kImage);
  fake::ClearFailures();
  CallEachFallibleFunction(hScm);
  const int count = fake::FallibleCallCount();
  EXPECT_EQ(count, 15);
  for (int n = 1; n <= count; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    fake::Reset();
    fake::AddService(kName, kImage);
    hScm = platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    fake::ClearFailures();
    fake::FailCall(n, ERROR_INVALID_DATA);
    platform::SetLastError(0);
    CallEachFallibleFunction(hScm);
    platform::CloseServiceHandle(hScm);
    EXPECT_EQ(fake::LeakReport(), "");
    EXPECT_EQ(fake::FallibleCallCount(), count);
  }
}

TEST_F(FakeFailures, EachFunctionFailsWithItsNaturalError) {
  struct Case {
    const char* function;
    DWORD error;
  };
  const Case cases[] = {
      {"OpenServiceA", ERROR_ACCESS_DENIED},
      {"FormatMessageA", ERROR_MR_MID_NOT_FOUND},
      {"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION},
      {"WideCharToMultiByte", ERROR_NO_UNICODE_TRANSLATION},
      {"GetModuleFileNameA", ERROR_INSUFFICIENT_BUFFER},
      {"LoadStringA", ERROR_RESOURCE_NAME_NOT_FOUND},
      {"MessageBoxA", ERROR_NOT_ENOUGH_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    fake::Reset();
    fake::AddService(kName, kImage);
    hScm = platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    fake::FailNext(c.function);
    char text[MAX_PATH] = "untouched";
    wchar_t wide[8];
    platform::SetLastError(0xdeadbeef);
    const std::string name = c.function;
    bool failed = false;
    if (name == "OpenServiceA") {
      failed = platform::OpenServiceA(hScm, kName, 1) == nullptr;
    } else if (name == "FormatMessageA") {
      LPSTR message = nullptr;
      failed = platform::FormatMessageA(
                   FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, ERROR_ACCESS_DENIED, 0,
                   reinterpret_cast<LPSTR>(&message), 0, nullptr) == 0;
    } else if (name == "MultiByteToWideChar") {
      failed = platform::MultiByteToWideChar(CP_ACP, 0, "a", -1, wide, 8) == 0;
    } else if (name == "WideCharToMultiByte") {
      failed =
          platform::WideCharToMultiByte(CP_ACP, 0, L"a", -1, text, sizeof text,
                                        nullptr, nullptr) == 0;
    } else if (name == "GetModuleFileNameA") {
      failed = platform::GetModuleFileNameA(nullptr, text, sizeof text) == 0;
    } else if (name == "LoadStringA") {
      failed = platform::LoadStringA(nullptr, 1, text, sizeof text) == 0;
    } else if (name == "MessageBoxA") {
      failed = platform::MessageBoxA(nullptr, "t", "c", MB_OK) == 0;
      EXPECT_TRUE(fake::MessageBoxes().empty());
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(platform::GetLastError(), c.error);
    EXPECT_STREQ(text, "untouched");
  }
}

class FakeStrings : public FakeTest {};

TEST_F(FakeStrings, StringsAreCountedAndLaidOutLikeRealOnes) {
  BSTR left = platform::SysAllocStringLen(L"Port", 4);
  BSTR right = platform::SysAllocStringByteLen("ab", 2);
  ASSERT_NE(left, nullptr);
  ASSERT_NE(right, nullptr);
  EXPECT_EQ(platform::SysStringLen(left), 4u);
  EXPECT_EQ(platform::SysStringByteLen(right), 2u);
  EXPECT_EQ(reinterpret_cast<const UINT*>(left)[-1], 8u);
  EXPECT_EQ(left[4], L'\0');

  BSTR joined = nullptr;
  ASSERT_EQ(platform::VarBstrCat(left, nullptr, &joined), S_OK);
  EXPECT_EQ(std::wstring(joined), L"Port");
  EXPECT_EQ(fake::LiveStrings(), 3);
  EXPECT_EQ(fake::AllocationCount(), 3);

  platform::SysFreeString(nullptr);
  platform::SysFreeString(left);
  platform::SysFreeString(right);
  platform::SysFreeString(joined);
  EXPECT_EQ(fake::LiveStrings(), 0);
  EXPECT_EQ(fake::LeakReport(), "");
  platform::SysFreeString(left);
  EXPECT_EQ(fake::Misuse().size(), 1u);
}

TEST_F(FakeStrings, ScriptedAllocationFailures) {
  fake::FailAllocation(2);
  fake::FailAllocation(3);
  BSTR first = platform::SysAllocStringLen(L"a", 1);
  EXPECT_EQ(platform::SysAllocStringByteLen("b", 1), nullptr);
  BSTR joined = reinterpret_cast<BSTR>(&joined);
  EXPECT_EQ(platform::VarBstrCat(first, first, &joined), E_OUTOFMEMORY);
  EXPECT_EQ(joined, nullptr);
  fake::FailNextVarBstrCat(DISP_E_TYPEMISMATCH);
  EXPECT_EQ(platform::VarBstrCat(first, first, &joined), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(platform::VarBstrCat(first, first, &joined), S_OK);
  EXPECT_EQ(std::wstring(joined), L"aa");
  EXPECT_EQ(fake::AllocationCount(), 5);
  EXPECT_EQ(fake::LiveStrings(), 2);
  platform::SysFreeString(first);
  platform::SysFreeString(joined);
}

TEST_F(FakeStrings, StringsNotHandedOutAreMisuse) {
  BSTR text = platform::SysAllocStringLen(nullptr, 3);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(platform::SysStringLen(text), 3u);
  EXPECT_EQ(text[0], L'\0');
  platform::SysFreeString(text);
  EXPECT_EQ(text[0], static_cast<OLECHAR>(0xDDDD));  // poisoned, not reused
  EXPECT_EQ(platform::SysStringLen(text), 3u);

  OLECHAR foreign[] = {0, 0, 'x', 0};
  BSTR stranger = reinterpret_cast<BSTR>(&foreign[2]);
  platform::SysFreeString(stranger);
  BSTR joined = nullptr;
  EXPECT_EQ(platform::VarBstrCat(stranger, nullptr, &joined), E_INVALIDARG);
  EXPECT_EQ(fake::Misuse().size(), 3u);
  EXPECT_EQ(fake::LiveStrings(), 0);
}

class FakeSystem : public FakeTest {};

TEST_F(FakeSystem, SystemTextsMatchTheRealOnesAndAreAccounted) {
  const std::string real = fake::RealSystemText(ERROR_ACCESS_DENIED);
  ASSERT_FALSE(real.empty());
  LPSTR text = nullptr;
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_ALLOCATE_BUFFER |
                      FORMAT_MESSAGE_IGNORE_INSERTS;
  ASSERT_EQ(
      platform::FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0,
                               reinterpret_cast<LPSTR>(&text), 0, nullptr),
      real.size());
  EXPECT_EQ(std::string(text), real);
  EXPECT_EQ(fake::LiveLocalAllocs(), 1);
  EXPECT_EQ(platform::LocalFree(text), nullptr);
  EXPECT_EQ(fake::LiveLocalAllocs(), 0);
  EXPECT_EQ(platform::LocalFree(text), text);
  EXPECT_EQ(fake::Misuse().size(), 1u);

  fake::SetSystemText(ERROR_ACCESS_DENIED, "Needs %1.\r\n");
  ASSERT_EQ(
      platform::FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0,
                               reinterpret_cast<LPSTR>(&text), 0, nullptr),
      11u);
  EXPECT_STREQ(text, "Needs %1.\r\n") << "inserts are left as they are";
  platform::LocalFree(text);
  fake::RemoveSystemText(ERROR_ACCESS_DENIED);
  EXPECT_EQ(
      platform::FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0,
                               reinterpret_cast<LPSTR>(&text), 0, nullptr),
      0u);
  EXPECT_EQ(platform::GetLastError(),
            static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

TEST_F(FakeSystem, CatalogueTextsComeFromTheRealResources) {
  char expected[256] = "";
  const int realLength =
      ::LoadStringA(::GetModuleHandleA(nullptr), 1, expected, sizeof expected);
  ASSERT_GT(realLength, 0);
  char text[256] = "";
  EXPECT_EQ(platform::LoadStringA(nullptr, 1, text, sizeof text), realLength);
  EXPECT_STREQ(text, expected);
  EXPECT_EQ(fake::Calls().back().ToString(),
            "LoadStringA(null, 0x1, out, 0x100)");
}

TEST_F(FakeSystem, SleepsAndMessageBoxesAreRecorded) {
  platform::Sleep(250);
  platform::Sleep(1000);
  EXPECT_EQ(fake::Sleeps(), (std::vector<DWORD>{250, 1000}));

  EXPECT_EQ(platform::MessageBoxA(nullptr, "Start it?", "Setup",
                                  MB_YESNO | MB_ICONQUESTION),
            IDYES);
  fake::QueueMessageBoxAnswer(IDNO);
  EXPECT_EQ(platform::MessageBoxA(nullptr, "Start it?", "Setup", MB_YESNO),
            IDNO);
  EXPECT_EQ(platform::MessageBoxA(nullptr, "Done.", "Setup", MB_OK), IDOK);
  ASSERT_EQ(fake::MessageBoxes().size(), 3u);
  EXPECT_EQ(fake::MessageBoxes()[2].text, "Done.");
  EXPECT_EQ(fake::CountCalls("MessageBoxA"), 3);
}

TEST_F(FakeSystem, ResetForgetsEverything) {
  fake::AddService(kName, kImage);
  platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  platform::SysAllocStringLen(L"x", 1);
  platform::SetLastError(5);
  fake::SetModulePath("D:\\x.exe");
  fake::FailNext("OpenServiceA");
  ASSERT_NE(fake::LeakReport(), "");

  fake::Reset();
  EXPECT_EQ(fake::FindService(kName), nullptr);
  EXPECT_FALSE(fake::GetValue(kKey, "ImagePath", nullptr, nullptr));
  EXPECT_EQ(fake::LeakReport(), "");
  EXPECT_TRUE(fake::Calls().empty());
  EXPECT_EQ(platform::GetLastError(), 0u);
  EXPECT_EQ(fake::FallibleCallCount(), 0);
  SC_HANDLE hScm =
      platform::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  EXPECT_EQ(platform::OpenServiceA(hScm, kName, SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(fake::Calls().back().ToString(),
            "OpenServiceA(h1, \"" + std::string(kName) + "\", 0x1)");
}

}  // namespace
