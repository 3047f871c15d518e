// Running programs and reading the service manager for the server's tests.
#include "support.h"

#include "rpc_wire.h"

#include <arpa/inet.h>
#include <poll.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace server_system {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value) ADD_FAILURE() << name << " is not set (run through CTest)";
  return value ? value : "";
}

[[noreturn]] void Exec(const std::vector<std::string>& argv,
                       const std::string& dir, const std::string& log) {
  if (chdir(dir.c_str()) != 0) _exit(126);
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int in = open("/dev/null", O_RDONLY);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir,
            const std::string& log) {
  pid_t pid = fork();
  if (pid == 0) Exec(argv, dir, log);
  return pid;
}

Result RunProgram(const std::vector<std::string>& argv, const std::string& dir,
           int seconds) {
  std::string log = dir + "/run.log";
  pid_t pid = Spawn(argv, dir, log);
  Result result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.code = -2;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (result.code != -2 && WIFEXITED(status)) result.code = WEXITSTATUS(status);
  std::ifstream file(log);
  std::stringstream text;
  text << file.rdbuf();
  result.output = text.str();
  return result;
}

std::string WineProgramPath(const std::string& cmdline) {
  std::string path = cmdline.substr(0, cmdline.find('\0'));
  if (path.size() >= 2 && (path[0] == 'Z' || path[0] == 'z') &&
      path[1] == ':') {
    path.erase(0, 2);
  }
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

pid_t FindWineProcess(const std::string& folder, const std::string& exe) {
  const std::string wanted = folder + "/" + exe;
  pid_t found = -1;
  DIR* proc = opendir("/proc");
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream file(std::string("/proc/") + e->d_name + "/cmdline");
    std::string cmdline((std::istreambuf_iterator<char>(file)), {});
    if (WineProgramPath(cmdline) == wanted) found = std::atoi(e->d_name);
  }
  closedir(proc);
  return found;
}

sockaddr_in Address(const char* host, unsigned short port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, host, &address.sin_addr);
  return address;
}

socklen_t AnyAddress(const char* host, unsigned short port,
                     sockaddr_storage* out) {
  *out = sockaddr_storage{};
  if (std::strchr(host, ':')) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(*out);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    inet_pton(AF_INET6, host, &in6.sin6_addr);
    return sizeof in6;
  }
  auto& in = reinterpret_cast<sockaddr_in&>(*out);
  in = Address(host, port);
  return sizeof in;
}

Socket::Socket(int type, const char* from, const char* to,
               int receiveBuffer) {
  sockaddr_storage self;
  socklen_t length = AnyAddress(from, 0, &self);
  fd_ = socket(self.ss_family, type, 0);
  if (receiveBuffer > 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
               sizeof receiveBuffer);
  }
  bind(fd_, reinterpret_cast<sockaddr*>(&self), length);
  sockaddr_storage server;
  length = AnyAddress(to ? to : from, 111, &server);
  connected_ =
      connect(fd_, reinterpret_cast<sockaddr*>(&server), length) == 0;
}

Socket::~Socket() { close(fd_); }

void Socket::Send(const std::vector<std::uint8_t>& bytes) {
  send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::optional<std::vector<std::uint8_t>> Socket::Receive(int ms) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return std::nullopt;
  std::vector<std::uint8_t> bytes(65536);
  ssize_t n = recv(fd_, bytes.data(), bytes.size(), 0);
  bytes.resize(n > 0 ? n : 0);
  return bytes;
}

std::optional<std::vector<std::uint8_t>> Socket::ReceiveRecord(int ms) {
  auto markLength = [](const std::vector<std::uint8_t>& b) {
    return (std::uint32_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3]) &
           0x7FFFFFFFu;
  };
  std::vector<std::uint8_t> all;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (all.size() < 4 || all.size() - 4 < markLength(all)) {
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now())
            .count());
    auto part = Receive(std::max(left, 0));
    if (!part || part->empty()) return std::nullopt;
    all.insert(all.end(), part->begin(), part->end());
  }
  return std::vector<std::uint8_t>(all.begin() + 4, all.end());
}

std::vector<std::uint8_t> Record(const std::vector<std::uint8_t>& call) {
  std::vector<std::uint8_t> framed(4);
  std::uint32_t mark = 0x80000000u | static_cast<std::uint32_t>(call.size());
  for (int i = 0; i < 4; ++i) framed[i] = static_cast<std::uint8_t>(mark >> (24 - 8 * i));
  framed.insert(framed.end(), call.begin(), call.end());
  return framed;
}

bool Answers(int type, const char* from, const char* to, int ms) {
  const auto call =
      rpc_wire::Call(2, 3).Mapping(100000, 2, type == SOCK_DGRAM ? 17 : 6, 0);
  Socket s(type, from, to);
  if (!s.connected()) return false;
  std::optional<std::vector<std::uint8_t>> reply;
  if (type == SOCK_DGRAM) {
    for (int waited = 0; waited < ms && !reply; waited += 250) {
      s.Send(call.bytes);
      reply = s.Receive(std::min(250, ms - waited));
    }
  } else {
    s.Send(Record(call.bytes));
    reply = s.ReceiveRecord(ms);
  }
  if (!reply || reply->size() != 28) return false;
  rpc_wire::Reply r = rpc_wire::Parse(*reply);
  return r.state == 0 && r.status == 0 && r.U32() == 111;
}

long MillisecondsUntil(const std::function<bool()>& done, int ms) {
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&start] {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start)
            .count());
  };
  while (elapsed() < ms) {
    if (done()) return elapsed();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

void ServerTest::SetUp() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = Environment("TESSARD_WORK_DIR") + "/" + test->test_suite_name() +
         "." + test->name();
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
  std::string bin = Environment("TESSARD_BIN_DIR");
  for (const char* exe : {"tessardctl.exe", "tessard.exe"}) {
    std::filesystem::copy_file(bin + "/" + exe, dir_ + "/" + exe);
  }
  RemoveServices();
}

void ServerTest::TearDown() { RemoveServices(); }

int ServerTest::Ctl(const std::string& action, const std::string& a,
                    const std::string& b) {
  std::vector<std::string> argv = {"wine", "tessardctl.exe", "nogui", action,
                                   a};
  if (!b.empty()) argv.push_back(b);
  return RunProgram(argv, dir_).code;
}

ServiceState ServerTest::Query(const std::string& name) {
  Result r = RunProgram({"wine", "sc", "query", name}, dir_);
  ServiceState s;
  std::smatch m;
  static const std::regex kState(R"(STATE\s*:\s*(\d+))");
  static const std::regex kExit(R"(WIN32_EXIT_CODE\s*:\s*(\d+))");
  if (r.code == 0 && std::regex_search(r.output, m, kState)) {
    s.exists = true;
    s.state = std::stoi(m[1]);
    if (std::regex_search(r.output, m, kExit)) s.exitCode = std::stoul(m[1]);
    static const std::regex kCheckpoint(R"(CHECKPOINT\s*:\s*(0x[0-9a-fA-F]+|\d+))");
    if (std::regex_search(r.output, m, kCheckpoint)) {
      s.checkpoint = std::stoul(m[1], nullptr, 0);
    }
  }
  return s;
}

void ServerTest::RemoveServices() {
  for (const char* name : {kTcpService, kSpxService}) {
    if (!Query(name).exists) continue;
    RunProgram({"wine", "sc", "stop", name}, dir_);
    RunProgram({"wine", "sc", "delete", name}, dir_);
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Query(name).exists) {
      ASSERT_LT(std::chrono::steady_clock::now(), giveUp) << name << " stays";
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
}

Result ServerTest::Rpcinfo(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"rpcinfo"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, dir_, 30);
}

void ServerTest::SetSetting(const char* value, const char* type,
                            const std::string& data) {
  Result r = RunProgram({"wine", "reg", "add", kTcpParameters, "/v", value,
                         "/t", type, "/d", data, "/f"},
                        dir_, 30);
  ASSERT_EQ(r.code, 0) << value << ": " << r.output;
}

void ServerTest::DeleteSetting(const char* value) {
  Result r = RunProgram({"wine", "reg", "delete", kTcpParameters, "/v", value,
                         "/f"},
                        dir_, 30);
  ASSERT_EQ(r.code, 0) << value << ": " << r.output;
}

}  // namespace server_system
