// Sockets: connected stream or message sockets, listening sockets (TCP on the wildcard IPv4
// address, or a local message socket in the abstract namespace) and the client side of the local
// control socket. Every socket is created close-on-exec and never raises SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace orbitrace {

enum class PollResult { Ready, Timeout, Failed };

// A connected socket. It owns its descriptor and closes it when destroyed.
class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Valid() const { return fd_ >= 0; }

  // Waits up to `timeoutMs` for data (or the peer's close) to be readable.
  PollResult WaitReadable(uint32_t timeoutMs);
  // One receive of at most `size` bytes: the byte count, 0 when the peer closed (or sent an
  // empty message), -1 on failure. On a message socket a longer message is cut to `size`.
  long Receive(void* buffer, size_t size);
  // One receive that waits at most `timeoutMs` (0 waits without limit): the byte count, 0 when
  // the peer closed, kReceiveTimedOut when nothing arrived in time, kReceiveWaitFailed when the
  // wait could not be set up, -1 when the receive failed.
  static constexpr long kReceiveTimedOut = -2;
  static constexpr long kReceiveWaitFailed = -3;
  long ReceiveWithin(void* buffer, size_t size, uint32_t timeoutMs);
  // The same, for a peer that is expected to have sent already: takes what has arrived with one
  // call and waits (up to `timeoutMs`, 0 without limit) only when nothing is there yet.
  long ReceiveOrWait(void* buffer, size_t size, uint32_t timeoutMs);
  // Sends every byte, with as many sends as the kernel needs. False on failure.
  bool SendAll(const void* data, size_t size);
  bool SendAll(std::string_view data) { return SendAll(data.data(), data.size()); }
  // Sends every byte, waiting at most `timeoutMs` each time the socket's buffer is full: a peer
  // that takes nothing for that long fails the send. False on failure.
  bool SendAllWithin(const void* data, size_t size, uint32_t timeoutMs);
  // Sends `data` as one message of a message socket (an empty message too).
  bool SendMessage(std::string_view data);

  // The peer's IPv4 address in dotted form and its port; false when it cannot be learned.
  bool PeerAddress(std::string& address, uint16_t& port) const;

  // Ends both directions; the descriptor stays open until Close().
  void Shutdown();
  void Close();

  // The error number of the last failed call on this socket.
  int LastError() const { return lastError_; }

 private:
  friend class ListeningSocket;
  friend Socket ConnectControlSocket(const std::string& name, uint32_t timeoutMs);
  explicit Socket(int fd) : fd_(fd) {}
  // Waits up to `timeoutMs` (0: without limit) for `events`.
  PollResult WaitFor(short events, uint32_t timeoutMs);

  int fd_ = -1;
  int lastError_ = 0;
  uint32_t receiveTimeoutMs_ = 0;  // the SO_RCVTIMEO in force (0: none)
  // The IPv4 peer as accept() gave it (network byte order), so that asking for it costs nothing.
  bool peerKnown_ = false;
  uint32_t peerAddress_ = 0;
  uint16_t peerPort_ = 0;
};

enum class ListenResult { Ok, SocketFailed, BindFailed, ListenFailed };

// A listening socket. Accept() runs on the owning thread; Shutdown() may be called from any
// thread and wakes an Accept() that waits for a client.
class ListeningSocket {
 public:
  ListeningSocket() = default;
  ~ListeningSocket();
  ListeningSocket(const ListeningSocket&) = delete;
  ListeningSocket& operator=(const ListeningSocket&) = delete;

  // IPv4 TCP on the wildcard address and `port`, address reuse on, the largest backlog.
  ListenResult OpenTcp(uint16_t port);
  // A local message socket (SOCK_SEQPACKET) named `name` in the abstract namespace.
  ListenResult OpenLocal(const std::string& name, int backlog);

  // Waits for a client; an invalid Socket when accepting failed or the socket was shut down.
  Socket Accept();
  int LastError() const;

  // Wakes a waiting Accept() and makes every later one fail. Safe from any thread, also before
  // the socket is opened (it is then shut down as soon as it is).
  void Shutdown();
  void Close();

  // The bound TCP port (0 when not open).
  uint16_t LocalPort() const;

 private:
  ListenResult Finish(int fd, ListenResult result);

  mutable std::mutex mu_;
  int fd_ = -1;
  bool shutdown_ = false;
  int lastError_ = 0;
};

// Connects to the local message socket `name` (abstract namespace). Waits at most `timeoutMs`
// for room in the server's queue; an invalid Socket when nobody listens or the wait ran out.
Socket ConnectControlSocket(const std::string& name, uint32_t timeoutMs);

}  // namespace orbitrace
