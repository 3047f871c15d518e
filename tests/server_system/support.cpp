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
#include <stdexcept>
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
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::vector<std::uint8_t> pending, record;
  auto need = [&](std::size_t bytes) {
    while (pending.size() < bytes) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(
              deadline - std::chrono::steady_clock::now())
              .count());
      auto part = Receive(std::max(left, 0));
      if (!part || part->empty()) return false;
      pending.insert(pending.end(), part->begin(), part->end());
    }
    return true;
  };
  for (bool last = false; !last;) {
    if (!need(4)) return std::nullopt;
    std::uint32_t mark = std::uint32_t{pending[0]} << 24 | pending[1] << 16 |
                         pending[2] << 8 | pending[3];
    last = (mark & 0x80000000u) != 0;
    std::size_t length = mark & 0x7FFFFFFFu;
    if (!need(4 + length)) return std::nullopt;
    record.insert(record.end(), pending.begin() + 4,
                  pending.begin() + 4 + length);
    pending.erase(pending.begin(), pending.begin() + 4 + length);
  }
  return record;
}

std::vector<std::uint8_t> Record(const std::vector<std::uint8_t>& call) {
  std::vector<std::uint8_t> framed(4);
  std::uint32_t mark = 0x80000000u | static_cast<std::uint32_t>(call.size());
  for (int i = 0; i < 4; ++i) framed[i] = static_cast<std::uint8_t>(mark >> (24 - 8 * i));
  framed.insert(framed.end(), call.begin(), call.end());
  return framed;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

std::optional<std::vector<Listed>> Dump() {
  Socket tcp(SOCK_STREAM, "127.0.0.1");
  tcp.Send(Record(rpc_wire::Call(4, 4).bytes));
  auto reply = tcp.ReceiveRecord(10000);
  if (!reply) return std::nullopt;
  rpc_wire::Reply r = rpc_wire::Parse(*reply);
  if (r.state != 0 || r.status != 0) return std::nullopt;
  std::vector<Listed> listed;
  try {
    while (r.U32() == 1) {
      Listed e;
      e.prog = r.U32();
      e.vers = r.U32();
      e.netid = r.Str();
      e.uaddr = r.Str();
      e.owner = r.Str();
      listed.push_back(e);
    }
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
  if (!r.Done()) return std::nullopt;
  return listed;
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

std::optional<std::map<std::string, std::string>> ServerTest::RegistryValues(
    const std::string& key) {
  // Wine's reg.exe now and then fails a query of a key that is there:
  // only "Unable to find" says the key is absent; anything else is asked
  // again.
  Result r = RunProgram({"wine", "reg", "query", key}, dir_);
  for (int again = 0; r.code != 0 && again < 3; ++again) {
    if (r.output.find("Unable to find") != std::string::npos) {
      return std::nullopt;
    }
    r = RunProgram({"wine", "reg", "query", key}, dir_);
  }
  if (r.code != 0) return std::nullopt;
  // "    NAME    TYPE    DATA", a line each, the name with its spaces.
  std::map<std::string, std::string> values;
  std::istringstream lines(r.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("    ", 0) != 0) continue;
    std::size_t type = line.find("    REG_", 4);
    if (type == std::string::npos) continue;
    std::size_t data = line.find("    ", type + 4);
    values[line.substr(4, type - 4)] =
        data == std::string::npos ? "" : line.substr(data + 4);
  }
  return values;
}

bool ServerTest::RegistryAdd(const std::string& key, const std::string& name,
                             const std::vector<std::uint8_t>& bytes) {
  return RunProgram({"wine", "reg", "add", key, "/v", name, "/t",
                     "REG_BINARY", "/d", Hex(bytes), "/f"},
                    dir_)
             .code == 0;
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
