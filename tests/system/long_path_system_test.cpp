// tessardctl.exe run from directories whose paths bring the server command
// line, or the utility's own path, to the 255-character limit and past it,
// and from folders whose names the utility must not compose a server from.
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
constexpr size_t kUtilityTail = sizeof "\\tessardctl.exe" - 1;            // 15
constexpr size_t kCommandLineExtra = sizeof "\"\\tessard.exe\" tcp" - 1;  // 18

std::string FullPath(const std::string& path) {
  char full[MAX_PATH * 2] = "";
  const DWORD length =
      GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  EXPECT_GT(length, 0u) << "GetFullPathNameA(" << path << "): error "
                        << GetLastError();
  EXPECT_LT(length, sizeof full);
  return full;
}

class LongUtilityPath : public ::testing::Test {
 protected:
  // A test directory, beside home_, whose path makes the server command line
  // `commandLineLength` characters long. The leaf is padded to length.
  std::unique_ptr<systest::TestDirectory> DirectoryForCommandLine(
      size_t commandLineLength) {
    const std::string home = FullPath(home_.Path());
    const std::string root = home.substr(0, home.rfind('\\'));
    const std::string stem =
        "Long Path " + std::to_string(commandLineLength) + " ";
    const size_t directoryLength = commandLineLength - kCommandLineExtra;
    if (root.size() + 1 + stem.size() >= directoryLength ||
        directoryLength - root.size() - 1 > 255) {
      ADD_FAILURE() << "the build folder " << root
                    << " is too long for this test";
      return nullptr;
    }
    const std::string leaf =
        stem +
        std::string(directoryLength - root.size() - 1 - stem.size(), 'x');
    auto dir = std::make_unique<systest::TestDirectory>(leaf);
    dir->WriteScript(systest::StandinScript());
    // Lengths as the utility will see them, not as they were spelled.
    const std::string utility = FullPath(dir->UtilityPath());
    EXPECT_EQ(directoryLength + kUtilityTail, utility.size()) << utility;
    const std::string commandLine =
        "\"" + FullPath(dir->ServerPath()) + "\" tcp";
    EXPECT_EQ(commandLineLength, commandLine.size()) << commandLine;
    EXPECT_EQ(dir->ServerCommandLine("tcp"), commandLine);
    return dir;
  }

  systest::ServiceCleanup cleanup_;  // first: leftovers go before the files
  systest::TestDirectory home_;      // a short path, for a registered stand-in
};

TEST_F(LongUtilityPath,
       CommandLineOfExactly255CharactersInstallsStartsAndRemoves) {
  const auto dir = DirectoryForCommandLine(kLimit);
  ASSERT_TRUE(dir);

  EXPECT_EQ(kExitSuccess,
            systest::RunTessardctl(*dir, "nogui install manual tcp"));
  systest::ServiceConfig config;
  ASSERT_TRUE(systest::QueryConfig(kTcpService, config));
  EXPECT_EQ(dir->ServerCommandLine("tcp"), config.binaryPathName);
  EXPECT_EQ(kLimit, config.binaryPathName.size());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ScQueryState(kTcpService));

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(*dir, "nogui start tcp"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(std::vector<std::string>{dir->ServerCommandLine("tcp")},
            dir->LogValues("process"));

  EXPECT_EQ(kExitSuccess, systest::RunTessardctl(*dir, "nogui remove tcp"));
  EXPECT_TRUE(systest::WaitUntilGone(kTcpService));
  EXPECT_EQ(0u, systest::ScQueryState(kTcpService)) << "sc.exe still finds it";
}

struct Untrusted {
  const char* name;
  size_t commandLineLength;  // 0: the folder is named `leaf` instead
  bool utilityPathFits;      // the utility's own path is within 255 characters
  const char* leaf;          // UTF-8
  const char* lookAlike;     // a folder beside it with another tessard.exe
};

std::ostream& operator<<(std::ostream& out, const Untrusted& untrusted) {
  return out << untrusted.name;
}

class UntrustedUtilityPath : public LongUtilityPath,
                             public ::testing::WithParamInterface<Untrusted> {
 protected:
  void SetUp() override {
    const Untrusted& row = GetParam();
    if (row.commandLineLength == 0) {
      dir_ = std::make_unique<systest::TestDirectory>(row.leaf);
      dir_->WriteScript(systest::StandinScript());
    } else {
      dir_ = DirectoryForCommandLine(row.commandLineLength);
      ASSERT_TRUE(dir_);
      const size_t utilityLength = FullPath(dir_->UtilityPath()).size();
      ASSERT_EQ(row.utilityPathFits, utilityLength <= kLimit) << utilityLength;
    }
    if (row.lookAlike != nullptr) {
      lookAlike_ = std::make_unique<systest::TestDirectory>(row.lookAlike);
      lookAlike_->WriteScript(systest::StandinScript());
    }
  }

  std::unique_ptr<systest::TestDirectory> dir_;
  std::unique_ptr<systest::TestDirectory> lookAlike_;
};

TEST_P(UntrustedUtilityPath, InstallFailsAndRegistersNothing) {
  EXPECT_EQ(kExitFailure,
            systest::RunTessardctl(*dir_, "nogui install manual tcp"));
  EXPECT_EQ(kExitFailure,
            systest::RunTessardctl(*dir_, "nogui install auto tcp"));

  EXPECT_FALSE(systest::ServiceExists(kTcpService));
  EXPECT_EQ(0u, systest::ScQueryState(kTcpService)) << "sc.exe finds it";
  EXPECT_EQ("", dir_->ReadLog()) << "the stand-in was started";
  if (lookAlike_) {
    EXPECT_EQ("", lookAlike_->ReadLog()) << "the look-alike was started";
  }
}

// The service name does not depend on the path: a utility that went on
// after a cut text would start, or remove, the service registered here.
TEST_P(UntrustedUtilityPath,
       StartAndRemoveFailAndLeaveTheRegisteredServiceAlone) {
  home_.WriteScript(systest::StandinScript());
  ASSERT_TRUE(systest::RegisterStandin(home_, "tcp"));

  EXPECT_EQ(kExitFailure, systest::RunTessardctl(*dir_, "nogui start tcp"));
  EXPECT_EQ(kExitFailure, systest::RunTessardctl(*dir_, "nogui remove tcp"));

  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ServiceState(kTcpService));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED),
            systest::ScQueryState(kTcpService));
  EXPECT_EQ("", home_.ReadLog()) << "the registered stand-in was started";
  EXPECT_EQ("", dir_->ReadLog());
}

// The names are not representable in the ANSI code page (1252): the narrow
// module path maps them to a look-alike, to a quote or to "?". A "%" would
// be expanded by the service manager when it starts the service.
INSTANTIATE_TEST_SUITE_P(
    Paths, UntrustedUtilityPath,
    ::testing::Values(
        Untrusted{"CommandLineOneCharacterOver", kLimit + 1, true, nullptr,
                  nullptr},
        Untrusted{"CommandLineThreeOverUtilityAtTheLimit", kLimit + 3, true,
                  nullptr, nullptr},
        Untrusted{"UtilityPathOverTheLimit", kLimit + 5, false, nullptr,
                  nullptr},
        Untrusted{"BestFitToAFolderBesideIt", 0, true, "untrusted T\u014Dols",
                  "untrusted Tools"},
        Untrusted{"BestFitToAQuote", 0, true, "untrusted q\uFF02 x", nullptr},
        Untrusted{"NotInTheCodePage", 0, true,
                  "untrusted \u041F\u0440\u043E\u0435\u043A\u0442", nullptr},
        Untrusted{"EnvironmentReference", 0, true, "untrusted %OS%", nullptr}),
    [](const ::testing::TestParamInfo<Untrusted>& info) {
      return info.param.name;
    });

}  // namespace
