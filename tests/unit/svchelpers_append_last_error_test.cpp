// AppendLastError: the system's text for a code after a prefix, the
// hexadecimal stand-in when the system has none, and its own catch-all.
#include <string>

#include "unit_support.h"

namespace unit {
namespace {

using AtServiceHelpers::AppendLastError;

class AppendLastErrorTest : public HelperTest {};

TEST_F(AppendLastErrorTest, AppendsTheSystemTextWithItsLineEnd) {
  OwnedWideString text("Failed call to OpenSCManager: ");
  AppendLastError(text, ERROR_ACCESS_DENIED);
  const std::string system = fake::RealSystemText(ERROR_ACCESS_DENIED);
  EXPECT_EQ("Failed call to OpenSCManager: " + system, Text(text));
  EXPECT_EQ("\r\n", system.substr(system.size() - 2));
  ExpectNothingLeft(text);
}

TEST_F(AppendLastErrorTest, CodeWithoutTextBecomesItsHresultInHex) {
  struct Case {
    DWORD code;
    const char* expected;
  };
  const Case cases[] = {
      {0x0001ABCD, "P: 0x8007abcd"},  // Win32 code: high 16 bits lost
      {1234, "P: 0x800704d2"},
      {0x8004ABCD, "P: 0x8004abcd"},  // already an HRESULT: as it is
      {0xFFFFFFFF, "P: 0xffffffff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    fake::RemoveSystemText(c.code);
    OwnedWideString text("P: ");
    AppendLastError(text, c.code);
    EXPECT_EQ(c.expected, Text(text));
    EXPECT_EQ(0, fake::CountCalls("LocalFree"));
    ExpectNothingLeft(text);
  }
}

TEST_F(AppendLastErrorTest, NullTextBecomesTheMessageAlone) {
  OwnedWideString text;
  AppendLastError(text, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(fake::RealSystemText(ERROR_FILE_NOT_FOUND), Text(text));
  ExpectNothingLeft(text);
}

TEST_F(AppendLastErrorTest, FailureInsideReplacesTheWholeTextWithItsOwn) {
  // Each allocation in turn: converting the system text, then joining.
  for (int n = 1; n <= 2; ++n) {
    SCOPED_TRACE(n);
    fake::Reset();
    OwnedWideString text("Failed call to OpenService: ");
    fake::ClearFailures();
    fake::FailAllocation(n);
    AppendLastError(text, ERROR_ACCESS_DENIED);
    EXPECT_EQ(CaughtIn("AppendLastError"), Text(text));
    ExpectNothingLeft(text);  // the system buffer went back too
  }
  fake::Reset();
  OwnedWideString text("P: ");
  fake::FailNextVarBstrCat(E_INVALIDARG);
  AppendLastError(text, ERROR_ACCESS_DENIED);
  EXPECT_EQ(CaughtIn("AppendLastError"), Text(text));
  ExpectNothingLeft(text);
}

TEST_F(AppendLastErrorTest, FailureOfItsOwnTextLeavesAsAnException) {
  OwnedWideString text("P: ");
  fake::ClearFailures();
  fake::FailAllocation(1);
  fake::FailAllocation(2);
  EXPECT_THROW(AppendLastError(text, ERROR_ACCESS_DENIED), CAtlException);
  EXPECT_TRUE(text.IsNull());
  ExpectNothingLeft(text);
}

}  // namespace
}  // namespace unit
