// What the server's system tests share: running programs (Wine's among
// them) with a time limit, the service's state as Wine's sc.exe reports it,
// and a fixture that gives each test a folder with tessardctl.exe and
// tessard.exe and leaves no service of ours behind.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <map>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace server_system {

constexpr char kTcpService[] = "Veltrane Portmapper for TCP";
constexpr char kSpxService[] = "Veltrane Portmapper for SPX";
// Addresses in the test's namespace that are not loopback addresses
// (in_namespace.sh): callers on them count as other machines.
constexpr char kOtherAddress[] = "10.77.0.1";
constexpr char kSecondAddress[] = "10.77.0.2";
constexpr char kThirdAddress[] = "10.77.0.3";
constexpr char kOtherAddress6[] = "2001:db8::1";
constexpr char kSecondAddress6[] = "2001:db8::2";
// Where the TCP service keeps its table, and its damaged values.
constexpr char kStoredKey[] =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Veltrane Portmapper for TCP"
    "\\Parameters\\Registrations";
constexpr char kDamagedKey[] =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Veltrane Portmapper for TCP"
    "\\Parameters\\Damaged";

// The TCP service's settings, as an administrator names the key to reg.exe.
constexpr char kTcpParameters[] =
    R"(HKLM\SYSTEM\CurrentControlSet\Services\Veltrane Portmapper for TCP\Parameters)";

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
  unsigned long checkpoint = 0;
};

// An IPv4 address and port, in network order, for the socket calls.
sockaddr_in Address(const char* host, unsigned short port);
// An IPv4 or IPv6 address (by its text) and port; returns its length.
socklen_t AnyAddress(const char* host, unsigned short port,
                     sockaddr_storage* out);

// A socket bound to `from`, connected to port 111 of `to` (by default the
// same address): IPv4 or IPv6 by the addresses' text.
class Socket {
 public:
  // receiveBuffer: SO_RCVBUF set before connecting, when not 0.
  Socket(int type, const char* from, const char* to = nullptr,
         int receiveBuffer = 0);
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  void Send(const std::vector<std::uint8_t>& bytes);
  // What arrives within `ms`; nothing when nothing does; an empty vector
  // when the server closed the connection.
  std::optional<std::vector<std::uint8_t>> Receive(int ms);
  // A TCP reply: the record, its fragments joined, without their marks.
  std::optional<std::vector<std::uint8_t>> ReceiveRecord(int ms);

 private:
  int fd_;
  bool connected_ = false;
};

// A call framed as one record of a TCP stream.
std::vector<std::uint8_t> Record(const std::vector<std::uint8_t>& call);

// Bytes as capital hex, as reg.exe writes and reads them.
std::string Hex(const std::vector<std::uint8_t>& bytes);

// A registration as a version 4 DUMP lists it.
struct Listed {
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::string netid, uaddr, owner;
};
// The table, by a version 4 DUMP over TCP from loopback; nothing when no
// reply came or it does not decode in full.
std::optional<std::vector<Listed>> Dump();
// Whether a GETPORT of the port mapper itself, from `from` to port 111 of
// `to`, is answered with 111 within `ms`: over UDP (sent again every
// 250 ms, as clients do) or over a new TCP connection.
bool Answers(int type, const char* from, const char* to, int ms = 1000);

// Asks `done` until it is true, for up to `ms`: the milliseconds that
// took, or -1 when it never was.
long MillisecondsUntil(const std::function<bool()>& done, int ms);

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
  // The Linux process of the service started from this test's folder, or -1.
  pid_t ServerPid() { return FindWineProcess(dir_, "tessard.exe"); }
  // A key's values by name, their bytes in capital hex, read with Wine's
  // reg.exe; nothing when the key does not exist.
  std::optional<std::map<std::string, std::string>> RegistryValues(
      const std::string& key);
  // reg.exe add of a REG_BINARY value (the keys on the way are made).
  bool RegistryAdd(const std::string& key, const std::string& name,
                   const std::vector<std::uint8_t>& bytes);
  // Writes a value of the TCP service's settings with Wine's reg.exe
  // (data as reg.exe takes it: "a\0b" for two lines), or deletes it.
  void SetSetting(const char* value, const char* type, const std::string& data);
  void DeleteSetting(const char* value);

  std::string dir_;  // the test's folder, holding both programs
};

}  // namespace server_system
