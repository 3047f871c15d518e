// Fault sweeps over the helper operations: every fallible platform call and
// every string allocation of a run fails in turn. Whatever fails, a run must
// end with a result and a text the library can give, report success only
// when the operation really happened, and leave nothing open.
#include <functional>
#include <memory>
#include <string>

#include "unit_support.h"

namespace unit {
namespace {

using namespace AtServiceHelpers;

constexpr const char* kName = "Veltrane Portmapper for SPX";
constexpr const char* kImage = "\"C:\\Tools\\tessard.exe\" spx";
constexpr const char* kDescription = "Maps ports.";

const char* const kOperations[] = {"IsInstalled",
                                   "InstallWithModuleName",
                                   "SetDescription",
                                   "IsThisMyServiceWithModuleName",
                                   "UninstallWithModuleName",
                                   "AppendLastError"};
const char* const kPrefixes[] = {kOpenScm, kOpenService, kCreate,  kControl,
                                 kDelete,  kOpenKey,     kReadKey, kWriteKey};

bool StartsWith(const std::string& text, const std::string& start) {
  return text.size() > start.size() &&
         text.compare(0, start.size(), start) == 0;
}

// A text the library gives with E_FAIL: a prefix and the code's text, the
// refusal of another program's service, or AppendLastError's own text.
bool IsFailureText(const std::string& text) {
  if (text == kNotMine || text == CaughtIn("AppendLastError")) return true;
  for (const char* prefix : kPrefixes) {
    if (StartsWith(text, prefix)) return true;
  }
  return false;
}

bool IsCaughtText(const std::string& text) {
  for (const char* operation : kOperations) {
    if (text == CaughtIn(operation)) return true;
  }
  return false;
}

struct Outcome {
  HRESULT hr;
  std::string text;
  BOOL flag;  // the out flag; FALSE for operations without one
};

// One operation on a scripted system: `arrange` registers what is there
// before the run, `run` calls the operation (its inputs are made before the
// counted window opens), and `happened` tells, after a success, whether
// the system shows what the operation promised.
struct Scenario {
  std::function<void()> arrange;
  std::function<std::function<Outcome()>()> prepare;
  std::function<bool(const Outcome&)> happened;
  std::function<void()> script;  // failures that belong to the scenario
};

// The operation's inputs in a shared block, so that the run can move them
// into it; the error text starts with an earlier failure's text.
struct Inputs {
  OwnedWideString a, b, c, d, e, f;
  OwnedWideString errorText{kEarlier};
  BOOL flag = FALSE;
  Outcome Finish(HRESULT hr) {
    Outcome o{hr, Text(errorText), flag};
    errorText.Release();
    return o;
  }
};

Outcome RunOnce(const Scenario& s, const std::function<void()>& inject) {
  fake::Reset();
  if (s.arrange) s.arrange();
  const auto run = s.prepare();
  fake::ClearFailures();
  fake::ClearCalls();
  if (s.script) s.script();
  inject();
  return run();
}

void ExpectSound(const Scenario& s, const Outcome& o) {
  if (o.hr == S_OK) {
    EXPECT_EQ(kEarlier, o.text) << "a success changed the error text";
    EXPECT_TRUE(s.happened(o)) << "success reported, but not achieved";
  } else if (o.hr == E_FAIL) {
    EXPECT_TRUE(IsFailureText(o.text)) << o.text;
    EXPECT_EQ(FALSE, o.flag);
  } else {
    EXPECT_EQ(E_UNEXPECTED, o.hr) << std::hex << o.hr;
    EXPECT_TRUE(IsCaughtText(o.text)) << o.text;
    EXPECT_EQ(FALSE, o.flag);
  }
  ExpectNothingLeft();
}

// Fails each fallible call of a clean run in turn, then each allocation.
void Sweep(const Scenario& s) {
  ExpectSound(s, RunOnce(s, [] {}));
  const int calls = fake::FallibleCallCount();
  const std::vector<std::string> names = fake::FallibleCallNames();
  ASSERT_GT(calls, 0);
  for (int i = 1; i <= calls; ++i) {
    SCOPED_TRACE("failing call " + std::to_string(i) + ": " + names[i - 1]);
    ExpectSound(s, RunOnce(s, [i] { fake::FailCall(i); }));
  }
  for (int i = 1;; ++i) {
    SCOPED_TRACE("failing allocation " + std::to_string(i));
    ASSERT_LT(i, 500) << "the operation never got through";
    ExpectSound(s, RunOnce(s, [i] { fake::FailAllocation(i); }));
    if (fake::AllocationCount() < i) break;  // nothing left to fail
  }
}

const fake::Service* Registered() { return fake::FindService(kName); }

std::string Description() {
  std::vector<BYTE> data;
  if (!fake::GetValue(std::string(kServicesKey) + kName, "Description", nullptr,
                      &data)) {
    return "<none>";
  }
  return std::string(data.begin(), data.end() - 1);
}

Scenario IsInstalledOf(bool registered, std::function<void()> script = {}) {
  return {[registered] {
            if (registered) fake::AddService(kName, kImage);
          },
          [] {
            auto in = std::make_shared<Inputs>();
            in->a = W(kName);
            return [in] {
              return in->Finish(
                  IsInstalled(std::move(in->a), &in->flag, in->errorText));
            };
          },
          [registered](const Outcome& o) { return o.flag == registered; },
          std::move(script)};
}

Scenario InstallOf(const char* description, const char* account) {
  return {{},
          [=] {
            auto in = std::make_shared<Inputs>();
            in->a = W(kName);
            in->b = W("Veltrane Portmapper");
            in->c = W(description);
            in->d = W(account);
            in->e = W(*account ? "secret" : "");
            in->f = W(kImage);
            return [in] {
              return in->Finish(InstallWithModuleName(
                  std::move(in->a), std::move(in->b), std::move(in->c),
                  std::move(in->d), std::move(in->e), std::move(in->f),
                  in->errorText));
            };
          },
          [=](const Outcome&) {
            const fake::Service* s = Registered();
            return s != nullptr && s->imagePath == kImage &&
                   s->account == account &&
                   (*description == '\0' || Description() == description);
          },
          {}};
}

Scenario SetDescriptionOf() {
  return {[] { fake::AddService(kName, kImage); },
          [] {
            auto in = std::make_shared<Inputs>();
            in->a = W(kName);
            in->b = W(kDescription);
            return [in] {
              return in->Finish(SetDescription(
                  std::move(in->a), std::move(in->b), in->errorText));
            };
          },
          [](const Outcome&) { return Description() == kDescription; },
          {}};
}

Scenario OwnershipOf(const char* registeredImage) {
  return {
      [=] { fake::AddService(kName, registeredImage); },
      [] {
        auto in = std::make_shared<Inputs>();
        in->a = W(kName);
        in->b = W(kImage);
        return [in] {
          return in->Finish(IsThisMyServiceWithModuleName(
              std::move(in->a), &in->flag, std::move(in->b), in->errorText));
        };
      },
      [=](const Outcome& o) {
        return o.flag == (std::string(registeredImage) == kImage);
      },
      {}};
}

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
            return [in] {
              return in->Finish(UninstallWithModuleName(
                  std::move(in->a), std::move(in->b), in->errorText));
            };
          },
          [](const Outcome&) {
            return Registered() == nullptr || Registered()->markedForDelete;
          },
          {}};
}

TEST(HelperSweep, IsInstalled) {
  Sweep(IsInstalledOf(true));
  Sweep(IsInstalledOf(false));
}

// With the manager refused, every fault lands in the composition of the
// error text itself.
TEST(HelperSweep, IsInstalledWithTheManagerRefused) {
  Sweep(IsInstalledOf(
      true, [] { fake::FailNext("OpenSCManagerA", ERROR_ACCESS_DENIED); }));
}

TEST(HelperSweep, Install) {
  Sweep(InstallOf("", ""));
  Sweep(InstallOf(kDescription, "svcuser"));
}

TEST(HelperSweep, SetDescription) { Sweep(SetDescriptionOf()); }

TEST(HelperSweep, Ownership) {
  Sweep(OwnershipOf(kImage));
  Sweep(OwnershipOf("\"C:\\Elsewhere\\tessard.exe\" spx"));
}

TEST(HelperSweep, Uninstall) {
  Sweep(UninstallOf(false));
  Sweep(UninstallOf(true));
}

}  // namespace
}  // namespace unit
