// What the unit tests share: a clean fake for every test, the leak check,
// the fixed texts, and the helper library's error texts as narrow text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "platform.h"
#include "process_state.h"
#include "service_helpers.h"

namespace unit {

using AtServiceHelpers::CAtlException;
using AtServiceHelpers::OwnedWideString;

inline constexpr char kCaption[] = "Veltrane Portmapper Utility";
inline constexpr char kTcpName[] = "Veltrane Portmapper for TCP";
inline constexpr char kSpxName[] = "Veltrane Portmapper for SPX";

inline constexpr const char* kOpenScm = "Failed call to OpenSCManager: ";
inline constexpr const char* kOpenService = "Failed call to OpenService: ";
inline constexpr const char* kCreate = "Failed call to CreateService: ";
inline constexpr const char* kControl = "Failed call to ControlService: ";
inline constexpr const char* kDelete = "Failed call to DeleteService: ";
inline constexpr const char* kOpenKey = "Failed call to Open Services Key: ";
inline constexpr const char* kReadKey = "Failed call to Read Services Key: ";
inline constexpr const char* kWriteKey = "Failed call to Write Services Key: ";
inline constexpr const char* kNotMine =
    "Not able to unregister. Not this service.";
inline constexpr const char* kEarlier = "an earlier failure";
inline constexpr const char* kServicesKey =
    "System\\CurrentControlSet\\Services\\";

// Nothing open on the fake but `keptHandles` service-manager handles, no
// key, string or system text left, nothing misused.
inline void ExpectNothingLeft(int keptHandles = 0) {
  EXPECT_EQ(keptHandles, fake::OpenServiceHandles());
  EXPECT_EQ(0, fake::OpenKeys());
  EXPECT_EQ(0, fake::LiveStrings());
  EXPECT_EQ(0, fake::LiveLocalAllocs());
  EXPECT_TRUE(fake::Misuse().empty()) << fake::LeakReport();
}

// The utility's own code may keep start-and-wait's two handles open for the
// process's life, and nothing else.
inline void ExpectNothingLeftButTheProcessHandles() {
  ExpectNothingLeft((g_hScm != nullptr) + (g_hService != nullptr));
}

// A test of the utility's own code: a clean fake and process-wide variables
// at their start values, with the module instance and caption the dialog
// would have set.
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    ResetProcessState();
    g_hInstance = GetModuleHandleA(nullptr);
    lstrcpyA(g_szCaption, kCaption);
  }
};

// The error text as narrow text; "<null>" for a null string.
inline std::string Text(const OwnedWideString& s) {
  if (s.IsNull()) return "<null>";
  const int length = static_cast<int>(platform::SysStringLen(s.Get()));
  if (length == 0) return "";
  std::string out(static_cast<size_t>(length) * 4, '\0');
  const int n =
      ::WideCharToMultiByte(CP_THREAD_ACP, 0, s.Get(), length, &out[0],
                            static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// What a failure path must leave: the prefix and the real system's text.
inline std::string Failure(const char* prefix, DWORD code) {
  const std::string system = fake::RealSystemText(code);
  EXPECT_NE("", system) << "no system text for " << code;
  return prefix + system;
}

inline std::string CaughtIn(const char* operation) {
  return std::string("Exception caught in AtServiceHelpers::") + operation;
}

inline OwnedWideString W(const char* text) { return OwnedWideString(text); }

// A test of the helper library: a clean fake; it must end with nothing
// left open.
class HelperTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  // Releases the test's own string, then checks the fake's accounting.
  void ExpectNothingLeft(OwnedWideString& text) {
    text.Release();
    unit::ExpectNothingLeft();
  }
};

// For the operations: the caller's error text holds an earlier failure's
// text, which a success must leave as it was.
class OperationTest : public HelperTest {
 protected:
  void SetUp() override {
    HelperTest::SetUp();
    errorText = kEarlier;
  }
  void TearDown() override { errorText.Release(); }
  OwnedWideString errorText;
};

}  // namespace unit
