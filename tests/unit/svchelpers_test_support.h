// Shared pieces of the helper-library unit tests: the fixed texts, error
// texts as narrow text, and a fixture that starts every test on a clean fake.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "platform.h"
#include "service_helpers.h"

namespace svctest {

using AtServiceHelpers::CAtlException;
using AtServiceHelpers::OwnedWideString;

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

// The error text as narrow text; "<null>" for a null string.
inline std::string Text(const OwnedWideString& s) {
  if (s.IsNull()) return "<null>";
  const int length = static_cast<int>(platform::SysStringLen(s.Get()));
  if (length == 0) return "";
  std::string out(static_cast<size_t>(length) * 4, '\0');
  const int n = ::WideCharToMultiByte(CP_THREAD_ACP, 0, s.Get(), length,
                                      &out[0], static_cast<int>(out.size()),
                                      nullptr, nullptr);
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

// Every test starts on a clean fake and must end with nothing left open.
class HelperTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  // Releases the test's own string, then checks the fake's accounting.
  void ExpectNothingLeft(OwnedWideString& text) {
    text.Release();
    EXPECT_EQ("", fake::LeakReport());
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

}  // namespace svctest
