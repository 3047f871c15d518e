// "tessardctl.exe nogui start ..." on Wine's real service manager, with the
// stand-in server registered by the test as install would register it.
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

class StartCommand : public ::testing::Test {
 protected:
  // Runs the script through the stand-in registered for tcp.
  void RegisterTcpStandin(const StandinScript& script) {
    dir_.WriteScript(script);
    ASSERT_TRUE(systest::RegisterStandin(dir_, "tcp"));
  }

  systest::ServiceCleanup cleanup_;  // first: leftovers go before the files
  systest::TestDirectory dir_;
};

StandinScript ReachesRunningAfterCheckpoints() {
  StandinScript script;
  script.startCheckpoints = 3;
  script.checkpointIntervalMs = 50;
  script.waitHintMs = 2000;
  return script;
}

TEST_F(StartCommand,
       StartsTheInstalledServiceWithItsTransportAndExitsWithZero) {
  RegisterTcpStandin(ReachesRunningAfterCheckpoints());

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(dir_, "nogui start tcp"));

  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ScQueryState(kTcpService));
  EXPECT_EQ(std::vector<std::string>{dir_.ServerCommandLine("tcp")},
            dir_.LogValues("process"));
  EXPECT_EQ(std::vector<std::string>{"tcp"}, dir_.LogValues("arg"));
  EXPECT_EQ(std::vector<std::string>{kTcpService},
            dir_.LogValues("service_main"));
  EXPECT_TRUE(dir_.LogValues("service_arg").empty())
      << "the start passes no arguments";
}

TEST_F(StartCommand, FailsForAServiceThatIsAlreadyRunningAndLeavesItRunning) {
  RegisterTcpStandin(StandinScript());
  ASSERT_EQ(kExitSuccess, systest::RunTessardctl(dir_, "nogui start tcp"));

  EXPECT_EQ(kExitFailure, systest::RunTessardctl(dir_, "nogui start tcp"));

  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(1u, dir_.LogValues("service_main").size()) << dir_.ReadLog();
}

TEST_F(StartCommand,
       FailsWhenTheCheckpointStopsGrowingAndLeavesTheServiceStarting) {
  StandinScript stalls;
  stalls.outcome = StandinOutcome::kStall;
  stalls.startCheckpoints = 1;
  stalls.waitHintMs = 1500;
  RegisterTcpStandin(stalls);

  EXPECT_EQ(kExitFailure, systest::RunTessardctl(dir_, "nogui start tcp"));

  // Nothing is undone: the service is still registered and still starting.
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING),
            systest::ServiceState(kTcpService));
  EXPECT_TRUE(dir_.LogValues("control").empty()) << "no control was sent";
}

TEST_F(StartCommand, FailsForAServiceThatStopsWhileStarting) {
  StandinScript stops;
  stops.outcome = StandinOutcome::kStop;
  stops.startCheckpoints = 2;
  stops.checkpointIntervalMs = 200;
  stops.waitHintMs = 1000;
  stops.exitCode = ERROR_SERVICE_SPECIFIC_ERROR;
  RegisterTcpStandin(stops);

  EXPECT_EQ(kExitFailure, systest::RunTessardctl(dir_, "nogui start tcp"));

  EXPECT_TRUE(systest::WaitForState(kTcpService, SERVICE_STOPPED));
  EXPECT_EQ(1u, dir_.LogValues("service_main").size()) << dir_.ReadLog();
}

TEST_F(StartCommand, FailsForSpxWhenOnlyTcpIsInstalled) {
  RegisterTcpStandin(StandinScript());

  EXPECT_EQ(kExitFailure, systest::RunTessardctl(dir_, "nogui start spx"));

  EXPECT_FALSE(systest::ServiceExists(kSpxService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ServiceState(kTcpService));
  EXPECT_EQ("", dir_.ReadLog());
}

TEST_F(StartCommand, FailsWhenNothingIsInstalled) {
  EXPECT_EQ(kExitFailure, systest::RunTessardctl(dir_, "nogui start tcp"));

  EXPECT_FALSE(systest::ServiceExists(kTcpService));
  EXPECT_FALSE(systest::ServiceExists(kSpxService));
}

// Command lines that differ from a valid start only in how they are spaced
// or in what follows the complete command.
class AcceptedStartCommandLine
    : public StartCommand,
      public ::testing::WithParamInterface<const char*> {};

TEST_P(AcceptedStartCommandLine, StartsTheService) {
  RegisterTcpStandin(StandinScript());

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(dir_, GetParam()));

  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(std::vector<std::string>{"tcp"}, dir_.LogValues("arg"));
}

INSTANTIATE_TEST_SUITE_P(RunsOfSpaces, AcceptedStartCommandLine,
                         ::testing::Values("nogui  start   tcp",
                                           "nogui start    tcp"));
INSTANTIATE_TEST_SUITE_P(WordsAfterTheCommand, AcceptedStartCommandLine,
                         ::testing::Values("nogui start tcp now please",
                                           "nogui start tcp spx"));

struct MalformedLine {
  const char* name;
  std::string arguments;
};

std::ostream& operator<<(std::ostream& out, const MalformedLine& line) {
  return out << line.name;
}

// Malformed command lines end with -1 and touch no service: both stand-ins
// stay registered as they were, stopped, never started.
class MalformedCommandLine
    : public StartCommand,
      public ::testing::WithParamInterface<MalformedLine> {};

TEST_P(MalformedCommandLine, FailsWithoutTouchingAnyService) {
  dir_.WriteScript(StandinScript());
  ASSERT_TRUE(systest::RegisterStandin(dir_, "tcp"));
  ASSERT_TRUE(systest::RegisterStandin(dir_, "spx"));

  EXPECT_EQ(kExitFailure, systest::RunTessardctl(dir_, GetParam().arguments));

  for (const char* transport : {"tcp", "spx"}) {
    SCOPED_TRACE(transport);
    const char* name = systest::ServiceNameOf(transport);
    systest::ServiceConfig config;
    ASSERT_TRUE(systest::QueryConfig(name, config));
    EXPECT_EQ(dir_.ServerCommandLine(transport), config.binaryPathName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), systest::ServiceState(name));
  }
  EXPECT_EQ("", dir_.ReadLog()) << "the stand-in was started";
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, MalformedCommandLine,
    ::testing::Values(
        MalformedLine{"CapitalFirstWord", "Nogui start tcp"},
        MalformedLine{"CapitalAction", "nogui START tcp"},
        MalformedLine{"CapitalTransport", "nogui start Tcp"},
        MalformedLine{"UnknownAction", "nogui begin tcp"},
        MalformedLine{"UnknownTransport", "nogui start udp"},
        MalformedLine{"UnknownFirstWord", "gui start tcp"},
        MalformedLine{"StartModeAndTransportSwapped", "nogui install tcp auto"},
        MalformedLine{"InstallWithoutStartMode", "nogui install tcp"}),
    [](const ::testing::TestParamInfo<MalformedLine>& info) {
      return info.param.name;
    });

INSTANTIATE_TEST_SUITE_P(
    Separators, MalformedCommandLine,
    ::testing::Values(MalformedLine{"TabAfterFirstWord", "nogui\tstart tcp"},
                      MalformedLine{"TabAfterAction", "nogui start\ttcp"},
                      MalformedLine{"TabAfterTransport",
                                    "nogui start tcp\tnow"},
                      MalformedLine{"CommaSeparated", "nogui,start,tcp"}),
    [](const ::testing::TestParamInfo<MalformedLine>& info) {
      return info.param.name;
    });

INSTANTIATE_TEST_SUITE_P(
    MissingWords, MalformedCommandLine,
    ::testing::Values(MalformedLine{"FirstWordOnly", "nogui"},
                      MalformedLine{"NoTransport", "nogui start"},
                      MalformedLine{"NoTransportAfterSpaces", "nogui start   "},
                      MalformedLine{"InstallWithoutTransport",
                                    "nogui install auto"},
                      MalformedLine{"NoFirstWord", "start tcp"}),
    [](const ::testing::TestParamInfo<MalformedLine>& info) {
      return info.param.name;
    });

INSTANTIATE_TEST_SUITE_P(
    OverlongWords, MalformedCommandLine,
    ::testing::Values(
        MalformedLine{"FirstWord", std::string(300, 'n') + " start tcp"},
        MalformedLine{"Action", "nogui " + std::string(300, 's') + " tcp"},
        MalformedLine{"Transport", "nogui start " + std::string(300, 't')},
        MalformedLine{"KeywordThenLongTail",
                      "nogui start tcp" + std::string(300, 'p')},
        MalformedLine{"InstallFourthWord",
                      "nogui install auto " + std::string(300, 'x')}),
    [](const ::testing::TestParamInfo<MalformedLine>& info) {
      return info.param.name;
    });

}  // namespace
