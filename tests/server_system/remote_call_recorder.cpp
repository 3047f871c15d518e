// A small RPC program of the tests' own, which remote calls are forwarded
// to: it registers itself through the port mapper with libtirpc (svc_reg,
// as real servers do) and logs each call as the program sees it.
//   remote_call_recorder PROG VERS LOG [--bind ADDRESS]... [--delay-ms N]
// Binds UDP on each ADDRESS (default: the wildcard addresses of IPv4 and
// IPv6) on a port of the system's choice. Procedure 0 is NULL; any other
// takes a number n and answers n bytes of opaque data, after N ms with
// --delay-ms. LOG gets "ready" once registered, then a line
// "PROC HOST PORT FLAVOUR" for each call; SIGTERM unregisters.
#include <netdb.h>
#include <rpc/rpc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

FILE* log_ = nullptr;
unsigned delayMs_ = 0;

bool_t EncodeBlob(XDR* xdrs, std::vector<char>* blob) {
  char* data = blob->data();
  u_int size = static_cast<u_int>(blob->size());
  return xdr_bytes(xdrs, &data, &size, 4000);
}

void Dispatch(svc_req* request, SVCXPRT* xprt) {
  const netbuf* caller = svc_getrpccaller(xprt);
  char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "0";
  getnameinfo(static_cast<const sockaddr*>(caller->buf), caller->len, host,
              sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  std::fprintf(log_, "%u %s %s %d\n", static_cast<unsigned>(request->rq_proc),
               host, port, request->rq_cred.oa_flavor);
  std::fflush(log_);
  if (request->rq_proc == 0) {
    svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_void), nullptr);
    return;
  }
  u_int size = 0;
  if (!svc_getargs(xprt, reinterpret_cast<xdrproc_t>(xdr_u_int),
                   reinterpret_cast<char*>(&size)) ||
      size > 4000) {
    svcerr_decode(xprt);
    return;
  }
  usleep(delayMs_ * 1000);
  std::vector<char> blob(size, 'r');
  svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(EncodeBlob),
                reinterpret_cast<char*>(&blob));
}

void Stop(int) { svc_exit(); }

// A UDP transport bound to port 0 of `bind`, registered through the port
// mapper; nullptr when that fails.
SVCXPRT* Register(rpcprog_t prog, rpcvers_t vers, const char* bind) {
  netconfig* nconf = getnetconfigent(std::strchr(bind, ':') ? "udp6" : "udp");
  addrinfo hints = {};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* at = nullptr;
  SVCXPRT* xprt = nullptr;
  if (nconf && getaddrinfo(bind, "0", &hints, &at) == 0) {
    t_bind where = {};
    where.addr = {at->ai_addrlen, at->ai_addrlen, at->ai_addr};
    xprt = svc_tli_create(RPC_ANYFD, nconf, &where, 0, 0);
    if (xprt && !svc_reg(xprt, prog, vers, Dispatch, nconf)) {
      svc_destroy(xprt);
      xprt = nullptr;
    }
    freeaddrinfo(at);
  }
  if (nconf) freenetconfigent(nconf);
  return xprt;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || !(log_ = std::fopen(argv[3], "a"))) {
    std::fprintf(stderr,
                 "usage: %s PROG VERS LOG [--bind ADDRESS]... "
                 "[--delay-ms N]\n",
                 argv[0]);
    return 2;
  }
  const rpcprog_t prog = std::strtoul(argv[1], nullptr, 10);
  const rpcvers_t vers = std::strtoul(argv[2], nullptr, 10);
  std::vector<const char*> binds;
  for (int i = 4; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--bind") == 0) binds.push_back(argv[i + 1]);
    if (std::strcmp(argv[i], "--delay-ms") == 0) {
      delayMs_ = std::atoi(argv[i + 1]);
    }
  }
  if (binds.empty()) binds = {"0.0.0.0", "::"};
  std::vector<SVCXPRT*> transports;
  for (const char* bind : binds) {
    transports.push_back(Register(prog, vers, bind));
    if (!transports.back()) {
      std::fprintf(stderr, "cannot register %s %s on %s\n", argv[1], argv[2],
                   bind);
      return 1;
    }
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
