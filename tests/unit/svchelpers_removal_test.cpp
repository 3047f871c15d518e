// IsThisMyServiceWithModuleName and UninstallWithModuleName on the fake
// service manager and registry: the ownership test, the stop wait, deletion.
#include <string>
#include <vector>

#include "unit_support.h"

namespace unit {
namespace {

using AtServiceHelpers::IsThisMyServiceWithModuleName;
using AtServiceHelpers::UninstallWithModuleName;

constexpr const char* kName = "Veltrane Portmapper for TCP";
constexpr const char* kImage = "\"C:\\Tools\\tessard.exe\" tcp";
const std::string kKey = std::string(kServicesKey) + kName;

std::vector<std::string> Named(const std::vector<std::string>& wanted) {
  std::vector<std::string> out;
  for (const fake::Call& call : fake::Calls())
    for (const std::string& w : wanted)
      if (call.name == w) out.push_back(call.ToString());
  return out;
}

class OwnershipTest : public OperationTest {
 protected:
  HRESULT Run(const char* name, const char* module) {
    return IsThisMyServiceWithModuleName(W(name), &mine, W(module),
                                         errorText);
  }
  // Ownership with the stored image path replaced by `data` of `type`.
  HRESULT RunWithValue(DWORD type, const std::vector<BYTE>& data,
                       const char* module) {
    fake::SetValue(kKey, "ImagePath", type, data);
    return Run(kName, module);
  }
  BOOL mine = 7;
};

TEST_F(OwnershipTest, SameImagePathIgnoringCaseIsOurs) {
  fake::AddService(kName, kImage);
  EXPECT_EQ(S_OK, Run(kName, kImage));
  EXPECT_EQ(TRUE, mine);
  EXPECT_EQ(S_OK, Run(kName, "\"c:\\TOOLS\\TESSARD.EXE\" TCP"));
  EXPECT_EQ(TRUE, mine);
  EXPECT_EQ(kEarlier, Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, ReadsTheServiceKeyForReading) {
  fake::AddService(kName, kImage);
  EXPECT_EQ(S_OK, Run(kName, kImage));
  const std::vector<std::string> opens = Named({"RegOpenKeyExA"});
  ASSERT_EQ(1u, opens.size());
  const fake::Call* open = nullptr;
  for (const fake::Call& c : fake::Calls())
    if (c.name == "RegOpenKeyExA") open = &c;
  EXPECT_EQ("HKLM", open->args[0]);
  EXPECT_EQ("0x20019", open->args[3]);
  EXPECT_EQ(1, fake::CountCalls("RegCloseKey"));
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, AnotherProgramIsNotOurs) {
  fake::AddService(kName, "\"C:\\Elsewhere\\tessard.exe\" tcp");
  EXPECT_EQ(S_OK, Run(kName, kImage));
  EXPECT_EQ(FALSE, mine);
  EXPECT_EQ(kEarlier, Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, ExpandableValueIsComparedUnexpanded) {
  fake::AddService(kName, kImage);
  const std::string raw = "%SystemRoot%\\tessard.exe tcp";
  std::vector<BYTE> data(raw.begin(), raw.end());
  data.push_back(0);
  EXPECT_EQ(S_OK, RunWithValue(REG_EXPAND_SZ, data, raw.c_str()));
  EXPECT_EQ(TRUE, mine);
  EXPECT_EQ(S_OK,
            RunWithValue(REG_EXPAND_SZ, data, "C:\\windows\\tessard.exe tcp"));
  EXPECT_EQ(FALSE, mine);
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, UnusableValuesAreInvalidData) {
  fake::AddService(kName, kImage);
  const std::vector<BYTE> number = {1, 0, 0, 0};
  EXPECT_EQ(E_FAIL, RunWithValue(REG_DWORD, number, kImage));
  EXPECT_EQ(Failure(kReadKey, ERROR_INVALID_DATA), Text(errorText));
  EXPECT_EQ(FALSE, mine);

  const std::vector<BYTE> unterminated = {'a', 'b', 'c'};
  EXPECT_EQ(E_FAIL, RunWithValue(REG_SZ, unterminated, "abc"));
  EXPECT_EQ(Failure(kReadKey, ERROR_INVALID_DATA), Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, EmptyValueIsAnEmptyText) {
  fake::AddService(kName, kImage);
  EXPECT_EQ(S_OK, RunWithValue(REG_SZ, {}, ""));
  EXPECT_EQ(TRUE, mine);
  EXPECT_EQ(S_OK, RunWithValue(REG_SZ, {}, kImage));
  EXPECT_EQ(FALSE, mine);
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, ValueMustFitTheBufferWithItsNul) {
  fake::AddService(kName, kImage);
  const std::string fits(259, 'p');
  fake::SetStringValue(kKey, "ImagePath", fits);
  EXPECT_EQ(S_OK, Run(kName, fits.c_str()));
  EXPECT_EQ(TRUE, mine);

  const std::string tooLong(260, 'p');
  fake::SetStringValue(kKey, "ImagePath", tooLong);
  EXPECT_EQ(E_FAIL, Run(kName, tooLong.c_str()));
  EXPECT_EQ(Failure(kReadKey, ERROR_MORE_DATA), Text(errorText));
  EXPECT_EQ(FALSE, mine);
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, MissingKeyOrValueGivesTheRegistrysReason) {
  EXPECT_EQ(E_FAIL, Run("Nobody", kImage));
  EXPECT_EQ(Failure(kOpenKey, ERROR_FILE_NOT_FOUND), Text(errorText));

  fake::AddService(kName, kImage);
  fake::DeleteValue(kKey, "ImagePath");
  EXPECT_EQ(E_FAIL, Run(kName, kImage));
  EXPECT_EQ(Failure(kReadKey, ERROR_FILE_NOT_FOUND), Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, UnconvertibleKeyPathNeverOpensTheRoot) {
  fake::AddService(kName, kImage);
  fake::FailNext("WideCharToMultiByte");
  EXPECT_EQ(E_FAIL, Run(kName, kImage));
  EXPECT_EQ(Failure(kOpenKey, ERROR_INVALID_DATA), Text(errorText));
  EXPECT_EQ(0, fake::CountCalls("RegOpenKeyExA"));
  ExpectNothingLeft(errorText);
}

TEST_F(OwnershipTest, NullModuleNameMatchesNothing) {
  fake::AddService(kName, "");
  EXPECT_EQ(S_OK, IsThisMyServiceWithModuleName(W(kName), &mine,
                                                OwnedWideString(), errorText));
  EXPECT_EQ(FALSE, mine);
  ExpectNothingLeft(errorText);
}

class UninstallTest : public OperationTest {
 protected:
  HRESULT Run(const char* module = kImage) {
    return UninstallWithModuleName(W(kName), W(module), errorText);
  }
  fake::Service& Running() {
    fake::Service& s = fake::AddService(kName, kImage);
    s.status = fake::Status(SERVICE_RUNNING);
    return s;
  }
};

TEST_F(UninstallTest, StopsWaitsAndDeletesARunningService) {
  Running();
  EXPECT_EQ(S_OK, Run());
  EXPECT_EQ(nullptr, fake::FindService(kName));
  EXPECT_EQ((std::vector<std::string>{
                "OpenSCManagerA(null, null, 0xf003f)",
                "OpenServiceA(h4, \"Veltrane Portmapper for TCP\", 0x10024)",
                "ControlService(h5, 0x1, out)", "QueryServiceStatus(h5, out)",
                "DeleteService(h5)", "CloseServiceHandle(h5)",
                "CloseServiceHandle(h4)"}),
            [] {
              std::vector<std::string> all =
                  Named({"OpenSCManagerA", "OpenServiceA", "ControlService",
                         "QueryServiceStatus", "DeleteService",
                         "CloseServiceHandle"});
              // Past the existence check: its open, open, close, close.
              return std::vector<std::string>(all.begin() + 4, all.end());
            }());
  EXPECT_EQ(std::vector<DWORD>{100}, fake::Sleeps());
  EXPECT_EQ(kEarlier, Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, ServiceThatIsNotRunningIsDeletedAllTheSame) {
  fake::AddService(kName, kImage);  // stopped
  EXPECT_EQ(S_OK, Run());
  EXPECT_EQ(nullptr, fake::FindService(kName));
  EXPECT_EQ(1, fake::CountCalls("QueryServiceStatus"));
  EXPECT_EQ(std::vector<DWORD>{100}, fake::Sleeps());
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, ServiceThatIgnoresTheStopIsWaitedForThirtySeconds) {
  Running().ignoresStop = true;
  EXPECT_EQ(S_OK, Run());
  EXPECT_EQ(60, fake::CountCalls("QueryServiceStatus"));
  EXPECT_EQ(std::vector<DWORD>(60, 500), fake::Sleeps());
  EXPECT_EQ(1, fake::CountCalls("DeleteService"));
  EXPECT_EQ(nullptr, fake::FindService(kName));
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, FailedStatusQueryCountsAsNotYetStopped) {
  Running();
  fake::FailNext("QueryServiceStatus", ERROR_INVALID_HANDLE);
  EXPECT_EQ(S_OK, Run());
  EXPECT_EQ(2, fake::CountCalls("QueryServiceStatus"));
  EXPECT_EQ((std::vector<DWORD>{500, 100}), fake::Sleeps());
  EXPECT_EQ(nullptr, fake::FindService(kName));
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, UnregisteredNameIsNothingToDo) {
  EXPECT_EQ(S_OK, Run());
  EXPECT_EQ(kEarlier, Text(errorText));
  EXPECT_EQ(0, fake::CountCalls("RegOpenKeyExA"));
  EXPECT_EQ(0, fake::CountCalls("ControlService"));
  EXPECT_EQ(0, fake::CountCalls("DeleteService"));
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, AnotherProgramsServiceIsNeitherStoppedNorDeleted) {
  Running();
  EXPECT_EQ(E_FAIL, Run("\"D:\\other\\tessard.exe\" tcp"));
  EXPECT_EQ(kNotMine, Text(errorText));
  EXPECT_EQ(0, fake::FindService(kName)->stopRequests);
  EXPECT_FALSE(fake::FindService(kName)->markedForDelete);
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, LetterCaseOfTheImagePathDoesNotMatter) {
  Running();
  EXPECT_EQ(S_OK, Run("\"c:\\tools\\TESSARD.exe\" TCP"));
  EXPECT_EQ(nullptr, fake::FindService(kName));
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, FailuresOfTheChecksComeBackUnchanged) {
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(E_FAIL, Run());
  EXPECT_EQ(Failure(kOpenScm, ERROR_ACCESS_DENIED), Text(errorText));

  Running();
  fake::DeleteValue(kKey, "ImagePath");
  EXPECT_EQ(E_FAIL, Run());
  EXPECT_EQ(Failure(kReadKey, ERROR_FILE_NOT_FOUND), Text(errorText));
  EXPECT_EQ(0, fake::FindService(kName)->stopRequests);
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, ManagerCallFailuresGiveTheirTexts) {
  struct Case {
    const char* function;
    int skip;
    DWORD error;
    const char* prefix;
  };
  const Case cases[] = {
      {"OpenSCManagerA", 1, ERROR_ACCESS_DENIED, kOpenScm},
      {"OpenServiceA", 1, ERROR_ACCESS_DENIED, kOpenService},
      {"DeleteService", 0, ERROR_ACCESS_DENIED, kDelete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    fake::Reset();
    OwnedWideString text(kEarlier);
    Running();
    fake::FailNext(c.function, c.error, c.skip);
    EXPECT_EQ(E_FAIL, UninstallWithModuleName(W(kName), W(kImage), text));
    EXPECT_EQ(Failure(c.prefix, c.error), Text(text));
    EXPECT_NE(nullptr, fake::FindService(kName));
    ExpectNothingLeft(text);
  }
}

TEST_F(UninstallTest, RefusedStopEndsBeforeTheWait) {
  Running().stopError = ERROR_DEPENDENT_SERVICES_RUNNING;
  EXPECT_EQ(E_FAIL, Run());
  EXPECT_EQ(Failure(kControl, ERROR_DEPENDENT_SERVICES_RUNNING),
            Text(errorText));
  EXPECT_EQ(0, fake::CountCalls("QueryServiceStatus"));
  EXPECT_EQ(0, fake::CountCalls("DeleteService"));
  EXPECT_TRUE(fake::Sleeps().empty());
  ExpectNothingLeft(errorText);
}

TEST_F(UninstallTest, ExceptionGivesItsOwnTextAndReleasesEverything) {
  Running();
  OwnedWideString name(kName), module(kImage);
  fake::ClearFailures();
  fake::FailAllocation(1);  // the copy of the name for the existence check
  EXPECT_EQ(E_UNEXPECTED,
            UninstallWithModuleName(std::move(name), std::move(module),
                                    errorText));
  EXPECT_EQ(CaughtIn("UninstallWithModuleName"), Text(errorText));
  EXPECT_NE(nullptr, fake::FindService(kName));
  ExpectNothingLeft(errorText);
}

}  // namespace
}  // namespace unit
