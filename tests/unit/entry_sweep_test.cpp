// Fault sweeps over whole command lines on the fake: every fallible platform
// call and every allocation fails in turn. A reported success must be a real
// one, and nothing may be left open but start-and-wait's service handle.
#include "entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "unit_support.h"

namespace {

using unit::kTcpName;
constexpr char kOwnImage[] = "\"E:\\Tools\\tessard.exe\" tcp";

struct Scenario {
  const char* commandLine;
  std::function<void()> arrange;    // the system before the run
  std::function<bool()> succeeded;  // the system after a real success
  // Calls whose failure can never end in success.
  std::set<std::string> essential;
};

int RunLine(const char* commandLine) {
  std::string text = commandLine;
  return TessardMain(GetModuleHandleA(nullptr), nullptr, &text[0], SW_SHOW);
}

void Prepare(const Scenario& s) {
  fake::Reset();
  ResetProcessState();
  fake::SetModulePath("E:\\Tools\\tessardctl.exe");
  s.arrange();
}

void ExpectNothingLeftOpen() {
  EXPECT_EQ(nullptr, g_hScm);  // closed by the entry
  unit::ExpectNothingLeftButTheProcessHandles();
}

bool IsRunning(const char* name) {
  const fake::Service* s = fake::FindService(name);
  return s != nullptr && !s->markedForDelete &&
         s->status.dwCurrentState == SERVICE_RUNNING;
}

std::vector<Scenario> Scenarios() {
  return {
      {"nogui install auto tcp",
       [] {},
       [] {
         const fake::Service* s = fake::FindService(kTcpName);
         return s && s->imagePath == kOwnImage && IsRunning(kTcpName);
       },
       {"GetModuleFileNameA", "LoadStringA", "MultiByteToWideChar",
        "OpenSCManagerA", "CreateServiceA", "StartServiceA"}},
      {"nogui remove tcp",
       [] {
         fake::AddService(kTcpName, kOwnImage).status.dwCurrentState =
             SERVICE_RUNNING;
       },
       [] {
         const fake::Service* s = fake::FindService(kTcpName);
         return s == nullptr || s->markedForDelete;
       },
       {"GetModuleFileNameA", "LoadStringA", "MultiByteToWideChar",
        "OpenSCManagerA", "OpenServiceA", "RegOpenKeyExA", "ControlService",
        "DeleteService"}},
      {"nogui start tcp",
       [] {
         fake::Service& s = fake::AddService(kTcpName, kOwnImage);
         s.startScript = {fake::Status(SERVICE_START_PENDING, 1, 100),
                          fake::Status(SERVICE_START_PENDING, 2, 100),
                          fake::Status(SERVICE_RUNNING)};
       },
       [] { return IsRunning(kTcpName); },
       {"GetModuleFileNameA", "LoadStringA", "OpenSCManagerA", "OpenServiceA",
        "StartServiceA", "QueryServiceStatus"}},
  };
}

TEST(EntrySweep, EachPlatformCallFailingInTurn) {
  for (const Scenario& s : Scenarios()) {
    SCOPED_TRACE(s.commandLine);
    Prepare(s);
    ASSERT_EQ(0, RunLine(s.commandLine));
    ASSERT_TRUE(s.succeeded());
    const int calls = fake::FallibleCallCount();
    const std::vector<std::string> sequence = fake::FallibleCallNames();
    ASSERT_EQ(static_cast<size_t>(calls), sequence.size());
    for (const std::string& name : s.essential) {
      EXPECT_NE(std::count(sequence.begin(), sequence.end(), name), 0)
          << name << " is never called: its failure is never tried";
    }

    for (int i = 1; i <= calls; ++i) {
      const std::string& failed = sequence[i - 1];
      SCOPED_TRACE("failing call " + std::to_string(i) + ": " + failed);
      Prepare(s);
      fake::FailCall(i);
      int exitCode = RunLine(s.commandLine);
      ASSERT_TRUE(exitCode == 0 || exitCode == -1) << exitCode;
      if (exitCode == 0) {
        EXPECT_TRUE(s.succeeded()) << "success reported, but not achieved";
      }
      if (s.essential.count(failed) != 0) {
        EXPECT_EQ(-1, exitCode) << "a failure that must stop the action";
      }
      ExpectNothingLeftOpen();
    }
  }
}

TEST(EntrySweep, AStopRefusedAsNotActiveIsTolerated) {
  const Scenario remove = Scenarios()[1];
  Prepare(remove);
  fake::FailNext("ControlService", ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(0, RunLine(remove.commandLine));
  EXPECT_TRUE(remove.succeeded());
  ExpectNothingLeftOpen();
}

TEST(EntrySweep, EachAllocationFailingInTurn) {
  for (const Scenario& s : Scenarios()) {
    SCOPED_TRACE(s.commandLine);
    int n = 1;
    for (;; ++n) {
      SCOPED_TRACE("failing allocation " + std::to_string(n));
      Prepare(s);
      fake::FailAllocation(n);
      int exitCode = RunLine(s.commandLine);
      ExpectNothingLeftOpen();
      if (fake::AllocationCount() < n) {
        // The run needed fewer allocations: it ran clean.
        EXPECT_EQ(0, exitCode);
        break;
      }
      // Every allocation sits on the path to success.
      EXPECT_EQ(-1, exitCode);
      ASSERT_LT(n, 500) << "runaway sweep";
    }
    if (std::string(s.commandLine) != "nogui start tcp") {
      EXPECT_GT(n, 1) << "the sweep exercised no allocation";
    }
  }
}

}  // namespace
