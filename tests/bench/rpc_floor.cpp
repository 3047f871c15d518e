// The server benchmark's floor: a responder that does nothing but answer
// each call with a fixed reply (the call's xid copied in), built like
// tessard.exe, so that what Wine's sockets cost can be set apart from the
// server's work.   rpc_floor.exe UDP_THREADS PORT
// UDP: the threads block in recvfrom on one socket. TCP: a thread per
// connection, blocking in recv. Runs until the process is ended.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Accepted, successful replies of the load generator's two look-ups (xid
// 0): the port 111 for a version 2 call, an address for the others.
const std::uint8_t kPortReply[] = {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0, 0, 0, 111};
const std::uint8_t kAddressReply[] = {
    0, 0, 0, 0, 0, 0, 0, 1, 0,   0,   0,   0,   0,   0,   0,   0,
    0, 0, 0, 0, 0, 0, 0, 0, 0,   0,   0,   15,  '1', '2', '7', '.',
    '0', '.', '0', '.', '1', '.', '0', '.', '1', '1', '1', 0};

// The reply for a call of size bytes at call (empty for no call).
void Reply(const char* call, int size, std::vector<char>& out) {
  out.clear();
  if (size < 24) return;
  bool v2 = static_cast<std::uint8_t>(call[19]) == 2;
  const std::uint8_t* fixed = v2 ? kPortReply : kAddressReply;
  std::size_t length = v2 ? sizeof kPortReply : sizeof kAddressReply;
  out.assign(fixed, fixed + length);
  std::memcpy(out.data(), call, 4);
}

void ServeDatagrams(SOCKET s) {
  char call[8192];
  std::vector<char> reply;
  for (;;) {
    sockaddr_in from;
    int fromLength = sizeof from;
    int n = recvfrom(s, call, sizeof call, 0,
                     reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0) continue;
    Reply(call, n, reply);
    sendto(s, reply.data(), static_cast<int>(reply.size()), 0,
           reinterpret_cast<sockaddr*>(&from), fromLength);
  }
}

// Records of one fragment each, as the load generator sends them.
void ServeConnection(SOCKET s) {
  std::vector<char> in, reply;
  char chunk[4096];
  for (;;) {
    int n = recv(s, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    in.insert(in.end(), chunk, chunk + n);
    while (in.size() >= 4) {
      std::uint32_t mark;
      std::memcpy(&mark, in.data(), 4);
      std::size_t length = ntohl(mark) & 0x7fffffff;
      if (in.size() < 4 + length) break;
      Reply(in.data() + 4, static_cast<int>(length), reply);
      std::uint32_t out = htonl(0x80000000u | reply.size());
      reply.insert(reply.begin(), reinterpret_cast<char*>(&out),
                   reinterpret_cast<char*>(&out) + 4);
      send(s, reply.data(), static_cast<int>(reply.size()), 0);
      in.erase(in.begin(), in.begin() + 4 + length);
    }
  }
  closesocket(s);
}

}  // namespace

int main(int argc, char** argv) {
  int threads = argc > 1 ? std::atoi(argv[1]) : 4;
  u_short port = static_cast<u_short>(argc > 2 ? std::atoi(argv[2]) : 111);
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  SOCKET udp = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  SOCKET tcp = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(tcp, SOMAXCONN) != 0) {
    return WSAGetLastError();
  }
  for (int i = 0; i < threads; ++i) std::thread(ServeDatagrams, udp).detach();
  for (;;) {
    SOCKET s = accept(tcp, nullptr, nullptr);
    if (s == INVALID_SOCKET) continue;
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    std::thread(ServeConnection, s).detach();
  }
}
