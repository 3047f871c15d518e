// Fault sweeps over the helper operations: every fallible platform call and
// every string allocation of a run is failed in turn, and each run must end
// with the result and text that its algorithm gives for that failure, with
// nothing left open.
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>

#include "unit_support.h"

namespace unit {
namespace {

using namespace AtServiceHelpers;

constexpr const char* kName = "Veltrane Portmapper for SPX";
constexpr const char* kImage = "\"C:\\Tools\\tessard.exe\" spx";

struct Outcome {
  HRESULT hr;
  std::string text;
  int flag;  // the out flag, -1 for operations without one
  bool operator==(const Outcome& o) const {
    return hr == o.hr && text == o.text && flag == o.flag;
  }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "{hr 0x" << std::hex << static_cast<unsigned long>(o.hr)
            << std::dec << ", \"" << o.text << "\", flag " << o.flag << "}";
}

Outcome Clean(int flag = -1) { return {S_OK, kEarlier, flag}; }
Outcome Fail(const char* prefix, DWORD code, int flag = -1) {
  return {E_FAIL, Failure(prefix, code), flag};
}
Outcome Unexpected(const char* operation, int flag = -1) {
  return {E_UNEXPECTED, CaughtIn(operation), flag};
}
Outcome AppendFailed(int flag = -1) {
  return {E_FAIL, CaughtIn("AppendLastError"), flag};
}

// One operation run: its inputs are built before the counted window opens,
// and the run hands back what the operation returned and left.
using Run = std::function<Outcome()>;
struct Scenario {
  std::function<void()> setup;    // the fake's services and keys
  std::function<Run()> prepare;   // the operation's inputs
  std::function<void()> script;   // failures that belong to the scenario
};
// The outcome the algorithm gives when the `occurrence`th call of `failed`
// (counted among the calls of the same kind) fails.
using Oracle = std::function<Outcome(const std::string& failed,
                                     int occurrence)>;

const std::set<std::string> kAllocations = {
    "SysAllocStringLen", "SysAllocStringByteLen", "VarBstrCat"};

// Which call of the kinds given was the nth of this run.
std::pair<std::string, int> NthCall(const std::set<std::string>& kinds,
                                    int n) {
  std::map<std::string, int> seen;
  int count = 0;
  for (const fake::Call& call : fake::Calls()) {
    if (kinds.count(call.name) == 0) continue;
    const int occurrence = ++seen[call.name];
    if (++count == n) return {call.name, occurrence};
  }
  return {"<none>", 0};
}

Outcome RunOnce(const Scenario& s, const std::function<void()>& inject) {
  fake::Reset();
  if (s.setup) s.setup();
  const Run run = s.prepare();
  fake::ClearFailures();
  fake::ClearCalls();
  if (s.script) s.script();
  inject();
  return run();
}

void SweepCalls(const Scenario& s, const Oracle& oracle) {
  const Outcome clean = RunOnce(s, [] {});
  const int count = fake::FallibleCallCount();
  ASSERT_EQ("", fake::LeakReport()) << "clean run";
  ASSERT_GT(count, 0);
  for (int i = 1; i <= count; ++i) {
    const Outcome outcome = RunOnce(s, [i] { fake::FailCall(i); });
    const auto failed = NthCall(fake::FallibleFunctions(), i);
    SCOPED_TRACE("fallible call " + std::to_string(i) + ": " + failed.first +
                 " #" + std::to_string(failed.second));
    EXPECT_EQ(oracle(failed.first, failed.second), outcome);
    EXPECT_EQ("", fake::LeakReport());
  }
  (void)clean;
}

void SweepAllocations(const Scenario& s, const Outcome& clean,
                      const Oracle& oracle) {
  for (int i = 1;; ++i) {
    ASSERT_LT(i, 500) << "the operation never got through";
    const Outcome outcome = RunOnce(s, [i] { fake::FailAllocation(i); });
    SCOPED_TRACE("allocation " + std::to_string(i));
    EXPECT_EQ("", fake::LeakReport());
    if (fake::AllocationCount() < i) {  // nothing left to fail
      EXPECT_EQ(clean, outcome);
      break;
    }
    const auto failed = NthCall(kAllocations, i);
    SCOPED_TRACE(failed.first + " #" + std::to_string(failed.second));
    EXPECT_EQ(oracle(failed.first, failed.second), outcome);
  }
}

// Inputs live in a shared block so that the run can move them into the
// operation; the error text starts with an earlier failure's text.
struct Inputs {
  OwnedWideString a, b, c, d, e, f;
  OwnedWideString errorText{kEarlier};
  BOOL flag = 7;
  Outcome Finish(HRESULT hr, int flag) {
    Outcome o{hr, Text(errorText), flag};
    errorText.Release();
    return o;
  }
};

// ---- IsInstalled -----------------------------------------------------------

Scenario IsInstalledOf(bool registered, std::function<void()> script = {}) {
  return {[registered] {
            if (registered) fake::AddService(kName, kImage);
          },
          [] {
            auto in = std::make_shared<Inputs>();
            in->a = W(kName);
            return Run([in] {
              const HRESULT hr =
                  IsInstalled(std::move(in->a), &in->flag, in->errorText);
              return in->Finish(hr, in->flag);
            });
          },
          std::move(script)};
}

Outcome IsInstalledOracle(const std::string& failed, int) {
  if (failed == "OpenSCManagerA") return Fail(kOpenScm, ERROR_ACCESS_DENIED, 0);
  if (failed == "OpenServiceA") return Fail(kOpenService, ERROR_ACCESS_DENIED, 0);
  // The name could not be converted: the manager is asked for no name.
  if (failed == "WideCharToMultiByte")
    return Fail(kOpenService, ERROR_INVALID_ADDRESS, 0);
  return {E_NOTIMPL, "unexpected call failed: " + failed, 0};
}

TEST(HelperSweep, IsInstalledOverEveryCall) {
  SweepCalls(IsInstalledOf(true), IsInstalledOracle);
  SweepCalls(IsInstalledOf(false), IsInstalledOracle);
}

TEST(HelperSweep, IsInstalledOverEveryAllocation) {
  SweepAllocations(IsInstalledOf(true), Clean(1),
                   [](const std::string& f, int) {
                     return Outcome{E_NOTIMPL, "allocated: " + f, 0};
                   });
}

// A refused manager exercises the composition of the error text itself.
TEST(HelperSweep, IsInstalledRefusedOverEveryCallAndAllocation) {
  const Scenario refused = IsInstalledOf(true, [] {
    fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED);
  });
  SweepCalls(refused, [](const std::string& failed, int n) {
    if (failed == "OpenSCManagerA") return Fail(kOpenScm, ERROR_ACCESS_DENIED, 0);
    // Converting the prefix (two conversions) raises inside the operation.
    if (failed == "MultiByteToWideChar" && n <= 2)
      return Unexpected("IsInstalled", 0);
    if (failed == "MultiByteToWideChar") return AppendFailed(0);
    if (failed == "FormatMessageA")
      return Outcome{E_FAIL, std::string(kOpenScm) + "0x80070005", 0};
    return Outcome{E_NOTIMPL, "unexpected call failed: " + failed, 0};
  });
  SweepAllocations(refused, Fail(kOpenScm, ERROR_ACCESS_DENIED, 0),
                   [](const std::string& failed, int n) {
                     if (failed == "SysAllocStringLen" && n == 1)
                       return Unexpected("IsInstalled", 0);
                     return AppendFailed(0);  // the system text or the join
                   });
}

// ---- InstallWithModuleName -------------------------------------------------

Scenario InstallOf(const char* description, const char* account,
                   const char* password) {
  return {{},
          [=] {
            auto in = std::make_shared<Inputs>();
            in->a = W(kName);
            in->b = W("Veltrane Portmapper");
            in->c = W(description);
            in->d = W(account);
            in->e = W(password);
            in->f = W(kImage);
            return Run([in] {
              const HRESULT hr = InstallWithModuleName(
                  std::move(in->a), std::move(in->b), std::move(in->c),
                  std::move(in->d), std::move(in->e), std::move(in->f),
                  in->errorText);
              return in->Finish(hr, -1);
            });
          },
          {}};
}

// Narrow copies in order: the existence check's name, then (when given)
// password and account, image path, display name, service name, and in
// SetDescription the key path and the description.
Oracle InstallOracle(bool withAccount) {
  return [withAccount](const std::string& failed, int n) {
    if (failed == "OpenSCManagerA") return Fail(kOpenScm, ERROR_ACCESS_DENIED);
    if (failed == "OpenServiceA") return Fail(kOpenService, ERROR_ACCESS_DENIED);
    if (failed == "CreateServiceA") return Fail(kCreate, ERROR_ACCESS_DENIED);
    if (failed == "RegOpenKeyExA") return Fail(kOpenKey, ERROR_ACCESS_DENIED);
    if (failed == "RegSetValueExA") return Fail(kWriteKey, ERROR_ACCESS_DENIED);
    if (failed == "MultiByteToWideChar") return Unexpected("SetDescription");
    if (failed == "WideCharToMultiByte") {
      if (n == 1) return Fail(kOpenService, ERROR_INVALID_ADDRESS);
      const int k = withAccount ? n - 2 : n;
      if (k <= 1) return Fail(kCreate, ERROR_INVALID_DATA);  // account, password
      if (k == 2) return Fail(kCreate, ERROR_INVALID_PARAMETER);  // no image
      if (k == 3) return Clean();  // no display name: the name shows
      if (k == 4) return Fail(kCreate, ERROR_INVALID_NAME);
      if (k == 5) return Fail(kOpenKey, ERROR_INVALID_DATA);
      if (k == 6) return Fail(kWriteKey, ERROR_INVALID_DATA);
    }
    return Outcome{E_NOTIMPL, "unexpected call failed: " + failed, -1};
  };
}

Outcome InstallAllocationOracle(const std::string& failed, int) {
  // Copies handed to IsInstalled and SetDescription are made by the install.
  if (failed == "SysAllocStringByteLen")
    return Unexpected("InstallWithModuleName");
  return Unexpected("SetDescription");
}

TEST(HelperSweep, InstallOverEveryCall) {
  SweepCalls(InstallOf("Maps ports.", "", ""), InstallOracle(false));
  SweepCalls(InstallOf("Maps ports.", "svcuser", "secret"),
             InstallOracle(true));
}

TEST(HelperSweep, InstallOverEveryAllocation) {
  SweepAllocations(InstallOf("", "", ""), Clean(), InstallAllocationOracle);
  SweepAllocations(InstallOf("Maps ports.", "", ""), Clean(),
                   InstallAllocationOracle);
  SweepAllocations(InstallOf("Maps ports.", "svcuser", "secret"), Clean(),
                   InstallAllocationOracle);
}

// ---- SetDescription --------------------------------------------------------

Scenario SetDescriptionOf() {
  return {[] { fake::AddService(kName, kImage); },
          [] {
            auto in = std::make_shared<Inputs>();
            in->a = W(kName);
            in->b = W("Maps ports.");
            return Run([in] {
              const HRESULT hr = SetDescription(
                  std::move(in->a), std::move(in->b), in->errorText);
              return in->Finish(hr, -1);
            });
          },
          {}};
}

TEST(HelperSweep, SetDescriptionOverEveryCallAndAllocation) {
  SweepCalls(SetDescriptionOf(), [](const std::string& failed, int n) {
    if (failed == "MultiByteToWideChar") return Unexpected("SetDescription");
    if (failed == "WideCharToMultiByte")
      return Fail(n == 1 ? kOpenKey : kWriteKey, ERROR_INVALID_DATA);
    if (failed == "RegOpenKeyExA") return Fail(kOpenKey, ERROR_ACCESS_DENIED);
    if (failed == "RegSetValueExA") return Fail(kWriteKey, ERROR_ACCESS_DENIED);
    return Outcome{E_NOTIMPL, "unexpected call failed: " + failed, -1};
  });
  SweepAllocations(SetDescriptionOf(), Clean(), [](const std::string&, int) {
    return Unexpected("SetDescription");
  });
}

// ---- IsThisMyServiceWithModuleName ----------------------------------------

Scenario OwnershipOf() {
  return {[] { fake::AddService(kName, kImage); },
          [] {
            auto in = std::make_shared<Inputs>();
            in->a = W(kName);
            in->b = W(kImage);
            return Run([in] {
              const HRESULT hr = IsThisMyServiceWithModuleName(
                  std::move(in->a), &in->flag, std::move(in->b),
                  in->errorText);
              return in->Finish(hr, in->flag);
            });
          },
          {}};
}

TEST(HelperSweep, OwnershipOverEveryCallAndAllocation) {
  SweepCalls(OwnershipOf(), [](const std::string& failed, int) {
    if (failed == "MultiByteToWideChar")
      return Unexpected("IsThisMyServiceWithModuleName", 0);
    if (failed == "WideCharToMultiByte")
      return Fail(kOpenKey, ERROR_INVALID_DATA, 0);
    if (failed == "RegOpenKeyExA")
      return Fail(kOpenKey, ERROR_ACCESS_DENIED, 0);
    if (failed == "RegQueryValueExW")
      return Fail(kReadKey, ERROR_ACCESS_DENIED, 0);
    return Outcome{E_NOTIMPL, "unexpected call failed: " + failed, 0};
  });
  SweepAllocations(OwnershipOf(), Clean(1), [](const std::string&, int) {
    return Unexpected("IsThisMyServiceWithModuleName", 0);
  });
}

// ---- UninstallWithModuleName ----------------------------------------------

Scenario UninstallOf(bool ignoresStop) {
  return {[ignoresStop] {
            fake::Service& s = fake::AddService(kName, kImage);
            s.status = fake::Status(SERVICE_RUNNING);
            s.ignoresStop = ignoresStop;
          },
          [] {
            auto in = std::make_shared<Inputs>();
            in->a = W(kName);
            in->b = W(kImage);
            return Run([in] {
              const HRESULT hr = UninstallWithModuleName(
                  std::move(in->a), std::move(in->b), in->errorText);
              return in->Finish(hr, -1);
            });
          },
          {}};
}

// Narrow copies in order: the existence check's name; the ownership check's
// key path; the name for the removal.
Outcome UninstallOracle(const std::string& failed, int n) {
  if (failed == "OpenSCManagerA") return Fail(kOpenScm, ERROR_ACCESS_DENIED);
  if (failed == "OpenServiceA") return Fail(kOpenService, ERROR_ACCESS_DENIED);
  if (failed == "RegOpenKeyExA") return Fail(kOpenKey, ERROR_ACCESS_DENIED);
  if (failed == "RegQueryValueExW") return Fail(kReadKey, ERROR_ACCESS_DENIED);
  if (failed == "ControlService") return Fail(kControl, ERROR_ACCESS_DENIED);
  if (failed == "DeleteService") return Fail(kDelete, ERROR_ACCESS_DENIED);
  if (failed == "QueryServiceStatus") return Clean();  // asked again
  if (failed == "MultiByteToWideChar")
    return Unexpected("IsThisMyServiceWithModuleName");
  if (failed == "WideCharToMultiByte") {
    if (n == 2) return Fail(kOpenKey, ERROR_INVALID_DATA);
    return Fail(kOpenService, ERROR_INVALID_ADDRESS);
  }
  return Outcome{E_NOTIMPL, "unexpected call failed: " + failed, -1};
}

Outcome UninstallAllocationOracle(const std::string& failed, int) {
  if (failed == "SysAllocStringByteLen")
    return Unexpected("UninstallWithModuleName");
  return Unexpected("IsThisMyServiceWithModuleName");
}

TEST(HelperSweep, UninstallOfAServiceThatStopsOverEveryCall) {
  SweepCalls(UninstallOf(false), UninstallOracle);
}

TEST(HelperSweep, UninstallOfAServiceThatIgnoresTheStopOverEveryCall) {
  SweepCalls(UninstallOf(true), UninstallOracle);
}

TEST(HelperSweep, UninstallOverEveryAllocation) {
  SweepAllocations(UninstallOf(false), Clean(), UninstallAllocationOracle);
  SweepAllocations(UninstallOf(true), Clean(), UninstallAllocationOracle);
}

}  // namespace
}  // namespace unit
