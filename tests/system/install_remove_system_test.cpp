// "tessardctl.exe nogui install ..." and "nogui remove ..." run as a child
// process on Wine's real service manager, with the stand-in beside it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system_support.h"

namespace {

using systest::kExitFailure;
using systest::kExitSuccess;
using systest::kSpxService;
using systest::kTcpService;
using systest::StandinOutcome;
using systest::StandinScript;

// The last status line the stand-in logged, e.g. "STOPPED checkpoint=0 ...".
std::string LastStatus(const systest::TestDirectory& dir) {
  const std::vector<std::string> statuses = dir.LogValues("status");
  return statuses.empty() ? std::string() : statuses.back();
}

bool StartsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

class InstallRemove : public ::testing::Test {
 protected:
  void SetUp() override { dir_.WriteScript(StandinScript()); }

  // What install registers for a transport, as read back from the manager.
  void ExpectRegisteredAsInstalled(const std::string& transport) {
    SCOPED_TRACE("registration of " + transport);
    systest::ServiceConfig config;
    ASSERT_TRUE(
        systest::QueryConfig(systest::ServiceNameOf(transport), config));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS),
              config.serviceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType)
        << "registered to start at boot whatever the start mode word";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
    EXPECT_EQ("\"" + dir_.Path() + "\\tessard.exe\" " + transport,
              config.binaryPathName);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), config.imagePathType);
    EXPECT_EQ("LocalSystem", config.startName);
    EXPECT_EQ(systest::ServiceNameOf(transport), config.displayName);
    EXPECT_EQ(std::vector<std::string>{"RPCSS"}, config.dependOnService);
    EXPECT_FALSE(config.hasDescription) << config.description;
  }

  systest::ServiceCleanup cleanup_;  // first: leftovers go before the files
  systest::TestDirectory dir_;
};

// ---- install
// -------------------------------------------------------------------

TEST_F(InstallRemove, InstallManualRegistersTheServiceAndDoesNotStartIt) {
  EXPECT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install manual tcp"));

  ExpectRegisteredAsInstalled("tcp");
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ScQueryState(kTcpService));
  EXPECT_EQ("", dir_.ReadLog()) << "the stand-in was started";
  EXPECT_FALSE(systest::ServiceExists(kSpxService));
}

TEST_F(InstallRemove, InstallAutoRegistersAndStartsTheServiceWithItsTransport) {
  EXPECT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install auto tcp"));

  ExpectRegisteredAsInstalled("tcp");
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ScQueryState(kTcpService));
  EXPECT_EQ(std::vector<std::string>{dir_.ServerCommandLine("tcp")},
            dir_.LogValues("process"));
  EXPECT_EQ(std::vector<std::string>{"tcp"}, dir_.LogValues("arg"));
  EXPECT_EQ(std::vector<std::string>{kTcpService},
            dir_.LogValues("service_main"));
}

TEST_F(InstallRemove,
       InstallAutoSpxBesideARunningTcpServiceLeavesTcpUntouched) {
  ASSERT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install auto tcp"));
  systest::ServiceConfig tcpBefore;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, tcpBefore));
  SERVICE_STATUS_PROCESS tcpStatusBefore = {};
  ASSERT_TRUE(systest::QueryStatus(kTcpService, tcpStatusBefore));
  ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            tcpStatusBefore.dwCurrentState);

  EXPECT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install auto spx"));

  ExpectRegisteredAsInstalled("spx");
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kSpxService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ScQueryState(kSpxService));
  EXPECT_EQ((std::vector<std::string>{"tcp", "spx"}), dir_.LogValues("arg"));
  EXPECT_EQ((std::vector<std::string>{kTcpService, kSpxService}),
            dir_.LogValues("service_main"));

  systest::ServiceConfig tcpAfter;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, tcpAfter));
  systest::ExpectSameConfig(tcpBefore, tcpAfter);
  SERVICE_STATUS_PROCESS tcpStatusAfter = {};
  ASSERT_TRUE(systest::QueryStatus(kTcpService, tcpStatusAfter));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), tcpStatusAfter.dwCurrentState);
  EXPECT_EQ(tcpStatusBefore.dwProcessId, tcpStatusAfter.dwProcessId)
      << "TCP was restarted";
  EXPECT_TRUE(dir_.LogValues("control").empty()) << dir_.ReadLog();
}

TEST_F(InstallRemove, InstallOverItsOwnRegistrationSucceedsAndChangesNothing) {
  ASSERT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install manual tcp"));
  systest::ServiceConfig before;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, before));

  EXPECT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install manual tcp"));

  systest::ServiceConfig after;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, after));
  systest::ExpectSameConfig(before, after);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ServiceState(kTcpService));
  EXPECT_EQ("", dir_.ReadLog());
}

TEST_F(InstallRemove,
       InstallOverAnotherProgramsRegistrationSucceedsAndChangesNothing) {
  const systest::TestDirectory other(systest::CurrentTestName() +
                                     " other program");
  ASSERT_TRUE(systest::RegisterStandin(other, "tcp", SERVICE_DEMAND_START));
  systest::ServiceConfig before;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, before));

  EXPECT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install manual tcp"));

  systest::ServiceConfig after;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, after));
  systest::ExpectSameConfig(before, after);
  EXPECT_EQ(other.ServerCommandLine("tcp"), after.binaryPathName);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), after.startType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ScQueryState(kTcpService));
}

TEST_F(InstallRemove,
       InstallAutoWhoseStartStallsFailsAndLeavesTheServiceRegistered) {
  StandinScript stalls;
  stalls.outcome = StandinOutcome::kStall;
  stalls.startCheckpoints = 1;
  stalls.waitHintMs = 1500;
  dir_.WriteScript(stalls);

  EXPECT_EQ(kExitFailure,
            systest::RunTessardctl(dir_, "nogui install auto tcp"));

  // Nothing is undone: still registered as installed, still starting.
  ExpectRegisteredAsInstalled("tcp");
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING),
            systest::ScQueryState(kTcpService));
  EXPECT_TRUE(dir_.LogValues("control").empty()) << "no stop was sent";
}

TEST_F(InstallRemove,
       InstallAutoWhoseServiceStopsWhileStartingFailsAndLeavesItRegistered) {
  StandinScript stops;
  stops.outcome = StandinOutcome::kStop;
  stops.startCheckpoints = 2;
  stops.checkpointIntervalMs = 100;
  stops.waitHintMs = 500;
  stops.exitCode = ERROR_SERVICE_SPECIFIC_ERROR;
  dir_.WriteScript(stops);

  EXPECT_EQ(kExitFailure,
            systest::RunTessardctl(dir_, "nogui install auto tcp"));

  ExpectRegisteredAsInstalled("tcp");
  EXPECT_TRUE(systest::WaitForState(kTcpService, SERVICE_STOPPED));
  EXPECT_EQ(1u, dir_.LogValues("service_main").size()) << dir_.ReadLog();
}

// ---- remove
// --------------------------------------------------------------------

TEST_F(InstallRemove, RemoveStopsTheRunningServiceAndDeletesIt) {
  ASSERT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install auto tcp"));
  ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kTcpService));

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(dir_, "nogui remove tcp"));

  EXPECT_TRUE(systest::WaitUntilGone(kTcpService));
  EXPECT_EQ(0u, systest::ScQueryState(kTcpService)) << "sc.exe still finds it";
  EXPECT_EQ(std::vector<std::string>{"1"}, dir_.LogValues("control"))
      << dir_.ReadLog();
  EXPECT_TRUE(StartsWith(LastStatus(dir_), "STOPPED")) << dir_.ReadLog();
}

TEST_F(InstallRemove, RemoveSpxLeavesTheTcpServiceRunning) {
  ASSERT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install auto tcp"));
  ASSERT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install auto spx"));

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(dir_, "nogui remove spx"));

  EXPECT_TRUE(systest::WaitUntilGone(kSpxService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kTcpService));
  ExpectRegisteredAsInstalled("tcp");
  EXPECT_EQ(std::vector<std::string>{"1"}, dir_.LogValues("control"))
      << "one stop, for SPX only\n"
      << dir_.ReadLog();
}

TEST_F(InstallRemove,
       RemoveOfANameThatIsNotRegisteredSucceedsAndTouchesNothing) {
  ASSERT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install manual spx"));

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(dir_, "nogui remove tcp"));

  EXPECT_FALSE(systest::ServiceExists(kTcpService));
  ExpectRegisteredAsInstalled("spx");
}

// A handle held elsewhere keeps a removed service registered, marked for
// deletion; installing over it must not pass for installed.
TEST_F(InstallRemove, InstallOverARegistrationMarkedForDeletionFails) {
  ASSERT_EQ(kExitSuccess,
            systest::RunTessardctl(dir_, "nogui install manual tcp"));
  systest::ScHandle hScm = systest::OpenManager();
  systest::ScHandle held(
      OpenServiceA(hScm.Get(), kTcpService, SERVICE_QUERY_STATUS));
  ASSERT_TRUE(held);
  ASSERT_EQ(kExitSuccess, systest::RunTessardctl(dir_, "nogui remove tcp"));

  EXPECT_EQ(kExitFailure,
            systest::RunTessardctl(dir_, "nogui install manual tcp"));
  EXPECT_EQ(kExitFailure,
            systest::RunTessardctl(dir_, "nogui install auto tcp"));

  EXPECT_EQ("", dir_.ReadLog()) << "the stand-in was started";
  held = systest::ScHandle();
  EXPECT_TRUE(systest::WaitUntilGone(kTcpService));
}

// Folder pairs that only language rules take for equal: the utility in the
// first, another program's service registered from the second.
struct ForeignFolders {
  const char* name;
  const char* own;  // UTF-8
  const char* foreign;
};

std::ostream& operator<<(std::ostream& out, const ForeignFolders& folders) {
  return out << folders.name;
}

class RemoveBesideAForeignService
    : public ::testing::TestWithParam<ForeignFolders> {
 protected:
  systest::ServiceCleanup cleanup_;  // first: leftovers go before the files
  systest::TestDirectory dir_{GetParam().own};
  systest::TestDirectory foreign_{GetParam().foreign};
};

TEST_P(RemoveBesideAForeignService, RefusesItAndLeavesItRunning) {
  foreign_.WriteScript(StandinScript());
  ASSERT_TRUE(systest::RegisterStandin(foreign_, "tcp"));
  ASSERT_EQ(static_cast<DWORD>(NO_ERROR),
            systest::StartServiceNow(kTcpService));
  ASSERT_TRUE(systest::WaitForState(kTcpService, SERVICE_RUNNING))
      << foreign_.ReadLog();

  EXPECT_EQ(kExitFailure, systest::RunTessardctl(dir_, "nogui remove tcp"));

  systest::ServiceConfig config;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, config));
  EXPECT_EQ(foreign_.ServerCommandLine("tcp"), config.binaryPathName);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ScQueryState(kTcpService));
  EXPECT_TRUE(foreign_.LogValues("control").empty()) << foreign_.ReadLog();
}

INSTANTIATE_TEST_SUITE_P(
    Folders, RemoveBesideAForeignService,
    ::testing::Values(
        ForeignFolders{"AnotherFolder", "foreign own", "foreign other program"},
        ForeignFolders{"SharpS", "foreign Stra\u00DFe", "foreign Strasse"},
        ForeignFolders{"SoftHyphen", "foreign ba\u00ADse", "foreign base"},
        ForeignFolders{"Ligature", "foreign \u00C6sir", "foreign AEsir"}),
    [](const ::testing::TestParamInfo<ForeignFolders>& info) {
      return info.param.name;
    });

}  // namespace
