// AtServiceHelpers called directly against Wine's real service manager and
// registry, with the stand-in server as the registered program.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "owned_wide_string.h"
#include "platform.h"
#include "service_helpers.h"
#include "system_support.h"

namespace {

using AtServiceHelpers::OwnedWideString;

// A name of the library tests' own, with a display name that differs from
// it, so that each argument is seen to arrive where it belongs.
constexpr char kService[] = "Veltrane Helper System Test";
constexpr char kDisplayName[] = "Veltrane helper system test (display)";
constexpr char kDescription[] = "Maps ports for the helper system test";

// From UTF-8, so that a text can hold what the ANSI code page cannot.
OwnedWideString Wide(const std::string& text) {
  const std::wstring wide = systest::Wide(text);
  return OwnedWideString::Attach(
      platform::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
}

// The error text as narrow text in the thread's code page; "<null>" when the
// library left it null.
std::string Narrow(const OwnedWideString& text) {
  if (text.IsNull()) return "<null>";
  const int length = static_cast<int>(text.Length());
  if (length == 0) return std::string();
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.Get(), length, nullptr,
                                        0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.Get(), length, &narrow[0], bytes, nullptr,
                      nullptr);
  return narrow;
}

std::string Uppercase(std::string text) {
  CharUpperBuffA(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

std::string ServiceKeyPath(const std::string& name) {
  return "System\\CurrentControlSet\\Services\\" + name;
}

systest::RegKey OpenServiceKey(const std::string& name, REGSAM access) {
  HKEY hKey = nullptr;
  const LSTATUS opened = RegOpenKeyExA(
      HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, access, &hKey);
  EXPECT_EQ(ERROR_SUCCESS, opened) << "service key of " << name;
  return systest::RegKey(opened == ERROR_SUCCESS ? hKey : nullptr);
}

// The description the service manager reports (not the registry value).
std::string ManagerDescription(const std::string& name) {
  systest::ScHandle hScm = systest::OpenManager();
  systest::ScHandle hService(
      OpenServiceA(hScm.Get(), name.c_str(), SERVICE_QUERY_CONFIG));
  if (!hService) {
    ADD_FAILURE() << "cannot open " << name << ": error " << GetLastError();
    return std::string();
  }
  DWORD needed = 0;
  QueryServiceConfig2A(hService.Get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0,
                       &needed);
  std::vector<BYTE> buffer(needed ? needed : sizeof(SERVICE_DESCRIPTIONA));
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data());
  if (!QueryServiceConfig2A(hService.Get(), SERVICE_CONFIG_DESCRIPTION,
                            buffer.data(), static_cast<DWORD>(buffer.size()),
                            &needed)) {
    ADD_FAILURE() << "QueryServiceConfig2A(" << name << "): error "
                  << GetLastError();
    return std::string();
  }
  return description->lpDescription ? description->lpDescription : "";
}

void SetManagerDescription(const std::string& name, const std::string& text) {
  systest::ScHandle hScm = systest::OpenManager();
  systest::ScHandle hService(
      OpenServiceA(hScm.Get(), name.c_str(), SERVICE_CHANGE_CONFIG));
  ASSERT_TRUE(hService) << "error " << GetLastError();
  std::string copy = text;
  SERVICE_DESCRIPTIONA description = {&copy[0]};
  ASSERT_TRUE(ChangeServiceConfig2A(hService.Get(), SERVICE_CONFIG_DESCRIPTION,
                                    &description))
      << "error " << GetLastError();
}

class HelperLibrary : public ::testing::Test {
 protected:
  // The image path the helpers are given for the stand-in in dir_.
  std::string Module() const { return dir_.ServerCommandLine("tcp"); }

  HRESULT Install(const std::string& description, const std::string& module) {
    return AtServiceHelpers::InstallWithModuleName(
        Wide(kService), Wide(kDisplayName), Wide(description), Wide(""),
        Wide(""), Wide(module), errorText_);
  }
  HRESULT IsMine(const std::string& module, BOOL* pbIsMine) {
    return AtServiceHelpers::IsThisMyServiceWithModuleName(
        Wide(kService), pbIsMine, Wide(module), errorText_);
  }
  HRESULT Uninstall(const std::string& module) {
    return AtServiceHelpers::UninstallWithModuleName(Wide(kService),
                                                     Wide(module), errorText_);
  }
  // Registers the stand-in of `dir` under kService and starts it.
  void RunStandinFrom(const systest::TestDirectory& dir) {
    ASSERT_TRUE(
        systest::RegisterService(kService, dir.ServerCommandLine("tcp")));
    ASSERT_EQ(static_cast<DWORD>(NO_ERROR), systest::StartServiceNow(kService));
    ASSERT_TRUE(systest::WaitForState(kService, SERVICE_RUNNING))
        << dir.ReadLog();
  }

  systest::ServiceCleanup cleanup_{
      {kService}};  // first: leftovers go before the files
  systest::TestDirectory dir_;
  OwnedWideString errorText_;
};

// ---- registration
// ------------------------------------------------------------

TEST_F(HelperLibrary,
       InstallRegistersAnOwnProcessAutoStartServiceUnderLocalSystem) {
  ASSERT_EQ(S_OK, Install(kDescription, Module())) << Narrow(errorText_);

  EXPECT_TRUE(errorText_.IsNull()) << Narrow(errorText_);
  systest::ServiceConfig config;
  ASSERT_TRUE(systest::QueryConfig(kService, config));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.serviceType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
  EXPECT_EQ(Module(), config.binaryPathName);
  EXPECT_EQ("LocalSystem", config.startName);
  EXPECT_EQ(kDisplayName, config.displayName);
  EXPECT_EQ(std::vector<std::string>{"RPCSS"}, config.dependOnService);
  EXPECT_TRUE(config.hasDescription);
  // Read from the key: Wine's manager keeps the descriptions it loaded or
  // was given itself, and does not see a value written into the key.
  EXPECT_EQ(kDescription, config.description);

  systest::RegKey key = OpenServiceKey(kService, KEY_READ);
  DWORD type = REG_NONE;
  DWORD size = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.Get(), "Description", nullptr,
                                            &type, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(sizeof kDescription, size) << "the text and its NUL";

  // sc.exe, independently, finds it registered and not started.
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ScQueryState(kService));
}

TEST_F(HelperLibrary, InstallWithAnEmptyDescriptionWritesNoDescription) {
  ASSERT_EQ(S_OK, Install("", Module())) << Narrow(errorText_);

  systest::ServiceConfig config;
  ASSERT_TRUE(systest::QueryConfig(kService, config));
  EXPECT_EQ(Module(), config.binaryPathName);
  EXPECT_FALSE(config.hasDescription) << config.description;
  EXPECT_EQ("", ManagerDescription(kService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ServiceState(kService))
      << "registering starts nothing";
}

TEST_F(HelperLibrary, InstallLeavesAnExistingServiceOfThatNameExactlyAsItWas) {
  const std::string otherPath = "\"" + dir_.File("other.exe") + "\" other";
  ASSERT_TRUE(
      systest::RegisterService(kService, otherPath, SERVICE_DEMAND_START));
  SetManagerDescription(kService, "The one that was there first");
  systest::ServiceConfig before;
  ASSERT_TRUE(systest::QueryConfig(kService, before));
  ASSERT_TRUE(before.hasDescription);
  const std::string managerDescriptionBefore = ManagerDescription(kService);

  EXPECT_EQ(S_OK, Install(kDescription, Module())) << Narrow(errorText_);

  EXPECT_TRUE(errorText_.IsNull()) << Narrow(errorText_);
  systest::ServiceConfig after;
  ASSERT_TRUE(systest::QueryConfig(kService, after));
  systest::ExpectSameConfig(before, after);
  EXPECT_EQ(otherPath, after.binaryPathName);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), after.startType);
  EXPECT_EQ(managerDescriptionBefore, ManagerDescription(kService));
}

TEST_F(HelperLibrary, InstallOverARegistrationMarkedForDeletionFails) {
  ASSERT_EQ(S_OK, Install("", Module())) << Narrow(errorText_);
  systest::ScHandle hScm = systest::OpenManager();
  systest::ScHandle held(OpenServiceA(hScm.Get(), kService, DELETE));
  ASSERT_TRUE(DeleteService(held.Get())) << "error " << GetLastError();

  EXPECT_EQ(E_FAIL, Install("", Module()));

  EXPECT_EQ("Failed call to CreateService: " +
                systest::SystemText(ERROR_SERVICE_MARKED_FOR_DELETE),
            Narrow(errorText_));
}

// ---- ownership
// ---------------------------------------------------------------

TEST_F(HelperLibrary,
       IsThisMyServiceMatchesTheRegisteredImagePathInAnyLetterCase) {
  ASSERT_EQ(S_OK, Install("", Module())) << Narrow(errorText_);

  for (const std::string& module : {Module(), Uppercase(Module())}) {
    SCOPED_TRACE(module);
    BOOL bIsMine = 7;
    EXPECT_EQ(S_OK, IsMine(module, &bIsMine)) << Narrow(errorText_);
    EXPECT_EQ(TRUE, bIsMine);
  }
  EXPECT_TRUE(errorText_.IsNull()) << Narrow(errorText_);
}

TEST_F(HelperLibrary, IsThisMyServiceRefusesAnotherImagePath) {
  auto quoted = [this](const std::string& inDir) {
    return "\"" + dir_.Path() + "\\" + inDir + "\\tessard.exe\" tcp";
  };
  std::string forward = Module();
  for (char& c : forward) c = c == '\\' ? '/' : c;
  // Registered image path, then the module name it must not match.
  const std::pair<std::string, std::string> pairs[] = {
      {Module(), dir_.ServerCommandLine("spx")},
      {Module(), quoted("other dir")},
      {Module(), dir_.ServerPath() + " tcp"},  // unquoted
      {Module(), Module() + " "},
      {Module(), forward},
      {Module(),
       quoted("..\\" + dir_.Path().substr(dir_.Path().rfind('\\') + 1))},
      // Both read as "??????" through the ANSI code page.
      {quoted("\u041A\u043B\u044E\u0447\u0438\u043A"),
       quoted("\u041F\u0440\u043E\u0435\u043A\u0442")},
  };
  std::string registered;
  for (const auto& [stored, module] : pairs) {
    SCOPED_TRACE(stored + " / " + module);
    if (stored != registered) {
      systest::RemoveService(kService);
      ASSERT_TRUE(systest::RegisterService(kService, stored));
      registered = stored;
    }
    BOOL bIsMine = 7;
    EXPECT_EQ(S_OK, IsMine(module, &bIsMine)) << Narrow(errorText_);
    EXPECT_EQ(FALSE, bIsMine);
  }
}

TEST_F(HelperLibrary,
       IsThisMyServiceReadsAnImagePathOf259CharactersAndNoLonger) {
  // The value is read into 260 bytes: 259 characters and the NUL fit.
  std::string fits = "\"" + dir_.Path() + "\\";
  fits += std::string(259 - fits.size() - 5, 'x') + "\" tcp";
  ASSERT_EQ(259u, fits.size());
  ASSERT_TRUE(systest::RegisterService(kService, fits));
  BOOL bIsMine = FALSE;
  EXPECT_EQ(S_OK, IsMine(fits, &bIsMine)) << Narrow(errorText_);
  EXPECT_EQ(TRUE, bIsMine);

  systest::RemoveService(kService);
  const std::string tooLong =
      "\"" + dir_.Path() + "\\" + std::string(300, 'y') + "\" tcp";
  ASSERT_TRUE(systest::RegisterService(kService, tooLong));
  bIsMine = 7;
  EXPECT_EQ(E_FAIL, IsMine(tooLong, &bIsMine));
  EXPECT_EQ(FALSE, bIsMine);
  EXPECT_EQ("Failed call to Read Services Key: " +
                systest::SystemText(ERROR_MORE_DATA),
            Narrow(errorText_));
}

// ---- removal
// -----------------------------------------------------------------

TEST_F(HelperLibrary, UninstallStopsARunningServiceAndDeletesIt) {
  dir_.WriteScript(systest::StandinScript());
  ASSERT_EQ(S_OK, Install("", Module())) << Narrow(errorText_);
  ASSERT_EQ(static_cast<DWORD>(NO_ERROR), systest::StartServiceNow(kService));
  ASSERT_TRUE(systest::WaitForState(kService, SERVICE_RUNNING))
      << dir_.ReadLog();

  // Letter case does not matter for the ownership check.
  EXPECT_EQ(S_OK, Uninstall(Uppercase(Module()))) << Narrow(errorText_);

  EXPECT_TRUE(errorText_.IsNull()) << Narrow(errorText_);
  EXPECT_TRUE(systest::WaitUntilGone(kService));
  EXPECT_EQ(0u, systest::ScQueryState(kService)) << "sc.exe still finds it";
  EXPECT_EQ(std::vector<std::string>{"1"}, dir_.LogValues("control"))
      << dir_.ReadLog();
  const std::vector<std::string> statuses = dir_.LogValues("status");
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(0u, statuses.back().rfind("STOPPED", 0)) << dir_.ReadLog();
}

TEST_F(HelperLibrary, UninstallDeletesAServiceThatIsNotRunning) {
  ASSERT_EQ(S_OK, Install("", Module())) << Narrow(errorText_);

  EXPECT_EQ(S_OK, Uninstall(Module())) << Narrow(errorText_);

  EXPECT_TRUE(systest::WaitUntilGone(kService));
  EXPECT_EQ("", dir_.ReadLog()) << "the stand-in was never started";
}

TEST_F(HelperLibrary,
       UninstallOfANameThatIsNotRegisteredSucceedsAndLeavesTheTextAlone) {
  errorText_ = "left by an earlier call";

  EXPECT_EQ(S_OK, Uninstall(Module()));

  EXPECT_EQ("left by an earlier call", Narrow(errorText_));
  EXPECT_FALSE(systest::ServiceExists(kService));
}

TEST_F(HelperLibrary,
       UninstallRefusesAServiceOfThatNameThatRunsAnotherProgram) {
  const systest::TestDirectory other(systest::CurrentTestName() +
                                     " other program");
  other.WriteScript(systest::StandinScript());
  RunStandinFrom(other);

  EXPECT_EQ(E_FAIL, Uninstall(Module()));

  EXPECT_EQ("Not able to unregister. Not this service.", Narrow(errorText_));
  systest::ServiceConfig config;
  ASSERT_TRUE(systest::QueryConfig(kService, config));
  EXPECT_EQ(other.ServerCommandLine("tcp"), config.binaryPathName);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ScQueryState(kService));
  EXPECT_TRUE(other.LogValues("control").empty()) << other.ReadLog();
}

// ---- an unreadable "ImagePath"
// -------------------------------------------------

struct ImagePathFault {
  const char* name;
  DWORD code;  // the code whose system text the error text carries
  void (*damage)(HKEY key);
};

std::ostream& operator<<(std::ostream& out, const ImagePathFault& fault) {
  return out << fault.name;
}

void WriteNumber(HKEY key) {
  const DWORD number = 42;
  ASSERT_EQ(
      ERROR_SUCCESS,
      RegSetValueExA(key, "ImagePath", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&number), sizeof number));
}

void DeleteImagePath(HKEY key) {
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "ImagePath"));
}

class UnreadableImagePath
    : public HelperLibrary,
      public ::testing::WithParamInterface<ImagePathFault> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(systest::RegisterService(kService, Module()));
    systest::RegKey key = OpenServiceKey(kService, KEY_SET_VALUE);
    ASSERT_TRUE(key);
    GetParam().damage(key.Get());
  }
  std::string ExpectedText() const {
    return "Failed call to Read Services Key: " +
           systest::SystemText(GetParam().code);
  }
};

TEST_P(UnreadableImagePath, FailsTheOwnershipCheckWithTheSystemText) {
  BOOL bIsMine = 7;

  EXPECT_EQ(E_FAIL, IsMine(Module(), &bIsMine));

  EXPECT_EQ(FALSE, bIsMine);
  EXPECT_EQ(ExpectedText(), Narrow(errorText_));
}

TEST_P(UnreadableImagePath, FailsTheRemovalAndLeavesTheServiceRegistered) {
  EXPECT_EQ(E_FAIL, Uninstall(Module()));

  EXPECT_EQ(ExpectedText(), Narrow(errorText_));
  EXPECT_TRUE(systest::ServiceExists(kService));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnreadableImagePath,
    ::testing::Values(
        ImagePathFault{"OfTypeNumber", ERROR_INVALID_DATA, WriteNumber},
        ImagePathFault{"Missing", ERROR_FILE_NOT_FOUND, DeleteImagePath}),
    [](const ::testing::TestParamInfo<ImagePathFault>& info) {
      return info.param.name;
    });

// ---- a service that will not stop (slow: its own CTest entry)
// -----------------

class StopIgnored : public HelperLibrary {};

TEST_F(StopIgnored, UninstallWaitsForTheStopThenDeletesTheServiceAnyway) {
  systest::StandinScript ignoresStop;
  ignoresStop.honourStop = false;
  ignoresStop.maxLifeMs = 120000;  // ends by itself should the test not end it
  dir_.WriteScript(ignoresStop);
  ASSERT_EQ(S_OK, Install("", Module())) << Narrow(errorText_);
  ASSERT_EQ(static_cast<DWORD>(NO_ERROR), systest::StartServiceNow(kService));
  ASSERT_TRUE(systest::WaitForState(kService, SERVICE_RUNNING))
      << dir_.ReadLog();
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(systest::QueryStatus(kService, status));

  EXPECT_EQ(S_OK, Uninstall(Module())) << Narrow(errorText_);

  EXPECT_TRUE(errorText_.IsNull()) << Narrow(errorText_);
  EXPECT_EQ(std::vector<std::string>{"stop"}, dir_.LogValues("ignored"))
      << dir_.ReadLog();
  // Deleted while it still runs: the manager has it marked for deletion
  // and drops it once its process has ended.
  {
    systest::ScHandle hScm = systest::OpenManager();
    systest::ScHandle hService(OpenServiceA(hScm.Get(), kService, DELETE));
    if (hService) {
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(DeleteService(hService.Get()));
      EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE),
                GetLastError());
    }
  }
  systest::KernelHandle process(
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId));
  if (process) {
    TerminateProcess(process.Get(), ERROR_PROCESS_ABORTED);
    WaitForSingleObject(process.Get(), 5000);
  }
  EXPECT_TRUE(systest::WaitUntilGone(kService));
}

}  // namespace
