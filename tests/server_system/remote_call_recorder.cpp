// A small RPC program of the tests' own, which remote calls are forwarded
// to: it registers itself through the port mapper with libtirpc (svc_reg,
// as real servers do) and writes a line for every call it receives, with
// the caller's address and credential flavour, so that a test sees what a
// forward looked like from the program's side.
//   remote_call_recorder PROG VERS LOG [--bind ADDRESS]... [--delay-ms N]
// Binds UDP on each ADDRESS given (default: the wildcard addresses of IPv4
// and IPv6) on a port of the system's choice. Procedures:
//   0  NULL
//   1  a number: answers it plus one, after N ms with --delay-ms
//   2  a number n: answers n bytes of opaque data (a large reply)
// Each call: "call PROC from ADDRESS PORT flavour F uid U" (uid for
// AUTH_SYS, else -1). "ready" once registered; it runs until SIGTERM,
// then unregisters.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <rpc/rpc.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

FILE* log_ = nullptr;
unsigned delayMs_ = 0;

void Note(SVCXPRT* xprt, svc_req* request) {
  const netbuf* caller = svc_getrpccaller(xprt);
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (caller && caller->len >= sizeof(sockaddr_in)) {
    const auto* any = static_cast<const sockaddr*>(caller->buf);
    if (any->sa_family == AF_INET) {
      const auto* in = static_cast<const sockaddr_in*>(caller->buf);
      inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      port = ntohs(in->sin_port);
    } else if (any->sa_family == AF_INET6) {
      const auto* in6 = static_cast<const sockaddr_in6*>(caller->buf);
      inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
      port = ntohs(in6->sin6_port);
    }
  }
  long uid = -1;
  if (request->rq_cred.oa_flavor == AUTH_SYS && request->rq_clntcred) {
    uid = static_cast<long>(
        static_cast<authunix_parms*>(request->rq_clntcred)->aup_uid);
  }
  std::fprintf(log_, "call %u from %s %u flavour %d uid %ld\n",
               static_cast<unsigned>(request->rq_proc), host, port,
               request->rq_cred.oa_flavor, uid);
  std::fflush(log_);
}

void Dispatch(svc_req* request, SVCXPRT* xprt) {
  Note(xprt, request);
  switch (request->rq_proc) {
    case 0:
      svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_void), nullptr);
      return;
    case 1: {
      u_int number = 0;
      if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdr_u_int),
                       reinterpret_cast<char*>(&number))) {
        svcerr_decode(xprt);
        return;
      }
      if (delayMs_) usleep(delayMs_ * 1000);
      number += 1;
      svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_u_int),
                    reinterpret_cast<char*>(&number));
      return;
    }
    case 2: {
      u_int size = 0;
      if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdr_u_int),
                       reinterpret_cast<char*>(&size)) ||
          size > 4000) {
        svcerr_decode(xprt);
        return;
      }
      std::vector<char> bytes(size, 'r');
      char* data = bytes.data();
      struct Blob {
        char* data;
        u_int size;
      } blob{data, size};
      auto encode = [](XDR* xdrs, void* p) -> bool_t {
        auto* b = static_cast<Blob*>(p);
        return xdr_bytes(xdrs, &b->data, &b->size, 4000);
      };
      svc_sendreply(xprt,
                    reinterpret_cast<xdrproc_t>(
                        static_cast<bool_t (*)(XDR*, void*)>(encode)),
                    reinterpret_cast<char*>(&blob));
      return;
    }
    default:
      svcerr_noproc(xprt);
  }
}

void Stop(int) { svc_exit(); }

// A UDP transport bound to `bind` (IPv6 when it has a colon) on a port of
// the system's choice, registered through the port mapper; nullptr when
// that fails.
SVCXPRT* Register(rpcprog_t prog, rpcvers_t vers, const std::string& bind) {
  const bool v6 = bind.find(':') != std::string::npos;
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
  sockaddr_storage at = {};
  socklen_t length;
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&at);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, bind.c_str(), &in6->sin6_addr);
    int only = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    length = sizeof *in6;
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&at);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, bind.c_str(), &in->sin_addr);
    length = sizeof *in;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), length) != 0) {
    std::perror("bind");
    return nullptr;
  }
  SVCXPRT* xprt = svc_dg_create(fd, 0, 0);
  netconfig* nconf = getnetconfigent(v6 ? "udp6" : "udp");
  bool registered = xprt && nconf && svc_reg(xprt, prog, vers, Dispatch, nconf);
  if (nconf) freenetconfigent(nconf);
  return registered ? xprt : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s PROG VERS LOG [--bind ADDRESS] [--delay-ms N]\n",
                 argv[0]);
    return 2;
  }
  const rpcprog_t prog = std::strtoul(argv[1], nullptr, 10);
  const rpcvers_t vers = std::strtoul(argv[2], nullptr, 10);
  log_ = std::fopen(argv[3], "a");
  if (!log_) return 2;
  std::vector<std::string> binds;
  for (int i = 4; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--bind") == 0) binds.push_back(argv[i + 1]);
    if (std::strcmp(argv[i], "--delay-ms") == 0) {
      delayMs_ = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
  }
  if (binds.empty()) binds = {"0.0.0.0", "::"};
  std::vector<SVCXPRT*> transports;
  for (const std::string& bind : binds) {
    SVCXPRT* xprt = Register(prog, vers, bind);
    if (!xprt) {
      std::fprintf(stderr, "cannot register %lu %lu on %s\n",
                   static_cast<unsigned long>(prog),
                   static_cast<unsigned long>(vers), bind.c_str());
      return 1;
    }
    transports.push_back(xprt);
  }
  signal(SIGTERM, Stop);
  signal(SIGINT, Stop);
  std::fprintf(log_, "ready\n");
  std::fflush(log_);
  svc_run();
  svc_unreg(prog, vers);
  for (SVCXPRT* xprt : transports) svc_destroy(xprt);
  return 0;
}
