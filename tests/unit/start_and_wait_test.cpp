// Start-and-wait on the fake service manager: the poll, the outcomes, the
// messages, and the two handles kept for the life of the process.
#include "start_and_wait.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "process_state.h"

namespace {

constexpr char kServiceName[] = "Veltrane Portmapper for TCP";
constexpr char kCaption[] = "Veltrane Portmapper Utility";

class StartAndWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    ResetProcessState();
    g_hInstance = GetModuleHandleA(nullptr);
    lstrcpyA(g_szServiceName, kServiceName);
    lstrcpyA(g_szCaption, kCaption);
  }

  fake::Service& Register() {
    return fake::AddService(kServiceName,
                            "\"C:\\Tools\\tessard.exe\" tcp");
  }

  static SERVICE_STATUS Pending(DWORD checkPoint, DWORD waitHint) {
    return fake::Status(SERVICE_START_PENDING, checkPoint, waitHint);
  }

  // The one message box a reporting start showed.
  static std::string OnlyBoxText() {
    const auto& boxes = fake::MessageBoxes();
    EXPECT_EQ(1u, boxes.size());
    if (boxes.empty()) return "";
    EXPECT_EQ(nullptr, boxes[0].owner);
    EXPECT_EQ(kCaption, boxes[0].caption);
    EXPECT_EQ(static_cast<UINT>(MB_OK), boxes[0].type);
    return boxes[0].text;
  }
};

TEST_F(StartAndWaitTest, OpensTheManagerAndServiceWithAllAccess) {
  Register();
  EXPECT_EQ(0, StartSilently());
  ASSERT_GE(fake::Calls().size(), 3u);
  EXPECT_EQ("OpenSCManagerA(null, null, 0xf003f)", fake::Calls()[0].ToString());
  EXPECT_EQ("OpenServiceA(h1, \"Veltrane Portmapper for TCP\", 0xf01ff)",
            fake::Calls()[1].ToString());
  EXPECT_EQ("StartServiceA(h2, 0x0, null)", fake::Calls()[2].ToString());
}

TEST_F(StartAndWaitTest, ServiceRunningAtTheFirstQueryNeedsNoPause) {
  Register();
  EXPECT_EQ(0, StartSilently());
  EXPECT_TRUE(fake::Sleeps().empty());
  EXPECT_EQ(1, fake::CountCalls("QueryServiceStatus"));
}

TEST_F(StartAndWaitTest, FollowsEachWaitHintAsReportedUntilRunning) {
  fake::Service& service = Register();
  service.startScript = {Pending(1, 200), Pending(2, 30000), Pending(3, 0),
                         fake::Status(SERVICE_RUNNING)};
  StartAndReport();
  EXPECT_EQ("Veltrane Portmapper started.", OnlyBoxText());
  // No tenth, no cap; a hint of 0 gives no pause at all.
  EXPECT_EQ((std::vector<DWORD>{200, 30000}), fake::Sleeps());
  EXPECT_EQ(4, fake::CountCalls("QueryServiceStatus"));
}

TEST_F(StartAndWaitTest, RunningWithTheCheckpointResetCountsAsStarted) {
  fake::Service& service = Register();
  service.startScript = {Pending(5, 100), fake::Status(SERVICE_RUNNING, 0, 0)};
  EXPECT_EQ(0, StartSilently());
}

TEST_F(StartAndWaitTest, ACheckpointThatDoesNotGrowEndsAfterOneWaitHint) {
  fake::Service& service = Register();
  service.startScript = {Pending(1, 3000), Pending(1, 3000)};
  EXPECT_EQ(-1, StartSilently());
  EXPECT_EQ((std::vector<DWORD>{3000}), fake::Sleeps());

  fake::Reset();
  ResetProcessState();
  g_hInstance = GetModuleHandleA(nullptr);
  lstrcpyA(g_szServiceName, kServiceName);
  lstrcpyA(g_szCaption, kCaption);
  Register().startScript = {Pending(1, 3000), Pending(1, 3000)};
  StartAndReport();
  EXPECT_EQ("Could not start Veltrane Portmapper.", OnlyBoxText());
}

TEST_F(StartAndWaitTest, ACheckpointThatWrapsToZeroIsNoProgress) {
  fake::Service& service = Register();
  service.startScript = {Pending(0xFFFFFFFF, 10), Pending(0, 10),
                         fake::Status(SERVICE_RUNNING)};
  EXPECT_EQ(-1, StartSilently());
  EXPECT_EQ(2, fake::CountCalls("QueryServiceStatus"));
}

TEST_F(StartAndWaitTest, AServiceThatStopsWhileStartingHasNotStarted) {
  fake::Service& service = Register();
  service.startScript = {Pending(1, 50), fake::Status(SERVICE_STOPPED)};
  EXPECT_EQ(-1, StartSilently());
}

TEST_F(StartAndWaitTest, KeepsPollingForAsLongAsTheCheckpointGrows) {
  fake::Service& service = Register();
  for (DWORD cp = 1; cp <= 500; ++cp) service.startScript.push_back(Pending(cp, 1));
  service.startScript.push_back(fake::Status(SERVICE_RUNNING, 501));
  EXPECT_EQ(0, StartSilently());
  EXPECT_EQ(500u, fake::Sleeps().size());
}

TEST_F(StartAndWaitTest, AFailedFirstQueryReportsMessage50AndStops) {
  Register();
  fake::FailNext("QueryServiceStatus");
  StartAndReport();
  EXPECT_EQ(
      "Could not tell if the Veltrane Portmapper is running.\n Will try to "
      "remove it.",
      OnlyBoxText());
  EXPECT_EQ(1, fake::CountCalls("QueryServiceStatus"));
  EXPECT_EQ(0, fake::CountCalls("ControlService"));
  EXPECT_EQ(0, fake::CountCalls("DeleteService"));

  fake::Reset();
  ResetProcessState();
  lstrcpyA(g_szServiceName, kServiceName);
  Register();
  fake::FailNext("QueryServiceStatus");
  EXPECT_EQ(-1, StartSilently());
}

TEST_F(StartAndWaitTest, ALaterFailedQueryMeansNotStarted) {
  fake::Service& service = Register();
  service.startScript = {Pending(1, 10), fake::Status(SERVICE_RUNNING, 2)};
  fake::FailNext("QueryServiceStatus", 0, 1);
  StartAndReport();
  EXPECT_EQ("Could not start Veltrane Portmapper.", OnlyBoxText());
}

TEST_F(StartAndWaitTest, EveryListedStartErrorShowsItsMessage) {
  const struct {
    DWORD code;
    const char* text;
  } kCases[] = {
      {3, "The service binary file could not be found."},
      {5, "The specified database handle was not opened with SERVICE_START."},
      {6, "Sevice managers HANDLE is invalid."},
      {1053, "The SERVICE Veltrane Portmapper) did not respond to the start "
             "request in a timely fashion."},
      {1054, "The SERVICE Veltrane Portmapper) could not be created for the "
             "Win32 service."},
      {1055, "The SERVICE database is locked."},
      {1056, "The SERVICE Veltrane Portmapper) is already running."},
      {1058, "The SERVICE Veltrane Portmapper) has been disabled"},
      {1068, "The SERVICE Veltrane Portmapper) depends on another service "
             "that has failed to start."},
      {1069, "The SERVICE Veltrane Portmapper) could not be logged on."},
      {1072, "The SERVICE Veltrane Portmapper) has been marked for deletion."},
      {1075, "The SERVICE Veltrane Portmapper) depends on a service that does "
             "not exist \n or has been marked for deletion."},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("start error " + std::to_string(c.code));
    SetUp();
    Register().startError = c.code;
    StartAndReport();
    EXPECT_EQ(c.text, OnlyBoxText());
    EXPECT_EQ(0, fake::CountCalls("FormatMessageA"));
    EXPECT_EQ(0, fake::CountCalls("QueryServiceStatus"));
  }
}

TEST_F(StartAndWaitTest, AnUnlistedStartErrorShowsTheSystemText) {
  // Its code lies between listed codes but has no message of its own.
  Register().startError = ERROR_INVALID_SERVICE_ACCOUNT;
  StartAndReport();
  std::string systemText =
      fake::RealSystemText(ERROR_INVALID_SERVICE_ACCOUNT);
  ASSERT_FALSE(systemText.empty());
  EXPECT_EQ(systemText, OnlyBoxText());
  EXPECT_EQ(0, fake::LiveLocalAllocs());
}

TEST_F(StartAndWaitTest, AnUnlistedErrorWithoutSystemTextShowsMessage100) {
  Register().startError = 0x2AAA;
  fake::RemoveSystemText(0x2AAA);
  StartAndReport();
  EXPECT_EQ("FormatMessage() failed for StartService call !", OnlyBoxText());
  EXPECT_EQ(0, fake::LiveLocalAllocs());
}

TEST_F(StartAndWaitTest, TwoStartsOpenTheManagerAndServiceOnce) {
  Register();
  EXPECT_EQ(0, StartSilently());
  // The second request is refused: the service already runs.
  EXPECT_EQ(-1, StartSilently());
  EXPECT_EQ(1, fake::CountCalls("OpenSCManagerA"));
  EXPECT_EQ(1, fake::CountCalls("OpenServiceA"));
  EXPECT_EQ(2, fake::CountCalls("StartServiceA"));
  // Both handles stay open: they are the process's.
  EXPECT_EQ(2, fake::OpenServiceHandles());
  EXPECT_EQ(0, fake::CountCalls("CloseServiceHandle"));
}

TEST_F(StartAndWaitTest, AServiceThatIsNotRegisteredShowsNothing) {
  StartAndReport();
  EXPECT_TRUE(fake::MessageBoxes().empty());
  EXPECT_EQ(0, fake::CountCalls("StartServiceA"));
  EXPECT_EQ(nullptr, g_hService);
  EXPECT_EQ(-1, StartSilently());
}

TEST_F(StartAndWaitTest, AManagerThatCannotBeOpenedIsTriedAgainNextTime) {
  Register();
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(-1, StartSilently());
  EXPECT_EQ(0, fake::CountCalls("OpenServiceA"));
  EXPECT_EQ(nullptr, g_hScm);
  StartAndReport();
  EXPECT_TRUE(fake::MessageBoxes().size() == 1);
  EXPECT_EQ(2, fake::CountCalls("OpenSCManagerA"));
}

TEST_F(StartAndWaitTest, OpenServiceHandleUsesWhateverManagerHandleThereIs) {
  Register();
  // Without a manager handle the open fails; the handle is stored as null.
  EXPECT_EQ(nullptr, OpenServiceHandle(kServiceName));
  EXPECT_EQ("OpenServiceA(null, \"Veltrane Portmapper for TCP\", 0xf01ff)",
            fake::Calls().back().ToString());
  EXPECT_NE(nullptr, OpenManagerHandle());
  EXPECT_NE(nullptr, OpenServiceHandle(kServiceName));
}

}  // namespace
