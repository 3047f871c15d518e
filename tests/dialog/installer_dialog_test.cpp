// The installer dialog as a user meets it: tessardctl.exe started with an
// empty command line, driven through window messages on a real display.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dialog_driver.h"
#include "system_support.h"

namespace dialog_test {
namespace {

using systest::kTcpService;

constexpr char kCaption[] = "Veltrane Portmapper Utility";
constexpr char kSelectAction[] = "Select Install or Remove";
constexpr char kEnterLocation[] =
    "Enter the Tessard.exe location before installing.";
constexpr char kInstalledAskStart[] =
    "Veltrane Portmapper installed successfully. \n Would you like to start it.";
constexpr char kStarted[] = "Veltrane Portmapper started.";
constexpr char kRemoved[] = "Veltrane Portmapper successfully removed.";
constexpr char kNotThisService[] = "Not able to unregister. Not this service.";

// Bounds for things that should happen at once; a test fails, not hangs,
// when they do not.
constexpr DWORD kWindowTimeoutMs = 20000;
constexpr DWORD kActionTimeoutMs = 60000;

enum ControlId {
  kLocation = 1002,
  kName = 1003,
  kNameLabel = 1008,
  kLocationLabel = 1009,
  kInstall = 1010,
  kRemove = 1011,
  kStartAuto = 1012,
  kStartManual = 1013,
  kOk = 1014,
  kExit = 1015,
};


using Buttons = std::vector<int>;

class OwnDesktop : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(UseOwnDesktop(&error)) << error;
  }
};
const auto* const kOwnDesktop =
    ::testing::AddGlobalTestEnvironment(new OwnDesktop);

// Each test runs its own copy of the utility, with the stand-in server as
// tessard.exe beside it, in a folder whose path has a space in it.
class InstallerDialog : public ::testing::Test {
 protected:
  void SetUp() override { StartUtility(*directory_); }

  void TearDown() override {
    // Answer boxes left open by a failed test, then leave through Exit.
    for (HWND hBox : OpenBoxes()) AnswerAnyButton(hBox);
    if (dialog_ && IsWindow(dialog_)) PostClick(dialog_, kExit);
    DWORD exitCode = 0;
    if (!utility_.WaitForExit(kWindowTimeoutMs, &exitCode)) {
      utility_.Terminate();
    }
    // The services go when cleanup_ does, after the utility has ended: it
    // keeps its handle to a service it started open.
  }

  void StartUtility(const systest::TestDirectory& directory) {
    std::string error;
    ASSERT_TRUE(utility_.Start(directory.UtilityPath(), &error)) << error;
    dialog_ = WaitForNewDialog(utility_.Id(), kCaption, {}, kWindowTimeoutMs);
    ASSERT_NE(dialog_, nullptr) << "the installer dialog did not open";
  }

  std::vector<HWND> OpenBoxes() const {
    std::vector<HWND> boxes;
    for (HWND hWnd : TopLevelDialogs(utility_.Id(), kCaption)) {
      if (hWnd != dialog_) boxes.push_back(hWnd);
    }
    return boxes;
  }

  static void AnswerAnyButton(HWND hBox) {
    for (int id : {IDOK, IDNO, IDCANCEL, IDYES}) {
      if (GetDlgItem(hBox, id)) {
        AnswerMessageBox(hBox, id, kWindowTimeoutMs);
        return;
      }
    }
  }

  // Clicks OK and waits for the box that reports the outcome.
  HWND PressOk() {
    PostClick(dialog_, kOk);
    return WaitForNewDialog(utility_.Id(), kCaption, {dialog_},
                            kActionTimeoutMs);
  }

  // Waits for the next box after an answer has let the action go on.
  HWND NextBox() {
    return WaitForNewDialog(utility_.Id(), kCaption, {dialog_},
                            kActionTimeoutMs);
  }

  // The box shows `text` with exactly `buttons` and (no) icon; it is then
  // answered with `answer`.
  void ExpectBoxAndAnswer(HWND hBox, const std::string& text,
                          const Buttons& buttons, bool hasIcon, int answer) {
    ASSERT_NE(hBox, nullptr) << "no message box appeared; expected: " << text;
    const MessageBoxView view = ReadMessageBox(hBox);
    EXPECT_EQ(view.text, text);
    EXPECT_EQ(view.buttons, buttons);
    EXPECT_EQ(view.hasIcon, hasIcon);
    EXPECT_TRUE(AnswerMessageBox(hBox, answer, kWindowTimeoutMs));
  }

  void ExpectPlainBox(HWND hBox, const std::string& text) {
    SCOPED_TRACE("box expected: " + text);
    ExpectBoxAndAnswer(hBox, text, {IDOK}, false, IDOK);
  }

  // Install, then answer message 62's question.
  void InstallAnswering(int answer) {
    SendClick(dialog_, kInstall);
    SCOPED_TRACE("install, answering " + std::to_string(answer));
    ExpectBoxAndAnswer(PressOk(), kInstalledAskStart, {IDYES, IDNO}, true,
                       answer);
  }

  static std::string ImagePath() {
    systest::ServiceConfig config;
    return systest::QueryConfig(kTcpService, config) ? config.binaryPathName
                                                     : "<no service>";
  }

  std::string InitialLocation() const {
    return directory_->ServerCommandLine("tcp");
  }

  // Declared first: leftovers of a crashed run go before anything starts,
  // and the test's services go last.
  systest::ServiceCleanup cleanup_;
  std::unique_ptr<systest::TestDirectory> directory_ =
      std::make_unique<systest::TestDirectory>();
  UtilityProcess utility_;
  HWND dialog_ = nullptr;
};

// ---- what the dialog shows when it opens -----------------------------------

TEST_F(InstallerDialog, OpensWithItsTextsAndTheManualStartupChecked) {
  EXPECT_EQ(WindowText(dialog_), kCaption);
  EXPECT_EQ(ItemText(dialog_, kNameLabel), "Name :");
  EXPECT_EQ(ItemText(dialog_, kLocationLabel), "Location :");
  EXPECT_EQ(ItemText(dialog_, kInstall), "Install Veltrane Portmapper");
  EXPECT_EQ(ItemText(dialog_, kRemove), "Remove Veltrane Portmapper");
  EXPECT_EQ(ItemText(dialog_, kStartAuto),
            "Start automatically during system startup");
  EXPECT_EQ(ItemText(dialog_, kStartManual), "Manual startup");
  EXPECT_EQ(ItemText(dialog_, kOk), "&OK");
  EXPECT_EQ(ItemText(dialog_, kExit), "&Exit");

  EXPECT_EQ(ItemText(dialog_, kName), kTcpService);
  EXPECT_NE(ItemStyle(dialog_, kName) & ES_READONLY, 0);
  EXPECT_EQ(ItemStyle(dialog_, kLocation) & ES_READONLY, 0);
  EXPECT_EQ(ItemText(dialog_, kLocation), InitialLocation());

  EXPECT_TRUE(IsItemChecked(dialog_, kStartManual));
  EXPECT_FALSE(IsItemChecked(dialog_, kStartAuto));
  EXPECT_FALSE(IsItemChecked(dialog_, kInstall));
  EXPECT_FALSE(IsItemChecked(dialog_, kRemove));

  // Nothing has changed yet: a picture of the dialog as it opens, for a
  // person to look at, once it has painted itself.
  RedrawWindow(dialog_, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
  WindowText(dialog_);  // a round trip through the utility's message loop
  Sleep(500);
  std::string error;
  EXPECT_TRUE(SaveWindowBitmap(dialog_, DIALOG_SCREENSHOT, &error)) << error;
}

TEST_F(InstallerDialog, RadioButtonsMoveTheirCheckWithinTheirOwnGroup) {
  SendClick(dialog_, kStartAuto);
  SendClick(dialog_, kRemove);
  EXPECT_TRUE(IsItemChecked(dialog_, kStartAuto));
  EXPECT_FALSE(IsItemChecked(dialog_, kStartManual));
  EXPECT_TRUE(IsItemChecked(dialog_, kRemove));
  EXPECT_FALSE(IsItemChecked(dialog_, kInstall));
}

// ---- OK without a usable choice -------------------------------------------

TEST_F(InstallerDialog, OkBeforeChoosingAsksForInstallOrRemove) {
  ExpectPlainBox(PressOk(), kSelectAction);
  // Nothing was done, and the dialog is still there for the next try.
  EXPECT_FALSE(systest::ServiceExists(kTcpService));
  EXPECT_TRUE(IsWindow(dialog_));
  ExpectPlainBox(PressOk(), kSelectAction);
}

TEST_F(InstallerDialog, AnEmptyLocationIsAskedForOnInstallAndOnRemove) {
  SetItemText(dialog_, kLocation, "");
  SendClick(dialog_, kInstall);
  ExpectPlainBox(PressOk(), kEnterLocation);
  EXPECT_FALSE(systest::ServiceExists(kTcpService));

  SendClick(dialog_, kRemove);
  ExpectPlainBox(PressOk(), kEnterLocation);
}

// ---- install, start and remove --------------------------------------------

TEST_F(InstallerDialog, InstallAnsweredNoLeavesTheServiceRegisteredAndStopped) {
  InstallAnswering(IDNO);
  EXPECT_EQ(ImagePath(), InitialLocation());
  EXPECT_EQ(systest::ServiceState(kTcpService), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(OpenBoxes().empty()) << "no further box after No";
  // The control: the next box to come is the one that OK brings now (the
  // registration is there, so the question again), not one left over from
  // the answer.
  PostClick(dialog_, kOk);
  ExpectBoxAndAnswer(NextBox(), kInstalledAskStart, {IDYES, IDNO}, true, IDNO);
}

TEST_F(InstallerDialog, RemoveThenInstallAnsweredYesStartsTheService) {
  InstallAnswering(IDNO);

  SendClick(dialog_, kRemove);
  ExpectPlainBox(PressOk(), kRemoved);
  EXPECT_FALSE(systest::ServiceExists(kTcpService));

  // The start-up choice does not keep the question from being asked.
  SendClick(dialog_, kStartAuto);
  InstallAnswering(IDYES);
  ExpectPlainBox(NextBox(), kStarted);
  EXPECT_EQ(systest::ServiceState(kTcpService), static_cast<DWORD>(SERVICE_RUNNING));
}

// The service manager's view of the registration, from its list of services:
// listing opens no handle, so looking does not keep a removed registration.
std::string ListedRegistration() {
  const systest::ScHandle hScm(
      OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
  DWORD needed = 0;
  DWORD count = 0;
  EnumServicesStatusExA(hScm.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                        SERVICE_STATE_ALL, nullptr, 0, &needed, &count, nullptr,
                        nullptr);
  std::vector<BYTE> buffer(needed);
  if (!EnumServicesStatusExA(hScm.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                             SERVICE_STATE_ALL, buffer.data(),
                             static_cast<DWORD>(buffer.size()), &needed, &count,
                             nullptr, nullptr)) {
    return "not listed: error " + std::to_string(GetLastError());
  }
  const auto* entries =
      reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    if (lstrcmpiA(entries[i].lpServiceName, kTcpService) != 0) continue;
    const SERVICE_STATUS_PROCESS& status = entries[i].ServiceStatusProcess;
    return "state " + std::to_string(status.dwCurrentState) + " process " +
           std::to_string(status.dwProcessId);
  }
  return "absent";
}

// Install again at once after removing the service the dialog started, as a
// user clicks: the removed registration may still be there, marked for
// deletion, while its process ends. The install then fails as marked;
// otherwise the new registration must outlive the dialog and a stop.
TEST_F(InstallerDialog, InstallRightAfterRemoveFailsAsMarkedOrLasts) {
  std::string views;
  auto view = [&views](const char* step) {
    views += std::string(step) + ": " + ListedRegistration() + "; ";
  };
  InstallAnswering(IDYES);
  ExpectPlainBox(NextBox(), kStarted);
  view("started");

  SendClick(dialog_, kRemove);
  ExpectPlainBox(PressOk(), kRemoved);
  view("removed");

  SendClick(dialog_, kInstall);
  HWND hBox = PressOk();
  ASSERT_NE(hBox, nullptr) << views;
  view("installed");
  if (ReadMessageBox(hBox).text != kInstalledAskStart) {
    std::printf("outcome: marked for deletion; %s\n", views.c_str());
    ExpectPlainBox(hBox,
                   "Failed call to CreateService: " +
                       systest::SystemText(ERROR_SERVICE_MARKED_FOR_DELETE));
    // Gone while the dialog is open: it holds no handle to it.
    EXPECT_TRUE(systest::WaitUntilGone(kTcpService)) << views;
    EXPECT_EQ(directory_->LogValues("service_main").size(), 1u) << views;
    return;
  }
  // Installed: the old registration had gone, the dialog holding nothing.
  ExpectBoxAndAnswer(hBox, kInstalledAskStart, {IDYES, IDNO}, true, IDYES);
  ExpectPlainBox(NextBox(), kStarted);
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(systest::QueryStatus(kTcpService, status)) << views;
  const systest::KernelHandle process(
      OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  ASSERT_TRUE(process) << views;
  PostClick(dialog_, kExit);
  DWORD exitCode = 1;
  ASSERT_TRUE(utility_.WaitForExit(kWindowTimeoutMs, &exitCode));
  view("exit");

  // Another program stops it. A registration marked for deletion would go
  // once the service's process has ended and the manager, noticing, has
  // closed the handles that process held (within moments); this one stays.
  {
    const systest::ScHandle hScm = systest::OpenManager();
    const systest::ScHandle hService(
        OpenServiceA(hScm.Get(), kTcpService, SERVICE_STOP));
    SERVICE_STATUS stopped = {};
    ASSERT_TRUE(hService &&
                ControlService(hService.Get(), SERVICE_CONTROL_STOP, &stopped))
        << "error " << GetLastError() << "; " << views;
  }
  EXPECT_EQ(WaitForSingleObject(process.Get(), kWindowTimeoutMs),
            static_cast<DWORD>(WAIT_OBJECT_0));
  for (int i = 0; i < 10; ++i) {
    Sleep(100);
    if (ListedRegistration() == "absent") break;
  }
  view("stopped");
  std::printf("outcome: installed again; %s\n", views.c_str());
  EXPECT_EQ(ImagePath(), InitialLocation()) << views;
  EXPECT_EQ(systest::ServiceState(kTcpService),
            static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(InstallerDialog, RemoveRefusesAServiceOfTheSameNameRunningAnotherProgram) {
  const std::string otherProgram = "\"C:\\elsewhere\\tessard.exe\" tcp";
  ASSERT_TRUE(systest::RegisterService(kTcpService, otherProgram,
                                       SERVICE_DEMAND_START));

  SendClick(dialog_, kRemove);
  ExpectPlainBox(PressOk(), kNotThisService);
  EXPECT_EQ(ImagePath(), otherProgram);
}

// ---- what OK takes from the location field -----------------------------------

TEST_F(InstallerDialog, ALocationLongerThan255CharactersIsCutAtOk) {
  std::string location = InitialLocation() + " ";
  location += std::string(300 - location.size(), 'x');
  SetItemText(dialog_, kLocation, location);

  InstallAnswering(IDNO);
  EXPECT_EQ(ImagePath(), location.substr(0, 255));
}

TEST_F(InstallerDialog, ALocationOfBlanksIsPassedOnAsItIs) {
  SetItemText(dialog_, kLocation, "   ");
  InstallAnswering(IDNO);
  EXPECT_EQ(ImagePath(), "   ");
}

// ---- leaving ------------------------------------------------------------------

TEST_F(InstallerDialog, TheCloseBoxLeavesTheDialogOpen) {
  SendMessageA(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
  // The close turns into a posted IDCANCEL; a click posted after it is
  // handled after it, so once the click shows, the close has been handled.
  PostClick(dialog_, kStartAuto);
  const DWORD start = GetTickCount();
  while (!IsItemChecked(dialog_, kStartAuto) &&
         GetTickCount() - start < kWindowTimeoutMs) {
    Sleep(20);
  }
  ASSERT_TRUE(IsItemChecked(dialog_, kStartAuto));
  EXPECT_TRUE(IsWindow(dialog_));
  EXPECT_TRUE(utility_.IsRunning());
}

TEST_F(InstallerDialog, ExitEndsTheProcessWithExitCodeZero) {
  PostClick(dialog_, kExit);
  DWORD exitCode = 1;
  ASSERT_TRUE(utility_.WaitForExit(kWindowTimeoutMs, &exitCode));
  EXPECT_EQ(exitCode, 0u);
}

// ---- a utility directory too long for the location ---------------------------

// A leaf name below the test folders that makes the directory part of the
// utility's path ("\...\" without the drive) exactly `length` characters.
std::string LeafOfLength(size_t length) {
  const systest::TestDirectory root("dialog long dir");
  std::string leaf = "dialog long dir";
  size_t directory = root.Path().size() - 2 + 1;  // "Z:" off, final '\' on
  while (directory < length) {
    const size_t room = length - directory;
    // A folder name and its backslash; never leave a rest of 1.
    const size_t name = room > 120 ? 100 : room - 1;
    leaf += "\\" + std::string(name, 'd');
    directory += name + 1;
  }
  return leaf;
}

class InstallerDialogElsewhere : public InstallerDialog {
 protected:
  void SetUp() override {}  // each test makes its own directory

  void StartIn(size_t directoryLength) {
    const std::string leaf = LeafOfLength(directoryLength);
    directory_ = std::make_unique<systest::TestDirectory>(leaf);
    ASSERT_EQ(directory_->Path().size() - 2 + 1, directoryLength)
        << "the test folders lie too deep for this test";
    StartUtility(*directory_);
  }
};

TEST_F(InstallerDialogElsewhere, LocationStartsEmptyWhenItWouldNotFit) {
  // "Z:", 238 characters of directory and "tessardctl.exe" are still a whole
  // module path, but the quoted server and " tcp" need 257 bytes.
  ASSERT_NO_FATAL_FAILURE(StartIn(238));
  ASSERT_LE(directory_->UtilityPath().size(), 255u);
  ASSERT_GT(InitialLocation().size(), 255u);

  EXPECT_EQ(ItemText(dialog_, kLocation), "");
  SendClick(dialog_, kInstall);
  ExpectPlainBox(PressOk(), kEnterLocation);
  EXPECT_FALSE(systest::ServiceExists(kTcpService));
}

TEST_F(InstallerDialogElsewhere, LocationStartsEmptyWhenTheCodePageCannotHoldIt) {
  directory_ = std::make_unique<systest::TestDirectory>(
      "dialog \u041F\u0440\u043E\u0435\u043A\u0442");
  ASSERT_NO_FATAL_FAILURE(StartUtility(*directory_));

  EXPECT_EQ(ItemText(dialog_, kLocation), "");
}

TEST_F(InstallerDialogElsewhere, LocationStartsEmptyWhenTheOwnPathIsCut) {
  // 257 characters in all: more than GetModuleFileNameA's 256 bytes hold,
  // within what the file system takes.
  ASSERT_NO_FATAL_FAILURE(StartIn(241));
  ASSERT_GT(directory_->UtilityPath().size(), 255u);

  EXPECT_EQ(ItemText(dialog_, kLocation), "");
}

}  // namespace
}  // namespace dialog_test
