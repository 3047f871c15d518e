// What the server's system tests share: running programs (Wine's among
// them) with a time limit, the service's state as Wine's sc.exe reports it,
// and a fixture that gives each test a folder with tessardctl.exe and
// tessard.exe and leaves no service of ours behind.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace server_system {

constexpr char kTcpService[] = "Veltrane Portmapper for TCP";
constexpr char kSpxService[] = "Veltrane Portmapper for SPX";
// The address in the test's namespace that is not a loopback address.
constexpr char kOtherAddress[] = "10.77.0.1";

struct Result {
  int code = -1;  // the exit code; -2 when the time ran out
  std::string output;
};

// Runs argv in dir with its output in a file, not a pipe (Wine's
// background processes would hold a pipe open), killed after `seconds`.
Result RunProgram(const std::vector<std::string>& argv, const std::string& dir,
           int seconds = 120);
// Starts argv in dir without waiting; its output goes to `log`.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir,
            const std::string& log);

// The program a Wine process runs, as a Linux path, from the contents of
// its /proc/PID/cmdline: Wine gives the process its Windows command line,
// whose first word is the program's path (drive Z: is the Linux root).
std::string WineProgramPath(const std::string& cmdline);
// The Linux process running the program `folder`/`exe` under Wine (the
// folder and file name compared whole), or -1.
pid_t FindWineProcess(const std::string& folder, const std::string& exe);

struct ServiceState {
  bool exists = false;
  int state = 0;  // SERVICE_STOPPED 1 ... SERVICE_RUNNING 4
  unsigned long exitCode = 0;
};

// An IPv4 address and port, in network order, for the socket calls.
sockaddr_in Address(const char* host, unsigned short port);

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // tessardctl.exe nogui ARGS in the test's folder: 0, or 255 for -1.
  int Ctl(const std::string& action, const std::string& a,
          const std::string& b = "");
  ServiceState Query(const std::string& name);
  // Removes both services however they were left; waits until they are gone.
  void RemoveServices();
  Result Rpcinfo(const std::vector<std::string>& args);

  std::string dir_;  // the test's folder, holding both programs
};

}  // namespace server_system
