// Command-line mode of the entry on the fake: what each command line
// composes and runs, and that malformed lines and cut paths touch nothing.
#include "entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit_support.h"

namespace {

using unit::kSpxName;
using unit::kTcpName;

class EntryTest : public unit::ProcessTest {
 protected:
  void SetUp() override {
    ProcessTest::SetUp();
    fake::SetModulePath("E:\\Tools\\tessardctl.exe");
  }

  static int Run(const std::string& commandLine) {
    std::vector<char> text(commandLine.begin(), commandLine.end());
    text.push_back('\0');
    return TessardMain(GetModuleHandleA(nullptr), nullptr, text.data(),
                       SW_SHOWNORMAL);
  }

  // Nothing loaded, opened or closed: no call that could fail was made.
  static void ExpectNothingTouched() {
    EXPECT_EQ(0, fake::FallibleCallCount());
    EXPECT_EQ(0, fake::CountCalls("CloseServiceHandle"));
  }

  // The entry closes the manager handle; only start-and-wait's service
  // handle may outlive the run.
  static void ExpectOnlyTheServiceHandleKept() {
    EXPECT_EQ(nullptr, g_hScm);
    unit::ExpectNothingLeftButTheProcessHandles();
  }
};

TEST_F(EntryTest, InstallAutoTcpRegistersAndStartsTheTcpService) {
  EXPECT_EQ(0, Run("nogui install auto tcp"));
  EXPECT_EQ(kActionInstall, g_nAction);
  EXPECT_EQ(kStartAutomatic, g_nStartMode);
  EXPECT_EQ(kTcpName, std::string(g_szServiceName));
  EXPECT_EQ("\"E:\\Tools\\tessard.exe\" tcp",
            std::string(g_szServerCommandLine));
  const fake::Service* service = fake::FindService(kTcpName);
  ASSERT_NE(nullptr, service);
  EXPECT_EQ("\"E:\\Tools\\tessard.exe\" tcp", service->imagePath);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            service->status.dwCurrentState);
  ExpectOnlyTheServiceHandleKept();
}

TEST_F(EntryTest, InstallManualSpxRegistersTheSpxServiceWithoutStarting) {
  EXPECT_EQ(0, Run("nogui install manual spx"));
  EXPECT_EQ(kStartManual, g_nStartMode);
  EXPECT_EQ(kTransportSpx, g_nTransport);
  const fake::Service* service = fake::FindService(kSpxName);
  ASSERT_NE(nullptr, service);
  EXPECT_EQ("\"E:\\Tools\\tessard.exe\" spx", service->imagePath);
  EXPECT_EQ(0, service->startRequests);
  EXPECT_EQ(nullptr, fake::FindService(kTcpName));
  ExpectOnlyTheServiceHandleKept();
}

TEST_F(EntryTest, StartReturnsZeroOnceTheServiceRuns) {
  fake::AddService(kTcpName, "\"E:\\Tools\\tessard.exe\" tcp");
  EXPECT_EQ(0, Run("nogui start tcp"));
  EXPECT_NE(nullptr, g_hService);
  ExpectOnlyTheServiceHandleKept();
}

TEST_F(EntryTest, StartThatTheManagerRefusesFails) {
  fake::AddService(kTcpName, "x").startError = ERROR_SERVICE_DISABLED;
  EXPECT_EQ(-1, Run("nogui start tcp"));
  ExpectOnlyTheServiceHandleKept();
}

TEST_F(EntryTest, StartOfAServiceThatIsNotRegisteredFails) {
  const fake::Service& tcp =
      fake::AddService(kTcpName, "\"E:\\Tools\\tessard.exe\" tcp");
  EXPECT_EQ(-1, Run("nogui start spx"));
  EXPECT_EQ(0, tcp.startRequests);
  ExpectOnlyTheServiceHandleKept();
}

TEST_F(EntryTest, StartWithoutTheRightToOpenTheManagerFails) {
  const fake::Service& tcp =
      fake::AddService(kTcpName, "\"E:\\Tools\\tessard.exe\" tcp");
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(-1, Run("nogui start tcp"));
  EXPECT_EQ(0, tcp.startRequests);
  ExpectOnlyTheServiceHandleKept();
}

TEST_F(EntryTest, RemoveDeletesTheUtilitysOwnService) {
  fake::AddService(kSpxName, "\"E:\\Tools\\tessard.exe\" spx");
  EXPECT_EQ(0, Run("nogui remove spx trailing words"));
  EXPECT_EQ(nullptr, fake::FindService(kSpxName));
  ExpectOnlyTheServiceHandleKept();
}

TEST_F(EntryTest, RemoveLeavesAnotherProgramsServiceAlone) {
  fake::Service& other =
      fake::AddService(kTcpName, "\"C:\\Elsewhere\\tessard.exe\" tcp");
  other.status.dwCurrentState = SERVICE_RUNNING;
  EXPECT_EQ(-1, Run("nogui remove tcp"));
  EXPECT_EQ(0, other.stopRequests);
  EXPECT_FALSE(other.markedForDelete);
  ExpectOnlyTheServiceHandleKept();
}

TEST_F(EntryTest, MalformedCommandLinesTouchNothing) {
  const char* kLines[] = {
      "nogui Install auto tcp",
      "nogui\tinstall auto tcp",
      "nogui install tcp auto",
      "nogui install auto udp",
      "nogui bogus",
      "nogui",
      "nogui remove",
      "nogui start tcpx",
      "bogus",
      "/install",
  };
  for (const char* line : kLines) {
    SCOPED_TRACE(line);
    SetUp();
    EXPECT_EQ(-1, Run(line));
    ExpectNothingTouched();
    EXPECT_EQ('\0', g_szServiceName[0]);
    EXPECT_EQ('\0', g_szServerCommandLine[0]);
  }
  SetUp();
  EXPECT_EQ(-1, Run("nogui start " + std::string(300, 't')));
  ExpectNothingTouched();
}

TEST_F(EntryTest, AnUntrustedModulePathStopsBeforeAnyServiceOperation) {
  const std::string paths[] = {
      "C:\\" + std::string(280, 'd') + "\\tessardctl.exe",  // cut
      "C:\\q\" x\\tessardctl.exe",  // would end the quoted server path
  };
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    SetUp();
    fake::SetModulePath(path);
    fake::AddService(kTcpName, "whatever");
    EXPECT_EQ(-1, Run("nogui start tcp"));
    EXPECT_EQ(0, fake::CountCalls("OpenSCManagerA"));
    EXPECT_EQ(0, fake::CountCalls("CloseServiceHandle"));
  }
}

TEST_F(EntryTest, TheServerCommandLineMustFitItsBuffer) {
  // "\"" + dir + "tessard.exe\" tcp": 17 characters around the directory.
  auto dirOfLength = [](size_t n) {
    return "C:" + std::string("\\") + std::string(n - 2, 'p') + "\\";
  };
  std::string fits = dirOfLength(255 - 17 - 2);
  fake::SetModulePath(fits + "tessardctl.exe");
  EXPECT_EQ(0, Run("nogui install manual tcp"));
  EXPECT_EQ(255u, std::string(g_szServerCommandLine).size());
  ASSERT_NE(nullptr, fake::FindService(kTcpName));
  EXPECT_EQ(std::string(g_szServerCommandLine),
            fake::FindService(kTcpName)->imagePath);

  SetUp();
  std::string tooLong = dirOfLength(255 - 17 - 2 + 1);
  fake::SetModulePath(tooLong + "tessardctl.exe");
  EXPECT_EQ(-1, Run("nogui install manual tcp"));
  EXPECT_EQ(0, fake::CountCalls("OpenSCManagerA"));
  EXPECT_EQ('\0', g_szServerCommandLine[0]);
}

TEST_F(EntryTest, AServiceNameThatCannotBeLoadedStopsTheRun) {
  fake::FailNext("LoadStringA");
  EXPECT_EQ(-1, Run("nogui remove tcp"));
  EXPECT_EQ(0, fake::CountCalls("OpenSCManagerA"));
}

TEST_F(EntryTest, RunningOutOfMemoryEndsWithMinusOneAndNoLeak) {
  fake::FailAllocation(1);
  EXPECT_EQ(-1, Run("nogui install auto tcp"));
  ExpectOnlyTheServiceHandleKept();
}

}  // namespace
