// The sockets of remote calls on one of the machine's addresses: the
// forwarding socket, bound to the address on a port the system chooses
// (never below 1024), from which forwards leave so that a program sees a
// call from the address its caller called; and the sockets on which
// broadcasts (IPv4) and the rpcbind group ff02::202 (IPv6) reach the
// interface the address belongs to. One thread reads them all: the
// programs' replies, which it passes to their callers, and the broadcast
// calls, which it serves. Replies to callers leave from the
// address's port 111 socket, which the endpoint owns.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "caller.h"
#include "local_addresses.h"
#include "port_mapper.h"

namespace tessard {

class RemoteCallSockets {
 public:
  RemoteCallSockets(const LocalAddress& address, PortMapper& mapper);
  ~RemoteCallSockets();
  RemoteCallSockets(const RemoteCallSockets&) = delete;
  RemoteCallSockets& operator=(const RemoteCallSockets&) = delete;

  // Opens the forwarding socket and those broadcast and multicast sockets
  // the system lets us bind (docs/wine-notes.md: Wine and Windows differ).
  // `answerFrom` is the address's port 111 UDP socket. Returns 0, or the
  // forwarding socket's error: the address is then served without
  // remote calls.
  DWORD Open(SOCKET answerFrom);
  bool Start();
  void SignalStop();
  void Join();

  // Handles one datagram that came to this address (or to a broadcast or
  // multicast address of its interface: `destination`), from `from`:
  // answers it through the port 111 socket, or forwards it.
  void Serve(PortMapper::ReaderSlot& reader, const std::uint8_t* call,
             std::size_t size, const sockaddr_storage& from, int fromLength,
             const InetAddress& destination, std::vector<std::uint8_t>* reply);

 private:
  // The thread's buffers: what a socket gave, and the reply.
  struct Buffers {
    std::vector<std::uint8_t> received;
    std::vector<std::uint8_t> reply;
  };
  void ServeSockets();
  bool TakeReply(Buffers& buffers);
  bool TakeBroadcast(SOCKET s, LPFN_WSARECVMSG receive,
                     PortMapper::ReaderSlot& reader, Buffers& buffers);
  void OpenBroadcastSockets();

  LocalAddress address_;
  InetAddress served_;  // the address with port 111
  PortMapper& mapper_;
  SOCKET answerFrom_ = INVALID_SOCKET;
  SOCKET forwarding_ = INVALID_SOCKET;
  // Broadcasts and the multicast group, where the system lets us bind.
  std::vector<SOCKET> broadcasts_;
  std::atomic<bool> stopping_{false};
  HANDLE stopped_;  // set with stopping_
  std::thread thread_;
};

}  // namespace tessard
