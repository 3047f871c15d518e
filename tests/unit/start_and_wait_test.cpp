// Start-and-wait on the fake service manager: the poll, the outcomes, the
// messages, and the two handles kept for the life of the process.
#include "start_and_wait.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit_support.h"

namespace {

using unit::kCaption;
constexpr const char* kServiceName = unit::kTcpName;
constexpr char kStarted[] = "Veltrane Portmapper started.";
constexpr char kNotStarted[] = "Could not start Veltrane Portmapper.";

class StartAndWaitTest : public unit::ProcessTest {
 protected:
  void SetUp() override {
    ProcessTest::SetUp();
    lstrcpyA(g_szServiceName, kServiceName);
  }

  fake::Service& Register() {
    return fake::AddService(kServiceName, "\"C:\\Tools\\tessard.exe\" tcp");
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

// The same start in the silent form (its result, and no box) and in the
// reporting form (its one box).
class BothForms : public StartAndWaitTest,
                  public ::testing::WithParamInterface<bool> {
 protected:
  void ExpectOutcome(int silentResult, const std::string& message) {
    if (GetParam()) {
      StartAndReport();
      EXPECT_EQ(message, OnlyBoxText());
    } else {
      EXPECT_EQ(silentResult, StartSilently());
      EXPECT_TRUE(fake::MessageBoxes().empty());
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Forms, BothForms, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Reporting" : "Silent";
                         });

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

TEST_P(BothForms, FollowsEachWaitHintAsReportedUntilRunning) {
  fake::Service& service = Register();
  service.startScript = {Pending(1, 200), Pending(2, 30000), Pending(3, 0),
                         fake::Status(SERVICE_RUNNING)};
  ExpectOutcome(0, kStarted);
  // No tenth, no cap; a hint of 0 gives no pause at all.
  EXPECT_EQ((std::vector<DWORD>{200, 30000}), fake::Sleeps());
  EXPECT_EQ(4, fake::CountCalls("QueryServiceStatus"));
}

TEST_F(StartAndWaitTest, RunningWithTheCheckpointResetCountsAsStarted) {
  fake::Service& service = Register();
  service.startScript = {Pending(5, 100), fake::Status(SERVICE_RUNNING, 0, 0)};
  EXPECT_EQ(0, StartSilently());
}

TEST_P(BothForms, ACheckpointThatDoesNotGrowEndsAfterOneWaitHint) {
  Register().startScript = {Pending(1, 3000), Pending(1, 3000)};
  ExpectOutcome(-1, kNotStarted);
  EXPECT_EQ((std::vector<DWORD>{3000}), fake::Sleeps());
}

TEST_F(StartAndWaitTest, ACheckpointThatWrapsToZeroIsNoProgress) {
  fake::Service& service = Register();
  service.startScript = {Pending(0xFFFFFFFF, 10), Pending(0, 10),
                         fake::Status(SERVICE_RUNNING)};
  EXPECT_EQ(-1, StartSilently());
  EXPECT_EQ(2, fake::CountCalls("QueryServiceStatus"));
}

TEST_P(BothForms, AServiceThatStopsWhileStartingHasNotStarted) {
  Register().startScript = {Pending(1, 50), fake::Status(SERVICE_STOPPED)};
  ExpectOutcome(-1, kNotStarted);
}

TEST_F(StartAndWaitTest, KeepsPollingForAsLongAsTheCheckpointGrows) {
  fake::Service& service = Register();
  for (DWORD cp = 1; cp <= 500; ++cp)
    service.startScript.push_back(Pending(cp, 1));
  service.startScript.push_back(fake::Status(SERVICE_RUNNING, 501));
  EXPECT_EQ(0, StartSilently());
  EXPECT_EQ(500u, fake::Sleeps().size());
}

TEST_P(BothForms, AFailedFirstQueryReportsMessage50AndStops) {
  const fake::Service& service = Register();
  fake::FailNext("QueryServiceStatus");
  ExpectOutcome(-1,
                "Could not tell if the Veltrane Portmapper is running.\n Will "
                "try to remove it.");
  EXPECT_EQ(1, fake::CountCalls("QueryServiceStatus"));
  EXPECT_EQ(0, service.stopRequests);  // message 50 notwithstanding
  EXPECT_FALSE(service.markedForDelete);
}

TEST_P(BothForms, ALaterFailedQueryMeansNotStarted) {
  Register().startScript = {Pending(1, 10), fake::Status(SERVICE_RUNNING, 2)};
  fake::FailNext("QueryServiceStatus", 0, 1);
  ExpectOutcome(-1, kNotStarted);
}

TEST_F(StartAndWaitTest, EveryListedStartErrorShowsItsMessage) {
  const struct {
    DWORD code;
    const char* text;
  } kCases[] = {
      {ERROR_PATH_NOT_FOUND, "The service binary file could not be found."},
      {ERROR_ACCESS_DENIED,
       "The specified database handle was not opened with SERVICE_START."},
      {ERROR_INVALID_HANDLE, "Sevice managers HANDLE is invalid."},
      {ERROR_SERVICE_REQUEST_TIMEOUT,
       "The SERVICE Veltrane Portmapper) did not respond to the start "
       "request in a timely fashion."},
      {ERROR_SERVICE_NO_THREAD,
       "The SERVICE Veltrane Portmapper) could not be created for the "
       "Win32 service."},
      {ERROR_SERVICE_DATABASE_LOCKED, "The SERVICE database is locked."},
      {ERROR_SERVICE_ALREADY_RUNNING,
       "The SERVICE Veltrane Portmapper) is already running."},
      {ERROR_SERVICE_DISABLED,
       "The SERVICE Veltrane Portmapper) has been disabled"},
      {ERROR_SERVICE_DEPENDENCY_FAIL,
       "The SERVICE Veltrane Portmapper) depends on another service "
       "that has failed to start."},
      {ERROR_SERVICE_LOGON_FAILED,
       "The SERVICE Veltrane Portmapper) could not be logged on."},
      {ERROR_SERVICE_MARKED_FOR_DELETE,
       "The SERVICE Veltrane Portmapper) has been marked for deletion."},
      {ERROR_SERVICE_DEPENDENCY_DELETED,
       "The SERVICE Veltrane Portmapper) depends on a service that does "
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
  std::string systemText = fake::RealSystemText(ERROR_INVALID_SERVICE_ACCOUNT);
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
