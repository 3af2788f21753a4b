#include "platform/Socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace orbitrace {

namespace {

// Fills an abstract-namespace address (leading zero byte, no terminator); its length in `len`.
bool AbstractAddress(const std::string& name, sockaddr_un& addr, socklen_t& len) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  if (name.empty() || name.size() + 1 > sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

timeval ToTimeval(uint32_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  return tv;
}

}  // namespace

// ---- Socket ----

Socket::~Socket() {
  Close();
}

Socket::Socket(Socket&& other) noexcept
    : fd_(other.fd_),
      lastError_(other.lastError_),
      receiveTimeoutMs_(other.receiveTimeoutMs_),
      peerKnown_(other.peerKnown_),
      peerAddress_(other.peerAddress_),
      peerPort_(other.peerPort_) {
  other.fd_ = -1;
}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    lastError_ = other.lastError_;
    receiveTimeoutMs_ = other.receiveTimeoutMs_;
    peerKnown_ = other.peerKnown_;
    peerAddress_ = other.peerAddress_;
    peerPort_ = other.peerPort_;
    other.fd_ = -1;
  }
  return *this;
}

PollResult Socket::WaitReadable(uint32_t timeoutMs) {
  return WaitFor(POLLIN, timeoutMs);
}

PollResult Socket::WaitFor(short events, uint32_t timeoutMs) {
  if (fd_ < 0) return PollResult::Failed;
  pollfd p{fd_, events, 0};
  const int timeout = timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeoutMs);
  int rc;
  do {
    rc = ::poll(&p, 1, timeout);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    lastError_ = errno;
    return PollResult::Failed;
  }
  if (rc == 0) return PollResult::Timeout;
  // A hang-up or an error is "readable": the next receive reports it.
  return PollResult::Ready;
}

long Socket::Receive(void* buffer, size_t size) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return -1;
  }
  ssize_t n;
  do {
    n = ::recv(fd_, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) lastError_ = errno;
  return static_cast<long>(n);
}

long Socket::ReceiveWithin(void* buffer, size_t size, uint32_t timeoutMs) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return kReceiveWaitFailed;
  }
  // The receive itself waits (one system call per message instead of a wait and a receive);
  // the time-out is set only when it changes.
  if (timeoutMs != receiveTimeoutMs_) {
    const timeval tv = ToTimeval(timeoutMs);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
      lastError_ = errno;
      return kReceiveWaitFailed;
    }
    receiveTimeoutMs_ = timeoutMs;
  }
  ssize_t n;
  do {
    n = ::recv(fd_, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kReceiveTimedOut;
    lastError_ = errno;
  }
  return static_cast<long>(n);
}

long Socket::ReceiveOrWait(void* buffer, size_t size, uint32_t timeoutMs) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return kReceiveWaitFailed;
  }
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      lastError_ = errno;
      return -1;
    }
    switch (WaitFor(POLLIN, timeoutMs == 0 ? 0x7FFFFFFFu : timeoutMs)) {
      case PollResult::Ready:
        break;
      case PollResult::Timeout:
        return kReceiveTimedOut;
      case PollResult::Failed:
        return kReceiveWaitFailed;
    }
  }
}

bool Socket::SendAllWithin(const void* data, size_t size, uint32_t timeoutMs) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return false;
  }
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      p += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      lastError_ = errno;
      return false;
    }
    const PollResult room = WaitFor(POLLOUT, timeoutMs == 0 ? 0x7FFFFFFFu : timeoutMs);
    if (room == PollResult::Timeout) lastError_ = ETIMEDOUT;
    if (room != PollResult::Ready) return false;
  }
  return true;
}

bool Socket::SendAll(const void* data, size_t size) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return false;
  }
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Socket::SendMessage(std::string_view data) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return false;
  }
  ssize_t n;
  do {
    n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    lastError_ = errno;
    return false;
  }
  return static_cast<size_t>(n) == data.size();
}

bool Socket::PeerAddress(std::string& address, uint16_t& port) const {
  sockaddr_in addr{};
  if (peerKnown_) {
    addr.sin_addr.s_addr = peerAddress_;
    addr.sin_port = peerPort_;
  } else {
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        addr.sin_family != AF_INET) {
      return false;
    }
  }
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text) == nullptr) return false;
  address = text;
  port = ntohs(addr.sin_port);
  return true;
}

void Socket::Shutdown() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void Socket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

// ---- ListeningSocket ----

ListeningSocket::~ListeningSocket() {
  Close();
}

ListenResult ListeningSocket::Finish(int fd, ListenResult result) {
  const int err = errno;
  std::lock_guard<std::mutex> lock(mu_);
  if (result != ListenResult::Ok) {
    lastError_ = err;
    if (fd >= 0) ::close(fd);
    return result;
  }
  fd_ = fd;
  // A stop that came before the socket existed still applies to it.
  if (shutdown_) ::shutdown(fd_, SHUT_RDWR);
  return result;
}

ListenResult ListeningSocket::OpenTcp(uint16_t port) {
  Close();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return Finish(fd, ListenResult::SocketFailed);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    return Finish(fd, ListenResult::BindFailed);
  if (::listen(fd, SOMAXCONN) != 0) return Finish(fd, ListenResult::ListenFailed);
  return Finish(fd, ListenResult::Ok);
}

ListenResult ListeningSocket::OpenLocal(const std::string& name, int backlog) {
  Close();
  sockaddr_un addr;
  socklen_t len = 0;
  if (!AbstractAddress(name, addr, len)) {
    errno = ENAMETOOLONG;
    return Finish(-1, ListenResult::BindFailed);
  }
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return Finish(fd, ListenResult::SocketFailed);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0)
    return Finish(fd, ListenResult::BindFailed);
  if (::listen(fd, backlog) != 0) return Finish(fd, ListenResult::ListenFailed);
  return Finish(fd, ListenResult::Ok);
}

Socket ListeningSocket::Accept() {
  int fd;
  {
    std::lock_guard<std::mutex> lock(mu_);
    fd = fd_;
  }
  if (fd < 0) {
    std::lock_guard<std::mutex> lock(mu_);
    lastError_ = EBADF;
    return Socket();
  }
  int client;
  sockaddr_storage peer{};
  socklen_t peerLength;
  do {
    peerLength = sizeof peer;
    client = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
  } while (client < 0 && errno == EINTR);
  if (client < 0) {
    const int err = errno;
    std::lock_guard<std::mutex> lock(mu_);
    lastError_ = err;
    return Socket();
  }
  Socket accepted(client);
  if (peer.ss_family == AF_INET && peerLength >= sizeof(sockaddr_in)) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
    accepted.peerKnown_ = true;
    accepted.peerAddress_ = in->sin_addr.s_addr;
    accepted.peerPort_ = in->sin_port;
  }
  return accepted;
}

int ListeningSocket::LastError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastError_;
}

void ListeningSocket::Shutdown() {
  std::lock_guard<std::mutex> lock(mu_);
  shutdown_ = true;
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void ListeningSocket::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

uint16_t ListeningSocket::LocalPort() const {
  std::lock_guard<std::mutex> lock(mu_);
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      addr.sin_family != AF_INET) {
    return 0;
  }
  return ntohs(addr.sin_port);
}

// ---- control socket client ----

Socket ConnectControlSocket(const std::string& name, uint32_t timeoutMs) {
  sockaddr_un addr;
  socklen_t len = 0;
  if (!AbstractAddress(name, addr, len)) return Socket();
  Socket s(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!s.Valid()) return Socket();
  // The send time-out also bounds the wait in connect() while the server's queue is full.
  const timeval tv = ToTimeval(timeoutMs);
  ::setsockopt(s.fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc;
  do {
    rc = ::connect(s.fd_, reinterpret_cast<const sockaddr*>(&addr), len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return Socket();
  return s;
}

}  // namespace orbitrace
