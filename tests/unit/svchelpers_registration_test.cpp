// IsInstalled, InstallWithModuleName and SetDescription on the fake service
// manager and registry: what they register and each way they fail.
#include <string>
#include <vector>

#include "unit_support.h"

namespace unit {
namespace {

using AtServiceHelpers::InstallWithModuleName;
using AtServiceHelpers::IsInstalled;
using AtServiceHelpers::SetDescription;

constexpr const char* kName = "Veltrane Portmapper for TCP";
constexpr const char* kImage = "C:/Tools/tessard.exe tcp";

std::vector<std::string> ServiceManagerCalls() {
  std::vector<std::string> calls;
  for (const fake::Call& call : fake::Calls()) {
    if (call.name.find("Service") != std::string::npos ||
        call.name == "OpenSCManagerA")
      calls.push_back(call.ToString());
  }
  return calls;
}

const fake::Call* FindCall(const std::string& name) {
  for (const fake::Call& call : fake::Calls())
    if (call.name == name) return &call;
  return nullptr;
}

std::string DescriptionOf(const std::string& service) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!fake::GetValue(kServicesKey + service, "Description", &type, &data))
    return "<none>";
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  return std::string(data.begin(), data.end());
}

class IsInstalledTest : public OperationTest {
 protected:
  HRESULT Run(const char* name) {
    return IsInstalled(W(name), &installed, errorText);
  }
  BOOL installed = 7;
};

TEST_F(IsInstalledTest, FindsARegisteredServiceAndClosesBothHandles) {
  fake::AddService(kName, kImage);
  EXPECT_EQ(S_OK, Run(kName));
  EXPECT_EQ(TRUE, installed);
  EXPECT_EQ((std::vector<std::string>{
                "OpenSCManagerA(null, null, 0xf003f)",
                "OpenServiceA(h1, \"Veltrane Portmapper for TCP\", 0x1)",
                "CloseServiceHandle(h2)", "CloseServiceHandle(h1)"}),
            ServiceManagerCalls());
  EXPECT_EQ(kEarlier, Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(IsInstalledTest, UnknownNameIsNoFailureAndLeavesTheText) {
  EXPECT_EQ(S_OK, Run("Nobody"));
  EXPECT_EQ(FALSE, installed);
  EXPECT_EQ(kEarlier, Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(IsInstalledTest, RefusedManagerGivesItsTextAndTheSystemsReason) {
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(E_FAIL, Run(kName));
  EXPECT_EQ(FALSE, installed);
  EXPECT_EQ(Failure(kOpenScm, ERROR_ACCESS_DENIED), Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(IsInstalledTest, ServiceThatMayNotBeOpenedIsAFailure) {
  fake::AddService(kName, kImage);
  fake::FailNext("OpenServiceA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(E_FAIL, Run(kName));
  EXPECT_EQ(FALSE, installed);
  EXPECT_EQ(Failure(kOpenService, ERROR_ACCESS_DENIED), Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(IsInstalledTest, CodeWithoutSystemTextShowsItsHresult) {
  fake::RemoveSystemText(ERROR_ACCESS_DENIED);
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(E_FAIL, Run(kName));
  EXPECT_EQ(std::string(kOpenScm) + "0x80070005", Text(errorText));
  ExpectNothingLeft(errorText);
}

class InstallTest : public OperationTest {
 protected:
  HRESULT Install(const char* name, const char* display, const char* desc,
                  const char* account, const char* password,
                  const char* image) {
    return InstallWithModuleName(W(name), W(display), W(desc), W(account),
                                 W(password), W(image), errorText);
  }
};

TEST_F(InstallTest, RegistersAnAutoStartOwnProcessServiceOnRpcss) {
  EXPECT_EQ(S_OK, Install(kName, "Shown", "", "", "", kImage));
  const fake::Service* service = fake::FindService(kName);
  ASSERT_NE(nullptr, service);
  EXPECT_EQ("Shown", service->displayName);
  EXPECT_EQ(kImage, service->imagePath);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS),
            service->serviceType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service->startType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), service->errorControl);
  EXPECT_EQ(std::vector<std::string>{"RPCSS"}, service->dependencies);
  EXPECT_FALSE(service->accountGiven);  // local system account
  EXPECT_FALSE(service->passwordGiven);

  const fake::Call* create = FindCall("CreateServiceA");
  ASSERT_NE(nullptr, create);
  EXPECT_EQ((std::vector<std::string>{
                "h2", "\"Veltrane Portmapper for TCP\"", "\"Shown\"",
                "0xf01ff", "0x10", "0x2", "0x1",
                "\"C:/Tools/tessard.exe tcp\"", "null", "null",
                "{\"RPCSS\"}", "null", "null"}),
            create->args);
  // The description was empty: the registry was not touched.
  EXPECT_EQ(0, fake::CountCalls("RegOpenKeyExA"));
  EXPECT_EQ("<none>", DescriptionOf(kName));
  EXPECT_EQ(kEarlier, Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(InstallTest, OpensTheManagerTwiceAndClosesEverythingInOrder) {
  EXPECT_EQ(S_OK, Install(kName, kName, "", "", "", kImage));
  EXPECT_EQ((std::vector<std::string>{"OpenSCManagerA", "OpenServiceA",
                                      "CloseServiceHandle", "OpenSCManagerA",
                                      "CreateServiceA", "CloseServiceHandle",
                                      "CloseServiceHandle"}),
            [] {
              std::vector<std::string> names;
              for (const fake::Call& c : fake::Calls())
                if (c.name.find("Service") != std::string::npos ||
                    c.name == "OpenSCManagerA")
                  names.push_back(c.name);
              return names;
            }());
  const std::vector<std::string> calls = ServiceManagerCalls();
  EXPECT_EQ("CloseServiceHandle(h3)", calls[5]);  // the new service first
  EXPECT_EQ("CloseServiceHandle(h2)", calls[6]);
  ExpectNothingLeft(errorText);
}

TEST_F(InstallTest, WritesTheDescriptionWithItsNul) {
  EXPECT_EQ(S_OK, Install(kName, kName, "Maps ports.", "", "", kImage));
  EXPECT_EQ(std::string("Maps ports.", 12), DescriptionOf(kName));
  ExpectNothingLeft(errorText);
}

TEST_F(InstallTest, PassesAnAccountAndAPasswordOnlyWhenGiven) {
  EXPECT_EQ(S_OK, Install("A", "A", "", "svcuser", "secret", kImage));
  const fake::Service* a = fake::FindService("A");
  ASSERT_NE(nullptr, a);
  EXPECT_TRUE(a->accountGiven);
  EXPECT_EQ("svcuser", a->account);
  EXPECT_TRUE(a->passwordGiven);
  EXPECT_EQ("secret", a->password);

  EXPECT_EQ(S_OK, Install("B", "B", "", "svcuser", "", kImage));
  const fake::Service* b = fake::FindService("B");
  ASSERT_NE(nullptr, b);
  EXPECT_TRUE(b->accountGiven);
  EXPECT_FALSE(b->passwordGiven);  // empty password: null
  ExpectNothingLeft(errorText);
}

TEST_F(InstallTest, LeavesAnExistingServiceAsItIs) {
  fake::Service& existing = fake::AddService(kName, "C:/other.exe");
  existing.startType = SERVICE_DEMAND_START;
  EXPECT_EQ(S_OK, Install(kName, kName, "New text", "", "", kImage));
  EXPECT_EQ("C:/other.exe", fake::FindService(kName)->imagePath);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START),
            fake::FindService(kName)->startType);
  EXPECT_EQ("<none>", DescriptionOf(kName));
  EXPECT_EQ(kEarlier, Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(InstallTest, ExistenceCheckFailureComesBackUnchanged) {
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(E_FAIL, Install(kName, kName, "", "", "", kImage));
  EXPECT_EQ(Failure(kOpenScm, ERROR_ACCESS_DENIED), Text(errorText));
  EXPECT_EQ(0, fake::CountCalls("CreateServiceA"));
  ExpectNothingLeft(errorText);
}

TEST_F(InstallTest, SecondManagerRefusedCreatesNothing) {
  fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(E_FAIL, Install(kName, kName, "", "", "", kImage));
  EXPECT_EQ(Failure(kOpenScm, ERROR_ACCESS_DENIED), Text(errorText));
  EXPECT_EQ(nullptr, fake::FindService(kName));
  ExpectNothingLeft(errorText);
}

TEST_F(InstallTest, RefusedCreationGivesTheManagersReason) {
  fake::AddService("Other", kImage).displayName = "Taken";
  EXPECT_EQ(E_FAIL, Install(kName, "Taken", "", "", "", kImage));
  EXPECT_EQ(Failure(kCreate, ERROR_DUPLICATE_SERVICE_NAME), Text(errorText));
  EXPECT_EQ(nullptr, fake::FindService(kName));
  ExpectNothingLeft(errorText);
}

TEST_F(InstallTest, DescriptionFailureKeepsTheNewService) {
  fake::FailNext("RegSetValueExA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(E_FAIL, Install(kName, kName, "Maps ports.", "", "", kImage));
  EXPECT_EQ(Failure(kWriteKey, ERROR_ACCESS_DENIED), Text(errorText));
  EXPECT_NE(nullptr, fake::FindService(kName));
  ExpectNothingLeft(errorText);
}

// An account that cannot be converted must not turn into "no account",
// which would run the service as the local system account.
TEST_F(InstallTest, UnconvertibleAccountIsRefusedNotDropped) {
  // Narrow copies: the existence check's name, then the account.
  fake::FailNext("WideCharToMultiByte", 0, 1);
  EXPECT_EQ(E_FAIL, Install(kName, kName, "", "svcuser", "", kImage));
  EXPECT_EQ(Failure(kCreate, ERROR_INVALID_DATA), Text(errorText));
  EXPECT_EQ(0, fake::CountCalls("CreateServiceA"));
  EXPECT_EQ(nullptr, fake::FindService(kName));
  ExpectNothingLeft(errorText);
}

class SetDescriptionTest : public OperationTest {
 protected:
  HRESULT Run(const char* name, const char* description) {
    return SetDescription(W(name), W(description), errorText);
  }
};

TEST_F(SetDescriptionTest, WritesUnderTheServicesOwnKeyForWriting) {
  fake::AddService("Svc", kImage);
  EXPECT_EQ(S_OK, Run("Svc", "Maps ports."));
  EXPECT_EQ(std::string("Maps ports.", 12), DescriptionOf("Svc"));
  const fake::Call* open = FindCall("RegOpenKeyExA");
  ASSERT_NE(nullptr, open);
  EXPECT_EQ("HKLM", open->args[0]);
  EXPECT_EQ("0x0", open->args[2]);
  EXPECT_EQ("0x20006", open->args[3]);
  const fake::Call* set = FindCall("RegSetValueExA");
  ASSERT_NE(nullptr, set);
  EXPECT_EQ("\"Description\"", set->args[1]);
  EXPECT_EQ("0x1", set->args[3]);
  EXPECT_EQ("0xc", set->args[5]);  // length + 1
  EXPECT_EQ(kEarlier, Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(SetDescriptionTest, EmptyDescriptionTouchesNoKey) {
  fake::AddService("Svc", kImage);
  EXPECT_EQ(S_OK, Run("Svc", ""));
  EXPECT_EQ(S_OK, SetDescription(W("Svc"), OwnedWideString(), errorText));
  EXPECT_EQ(0, fake::CountCalls("RegOpenKeyExA"));
  ExpectNothingLeft(errorText);
}

TEST_F(SetDescriptionTest, MissingKeyGivesTheRegistrysReason) {
  EXPECT_EQ(E_FAIL, Run("Nobody", "Text"));
  EXPECT_EQ(Failure(kOpenKey, ERROR_FILE_NOT_FOUND), Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(SetDescriptionTest, EmptyNameOpensNoKeyAtAll) {
  fake::AddKey("System\\CurrentControlSet\\Services");
  EXPECT_EQ(E_FAIL, Run("", "Text"));
  EXPECT_EQ(Failure(kOpenKey, ERROR_INVALID_DATA), Text(errorText));
  EXPECT_EQ(0, fake::CountCalls("RegOpenKeyExA"));
  DWORD type = 0;
  std::vector<BYTE> data;
  EXPECT_FALSE(fake::GetValue("System\\CurrentControlSet\\Services",
                              "Description", &type, &data));
  ExpectNothingLeft(errorText);
}

TEST_F(SetDescriptionTest, UnconvertibleKeyPathOpensNoKey) {
  fake::AddService("Svc", kImage);
  fake::FailNext("WideCharToMultiByte");
  EXPECT_EQ(E_FAIL, Run("Svc", "Text"));
  EXPECT_EQ(Failure(kOpenKey, ERROR_INVALID_DATA), Text(errorText));
  EXPECT_EQ(0, fake::CountCalls("RegOpenKeyExA"));
  ExpectNothingLeft(errorText);
}

TEST_F(SetDescriptionTest, UnconvertibleDescriptionIsInvalidData) {
  fake::AddService("Svc", kImage);
  fake::FailNext("WideCharToMultiByte", 0, 1);  // after the key path
  EXPECT_EQ(E_FAIL, Run("Svc", "Text"));
  EXPECT_EQ(Failure(kWriteKey, ERROR_INVALID_DATA), Text(errorText));
  EXPECT_EQ(0, fake::CountCalls("RegSetValueExA"));
  EXPECT_EQ("<none>", DescriptionOf("Svc"));
  ExpectNothingLeft(errorText);  // the key was closed
}

TEST_F(SetDescriptionTest, RefusedWriteGivesTheRegistrysReason) {
  fake::AddService("Svc", kImage);
  fake::FailNext("RegSetValueExA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(E_FAIL, Run("Svc", "Text"));
  EXPECT_EQ(Failure(kWriteKey, ERROR_ACCESS_DENIED), Text(errorText));
  ExpectNothingLeft(errorText);
}

TEST_F(SetDescriptionTest, ExceptionGivesItsOwnTextAndReleasesEverything) {
  fake::AddService("Svc", kImage);
  OwnedWideString name("Svc"), description("Text");
  fake::ClearFailures();
  fake::FailAllocation(1);  // the key path
  EXPECT_EQ(E_UNEXPECTED,
            SetDescription(std::move(name), std::move(description), errorText));
  EXPECT_EQ(CaughtIn("SetDescription"), Text(errorText));
  ExpectNothingLeft(errorText);
}

}  // namespace
}  // namespace unit
