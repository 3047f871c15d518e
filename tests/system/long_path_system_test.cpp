// tessardctl.exe run from directories whose paths bring the server command
// line, or the utility's own path, to the 255-character limit and past it.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "system_support.h"

namespace {

using systest::kExitFailure;
using systest::kExitSuccess;
using systest::kTcpService;

constexpr size_t kLimit = 255;  // characters of a 256-byte text buffer
// What the utility's directory gains in each composed text.
constexpr size_t kUtilityTail = sizeof "\\tessardctl.exe" - 1;              // 15
constexpr size_t kCommandLineExtra = sizeof "\"\\tessard.exe\" tcp" - 1;  // 18

std::string FullPath(const std::string& path) {
  char full[MAX_PATH * 2] = "";
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  EXPECT_GT(length, 0u) << "GetFullPathNameA(" << path << "): error " << GetLastError();
  EXPECT_LT(length, sizeof full);
  return full;
}

class LongUtilityPath : public ::testing::Test {
 protected:
  // A test directory, beside home_, whose path makes the server command line
  // `commandLineLength` characters long. The leaf is padded to length.
  std::unique_ptr<systest::TestDirectory> DirectoryForCommandLine(size_t commandLineLength) {
    const std::string home = FullPath(home_.Path());
    const std::string root = home.substr(0, home.rfind('\\'));
    const std::string stem = "Long Path " + std::to_string(commandLineLength) + " ";
    const size_t directoryLength = commandLineLength - kCommandLineExtra;
    if (root.size() + 1 + stem.size() >= directoryLength ||
        directoryLength - root.size() - 1 > 255) {
      ADD_FAILURE() << "the build folder " << root << " is too long for this test";
      return nullptr;
    }
    const std::string leaf = stem + std::string(directoryLength - root.size() - 1 - stem.size(), 'x');
    auto dir = std::make_unique<systest::TestDirectory>(leaf);
    dir->WriteScript(systest::StandinScript());
    // Lengths as the utility will see them, not as they were spelled.
    const std::string utility = FullPath(dir->UtilityPath());
    EXPECT_EQ(directoryLength + kUtilityTail, utility.size()) << utility;
    const std::string commandLine = "\"" + FullPath(dir->ServerPath()) + "\" tcp";
    EXPECT_EQ(commandLineLength, commandLine.size()) << commandLine;
    EXPECT_EQ(dir->ServerCommandLine("tcp"), commandLine);
    return dir;
  }

  systest::ServiceCleanup cleanup_;  // first: leftovers go before the files
  systest::TestDirectory home_;      // a short path, for a registered stand-in
};

TEST_F(LongUtilityPath, CommandLineOfExactly255CharactersInstallsStartsAndRemoves) {
  const auto dir = DirectoryForCommandLine(kLimit);
  ASSERT_TRUE(dir);

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(*dir, "nogui install manual tcp"));
  systest::ServiceConfig config;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, config));
  EXPECT_EQ(dir->ServerCommandLine("tcp"), config.binaryPathName);
  EXPECT_EQ(kLimit, config.binaryPathName.size());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), systest::ScQueryState(kTcpService));

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(*dir, "nogui start tcp"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), systest::ServiceState(kTcpService));
  EXPECT_EQ(std::vector<std::string>{dir->ServerCommandLine("tcp")},
            dir->LogValues("process"));

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(*dir, "nogui remove tcp"));
  EXPECT_TRUE(systest::WaitUntilGone(kTcpService));
  EXPECT_EQ(0u, systest::ScQueryState(kTcpService)) << "sc.exe still finds it";
}

struct TooLong {
  const char* name;
  size_t commandLineLength;
  bool utilityPathFits;  // the utility's own path is within 255 characters
};

std::ostream& operator<<(std::ostream& out, const TooLong& tooLong) {
  return out << tooLong.name;
}

class TooLongUtilityPath : public LongUtilityPath,
                           public ::testing::WithParamInterface<TooLong> {
 protected:
  void SetUp() override {
    dir_ = DirectoryForCommandLine(GetParam().commandLineLength);
    ASSERT_TRUE(dir_);
    const size_t utilityLength = FullPath(dir_->UtilityPath()).size();
    ASSERT_EQ(GetParam().utilityPathFits, utilityLength <= kLimit) << utilityLength;
  }

  std::unique_ptr<systest::TestDirectory> dir_;
};

TEST_P(TooLongUtilityPath, InstallFailsAndRegistersNothing) {
  EXPECT_EQ(kExitFailure, systest::RunTessardctl(*dir_, "nogui install auto tcp"));

  EXPECT_FALSE(systest::ServiceExists(kTcpService));
  EXPECT_EQ(0u, systest::ScQueryState(kTcpService)) << "sc.exe finds it";
  EXPECT_EQ("", dir_->ReadLog()) << "the stand-in was started";
}

// The service name does not depend on the path: a utility that went on
// after a cut text would start, or remove, the service registered here.
TEST_P(TooLongUtilityPath, StartAndRemoveFailAndLeaveTheRegisteredServiceAlone) {
  home_.WriteScript(systest::StandinScript());
  ASSERT_TRUE(systest::RegisterStandin(home_, "tcp"));

  EXPECT_EQ(kExitFailure, systest::RunTessardctl(*dir_, "nogui start tcp"));
  EXPECT_EQ(kExitFailure, systest::RunTessardctl(*dir_, "nogui remove tcp"));

  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), systest::ServiceState(kTcpService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), systest::ScQueryState(kTcpService));
  EXPECT_EQ("", home_.ReadLog()) << "the registered stand-in was started";
  EXPECT_EQ("", dir_->ReadLog());
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, TooLongUtilityPath,
    ::testing::Values(TooLong{"CommandLineOneCharacterOver", kLimit + 1, true},
                      TooLong{"CommandLineThreeOverUtilityAtTheLimit", kLimit + 3, true},
                      TooLong{"UtilityPathOverTheLimit", kLimit + 5, false}),
    [](const ::testing::TestParamInfo<TooLong>& info) { return info.param.name; });

}  // namespace
