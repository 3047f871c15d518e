// The install and remove actions and their adapters on the fake: the values
// handed to the helper library, the copy of the error text, the message
// boxes, and what happens when memory runs out.
#include "install_actions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "action_guard.h"
#include "install_adapters.h"
#include "unit_support.h"

namespace {

using unit::kCaption;
constexpr const char* kServiceName = unit::kTcpName;
constexpr char kCommandLine[] = "\"C:\\Tools\\tessard.exe\" tcp";
constexpr char kAskStart[] =
    "Veltrane Portmapper installed successfully. \n Would you like to start "
    "it.";

// ---- the copy of the error text ------------------------------------------

struct Copied {
  int result;
  DWORD length;
  std::string buffer;  // all 1024 bytes
};

Copied Copy(HRESULT hr, const std::wstring& text) {
  Copied c{};
  c.buffer.assign(1024, '\x7f');
  c.buffer[0] = '\0';  // as the adapters leave it before the call
  c.length = 1023;
  c.result = TakeHelperOutcome(hr, text.empty() ? nullptr : text.c_str(),
                               static_cast<UINT>(text.size()), &c.buffer[0],
                               &c.length);
  return c;
}

TEST(TakeHelperOutcome, SuccessLeavesAnEmptyBufferAndLengthZero) {
  Copied c = Copy(S_OK, L"stale text from an earlier failure");
  EXPECT_EQ(0, c.result);
  EXPECT_EQ(0u, c.length);
  EXPECT_EQ('\0', c.buffer[0]);
  EXPECT_EQ(0, Copy(S_FALSE, L"").result);
}

TEST(TakeHelperOutcome, AFailureWithoutTextGivesOneAndLengthZero) {
  Copied c = Copy(E_FAIL, L"");
  EXPECT_EQ(1, c.result);
  EXPECT_EQ(0u, c.length);
  EXPECT_EQ('\0', c.buffer[0]);
}

TEST(TakeHelperOutcome, ALongTextIsCutTo1023CharactersAndTerminated) {
  std::wstring text;
  for (int i = 0; i < 2000; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
  Copied c = Copy(E_FAIL, text);
  EXPECT_EQ(1, c.result);
  EXPECT_EQ(1023u, c.length);
  EXPECT_EQ('\0', c.buffer[1023]);
  for (int i = 0; i < 1023; ++i) {
    ASSERT_EQ(static_cast<char>('a' + i % 26), c.buffer[i]) << "at " << i;
  }
}

TEST(TakeHelperOutcome, TheLengthOnEntryBoundsTheCopy) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  DWORD length = 4;
  EXPECT_EQ(1, TakeHelperOutcome(E_FAIL, L"abcdefgh", 8, buffer, &length));
  EXPECT_EQ(4u, length);
  EXPECT_STREQ("abcd", buffer);
  EXPECT_EQ('x', buffer[5]);  // nothing past length on entry + 1
}

TEST(TakeHelperOutcome, CharactersUpTo255ArriveAsTheirOwnByte) {
  std::wstring text = L"caf\u00e9 \u00ff\u0001";
  Copied c = Copy(E_FAIL, text);
  EXPECT_EQ(7u, c.length);
  EXPECT_EQ(static_cast<char>(233), c.buffer[3]);
  EXPECT_EQ(static_cast<char>(255), c.buffer[5]);
  EXPECT_EQ('\x01', c.buffer[6]);
  EXPECT_EQ('\0', c.buffer[7]);
}

TEST(TakeHelperOutcome, ACharacterAbove255EndsTheCopyAndTheRestIsZero) {
  Copied c = Copy(E_FAIL, L"ab\u0416cdef");
  EXPECT_EQ(1, c.result);
  EXPECT_EQ(7u, c.length);
  EXPECT_EQ("ab", std::string(c.buffer.c_str()));
  for (int i = 2; i <= 7; ++i) EXPECT_EQ('\0', c.buffer[i]) << "at " << i;
  EXPECT_EQ('\x7f', c.buffer[8]);
}

// ---- the actions -----------------------------------------------------------

class InstallActionsTest : public unit::ProcessTest {
 protected:
  void SetUp() override {
    ProcessTest::SetUp();
    lstrcpyA(g_szServiceName, kServiceName);
    lstrcpyA(g_szServerCommandLine, kCommandLine);
  }

  static const fake::MessageBoxRecord& Box(size_t i) {
    static const fake::MessageBoxRecord kNone{nullptr, "<no box>", "", 0};
    const auto& boxes = fake::MessageBoxes();
    return i < boxes.size() ? boxes[i] : kNone;
  }

  static void ExpectNothingLeftOpen() {
    unit::ExpectNothingLeftButTheProcessHandles();
  }
};

TEST_F(InstallActionsTest, InstallPassesTheServiceNameTwiceAndNoAccount) {
  EXPECT_EQ(0, InstallSilently(kServiceName, kCommandLine));
  const fake::Service* service = fake::FindService(kServiceName);
  ASSERT_NE(nullptr, service);
  EXPECT_EQ(kServiceName, service->displayName);
  EXPECT_EQ(kCommandLine, service->imagePath);
  EXPECT_FALSE(service->accountGiven);
  EXPECT_FALSE(service->passwordGiven);
  // An empty description writes nothing.
  EXPECT_FALSE(fake::GetValue(std::string(unit::kServicesKey) + kServiceName,
                              "Description", nullptr, nullptr));
  ExpectNothingLeftOpen();
}

TEST_F(InstallActionsTest, SilentInstallWithTheStartModeManualStartsNothing) {
  g_nStartMode = kStartManual;
  EXPECT_EQ(0, InstallSilently(kServiceName, kCommandLine));
  EXPECT_EQ(0, fake::FindService(kServiceName)->startRequests);
}

TEST_F(InstallActionsTest, SilentInstallWithTheStartModeAutomaticStarts) {
  g_nStartMode = kStartAutomatic;
  EXPECT_EQ(0, InstallSilently(kServiceName, kCommandLine));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            fake::FindService(kServiceName)->status.dwCurrentState);
}

TEST_F(InstallActionsTest, SilentInstallWhoseStartFailsKeepsTheRegistration) {
  g_nStartMode = kStartAutomatic;
  fake::Service& existing = fake::AddService(kServiceName, kCommandLine);
  existing.startScript = {fake::Status(SERVICE_START_PENDING, 1, 100),
                          fake::Status(SERVICE_START_PENDING, 1, 100)};
  EXPECT_EQ(-1, InstallSilently(kServiceName, kCommandLine));
  EXPECT_NE(nullptr, fake::FindService(kServiceName));
  EXPECT_FALSE(fake::FindService(kServiceName)->markedForDelete);
}

TEST_F(InstallActionsTest, InstallOverAnExistingServiceChangesNothing) {
  fake::Service& existing =
      fake::AddService(kServiceName, "\"D:\\Other\\server.exe\" tcp");
  existing.startType = SERVICE_DISABLED;
  EXPECT_EQ(0, InstallSilently(kServiceName, kCommandLine));
  EXPECT_EQ("\"D:\\Other\\server.exe\" tcp", existing.imagePath);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_DISABLED), existing.startType);
}

TEST_F(InstallActionsTest, ReportingInstallAsksWhetherToStart) {
  fake::QueueMessageBoxAnswer(IDYES);
  InstallAndReport(kServiceName, kCommandLine);
  ASSERT_EQ(2u, fake::MessageBoxes().size());
  EXPECT_EQ(kAskStart, Box(0).text);
  EXPECT_EQ(kCaption, Box(0).caption);
  EXPECT_EQ(nullptr, Box(0).owner);
  EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONQUESTION), Box(0).type);
  EXPECT_EQ("Veltrane Portmapper started.", Box(1).text);
  EXPECT_EQ(static_cast<UINT>(MB_OK), Box(1).type);
}

TEST_F(InstallActionsTest, AnsweringNoMakesNoStartRequest) {
  // The dialog asks whatever start mode was chosen.
  g_nStartMode = kStartAutomatic;
  fake::QueueMessageBoxAnswer(IDNO);
  InstallAndReport(kServiceName, kCommandLine);
  EXPECT_EQ(1u, fake::MessageBoxes().size());
  ASSERT_NE(nullptr, fake::FindService(kServiceName));
  EXPECT_EQ(0, fake::FindService(kServiceName)->startRequests);
  ExpectNothingLeftOpen();
}

TEST_F(InstallActionsTest, AFailedReportingInstallShowsTheLibrarysErrorText) {
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  InstallAndReport(kServiceName, kCommandLine);
  ASSERT_EQ(1u, fake::MessageBoxes().size());
  EXPECT_EQ(unit::Failure(unit::kOpenScm, ERROR_ACCESS_DENIED), Box(0).text);
  EXPECT_EQ(static_cast<UINT>(MB_OK), Box(0).type);
}

TEST_F(InstallActionsTest, AFailedSilentInstallShowsNothing) {
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(-1, InstallSilently(kServiceName, kCommandLine));
  EXPECT_TRUE(fake::MessageBoxes().empty());
}

TEST_F(InstallActionsTest, AnErrorTextOf2000CharactersShowsIts1023First) {
  std::string longText(2000, 'q');
  fake::SetSystemText(ERROR_ACCESS_DENIED, longText);
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  InstallAndReport(kServiceName, kCommandLine);
  std::string expected =
      ("Failed call to OpenSCManager: " + longText).substr(0, 1023);
  EXPECT_EQ(expected, Box(0).text);
}

TEST_F(InstallActionsTest, RemoveReportsSuccessAndRemovesTheService) {
  fake::AddService(kServiceName, kCommandLine).status.dwCurrentState =
      SERVICE_RUNNING;
  RemoveAndReport(kServiceName);
  EXPECT_EQ("Veltrane Portmapper successfully removed.", Box(0).text);
  EXPECT_EQ(static_cast<UINT>(MB_OK), Box(0).type);
  EXPECT_EQ(nullptr, fake::FindService(kServiceName));
  ExpectNothingLeftOpen();
}

TEST_F(InstallActionsTest, RemoveMatchesTheServerCommandLineInAnyCase) {
  fake::AddService(kServiceName, "\"C:\\TOOLS\\Tessard.exe\" TCP");
  EXPECT_EQ(0, RemoveSilently(kServiceName));
  EXPECT_EQ(nullptr, fake::FindService(kServiceName));
}

TEST_F(InstallActionsTest, RemoveRefusesAnotherProgramsService) {
  const fake::Service& other =
      fake::AddService(kServiceName, "\"D:\\Other\\server.exe\" tcp");
  EXPECT_EQ(-1, RemoveSilently(kServiceName));
  RemoveAndReport(kServiceName);
  EXPECT_EQ(unit::kNotMine, Box(0).text);
  EXPECT_EQ(0, other.stopRequests);
  EXPECT_FALSE(other.markedForDelete);
}

TEST_F(InstallActionsTest, RemovingWhatIsNotRegisteredSucceeds) {
  EXPECT_EQ(0, RemoveSilently(kServiceName));
  RemoveAndReport(kServiceName);
  EXPECT_EQ("Veltrane Portmapper successfully removed.", Box(0).text);
}

TEST_F(InstallActionsTest, RunningOutOfMemoryInAnAdapterThrowsAndLeaksNothing) {
  fake::FailAllocation(1);
  EXPECT_THROW(InstallSilently(kServiceName, kCommandLine),
               AtServiceHelpers::CAtlException);
  ExpectNothingLeftOpen();
  EXPECT_EQ(nullptr, fake::FindService(kServiceName));
}

TEST_F(InstallActionsTest, TheGuardTurnsAnExceptionIntoItsSystemText) {
  // Every allocation in turn: the guard either lets the action finish or
  // shows the text of E_OUTOFMEMORY; nothing leaks either way.
  for (int n = 1; n < 100; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    SetUp();
    fake::FailAllocation(n);
    fake::QueueMessageBoxAnswer(IDNO);
    RunReportingAction([] { InstallAndReport(kServiceName, kCommandLine); });
    ExpectNothingLeftOpen();
    ASSERT_FALSE(fake::MessageBoxes().empty());
    const std::string& text = fake::MessageBoxes().back().text;
    if (fake::AllocationCount() < n) break;  // the action ran to its end
    bool outOfMemory = text == fake::RealSystemText(E_OUTOFMEMORY);
    bool libraryText =
        text.rfind("Exception caught in AtServiceHelpers::", 0) == 0;
    bool installed = text == kAskStart;
    EXPECT_TRUE(outOfMemory || libraryText || installed) << text;
  }
}

TEST_F(InstallActionsTest, TheSilentGuardTurnsAnExceptionIntoMinusOne) {
  fake::FailAllocation(1);
  EXPECT_EQ(-1, RunSilentAction([] { return RemoveSilently(kServiceName); }));
  ExpectNothingLeftOpen();
}

}  // namespace
