// BSD sockets with Winsock's error numbers and the few Winsock behaviours the
// service relies on (oversized datagrams fail, receive time-outs are 10060).
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_set>

#include "platform/posix/retry_interrupted.h"

namespace platform {
namespace {

// Winsock numbers that the shared header does not name.
constexpr int kWsaEalready = 10037;
constexpr int kWsaEdestaddrreq = 10039;
constexpr int kWsaEprototype = 10041;
constexpr int kWsaEnoprotoopt = 10042;
constexpr int kWsaEprotonosupport = 10043;
constexpr int kWsaEsocktnosupport = 10044;
constexpr int kWsaEafnosupport = 10047;
constexpr int kWsaEnetreset = 10052;
constexpr int kWsaEisconn = 10056;
constexpr int kWsaEhostdown = 10064;

// Windows gives up after ten unanswered keep-alive probes; Linux after nine.
constexpr int kKeepAliveProbes = 10;

// As many sockets as one Wait takes (a relay waits on two).
constexpr int kMaxWaitEntries = 8;

thread_local int lastSocketError = 0;

// Sockets shut down and not yet closed. Linux fails an accept on such a
// socket with EINVAL, the answer for "never listened"; Winsock reports the
// ended call as interrupted, and the stop's log lines should read the same.
std::mutex shutDownMutex;
std::unordered_set<int> shutDownSockets;

bool WasShutDown(int fd) {
  std::lock_guard<std::mutex> guard(shutDownMutex);
  return shutDownSockets.count(fd) != 0;
}

int TranslateErrno(int error) {
  switch (error) {
    case EINTR:
      return kWsaEintr;
    // A closed or never-opened handle: Winsock says "not a socket".
    case EBADF:
      return kWsaEnotsock;
    case ENOTSOCK:
      return kWsaEnotsock;
    case EACCES:
      return kWsaEacces;
    case EPERM:
      return kWsaEacces;
    case EFAULT:
      return kWsaEfault;
    case EINVAL:
      return kWsaEinval;
    case EMFILE:
      return kWsaEmfile;
    case ENFILE:
      return kWsaEmfile;
    case EAGAIN:
      return kWsaEwouldblock;
    case EINPROGRESS:
      return kWsaEinprogress;
    case EALREADY:
      return kWsaEalready;
    case EDESTADDRREQ:
      return kWsaEdestaddrreq;
    case EMSGSIZE:
      return kWsaEmsgsize;
    case EPROTOTYPE:
      return kWsaEprototype;
    case ENOPROTOOPT:
      return kWsaEnoprotoopt;
    case EPROTONOSUPPORT:
      return kWsaEprotonosupport;
    case ESOCKTNOSUPPORT:
      return kWsaEsocktnosupport;
    case EOPNOTSUPP:
      return kWsaEopnotsupp;
    case EAFNOSUPPORT:
      return kWsaEafnosupport;
    case EADDRINUSE:
      return kWsaEaddrinuse;
    case EADDRNOTAVAIL:
      return kWsaEaddrnotavail;
    case ENETDOWN:
      return kWsaEnetdown;
    case ENETUNREACH:
      return kWsaEnetunreach;
    case ENETRESET:
      return kWsaEnetreset;
    case ECONNABORTED:
      return kWsaEconnaborted;
    case ECONNRESET:
      return kWsaEconnreset;
    // Writing to a connection the peer has reset.
    case EPIPE:
      return kWsaEconnreset;
    case ENOBUFS:
      return kWsaEnobufs;
    case ENOMEM:
      return kWsaEnobufs;
    case EISCONN:
      return kWsaEisconn;
    case ENOTCONN:
      return kWsaEnotconn;
    case ESHUTDOWN:
      return kWsaEshutdown;
    case ETIMEDOUT:
      return kWsaEtimedout;
    case ECONNREFUSED:
      return kWsaEconnrefused;
    case EHOSTDOWN:
      return kWsaEhostdown;
    case EHOSTUNREACH:
      return kWsaEhostunreach;
    default:
      return kWsaEinval;
  }
}

int Fail(int wsaError) {
  lastSocketError = wsaError;
  return kSocketError;
}

int FailWithErrno() { return Fail(TranslateErrno(errno)); }

// Blocking sockets only time out through SO_RCVTIMEO, which Winsock reports
// as 10060 rather than "would block".
int FailReceive() { return Fail(errno == EAGAIN ? kWsaEtimedout : TranslateErrno(errno)); }

int Fd(SocketHandle s) { return static_cast<int>(s); }

sockaddr_in ToSockaddr(const Endpoint& endpoint) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(endpoint.address);
  address.sin_port = htons(endpoint.port);
  return address;
}

Endpoint FromSockaddr(const sockaddr_in& address) {
  return Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

int SetIntOption(SocketHandle s, int level, int name, int value) {
  if (setsockopt(Fd(s), level, name, &value, sizeof value) != 0) return FailWithErrno();
  return 0;
}

class CPosixSocketApi : public ISocketApi {
 public:
  int Startup() override { return 0; }

  SocketHandle Open(SocketKind kind) override {
    const bool stream = kind == SocketKind::kStream;
    int fd = socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC,
                    stream ? IPPROTO_TCP : IPPROTO_UDP);
    if (fd < 0) {
      FailWithErrno();
      return kInvalidSocket;
    }
    // Windows lets a listener bind a port whose old connections linger in
    // TIME_WAIT; on Linux that takes SO_REUSEADDR, which for TCP still refuses
    // a second listener, so port conflicts are reported as before.
    if (stream) {
      int on = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    return static_cast<SocketHandle>(fd);
  }

  int Bind(SocketHandle s, const Endpoint& local) override {
    sockaddr_in address = ToSockaddr(local);
    if (bind(Fd(s), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      return FailWithErrno();
    }
    return 0;
  }

  int GetSockName(SocketHandle s, Endpoint& local) override {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return FailWithErrno();
    }
    local = FromSockaddr(address);
    return 0;
  }

  int Listen(SocketHandle s, int backlog) override {
    if (listen(Fd(s), backlog) != 0) return FailWithErrno();
    return 0;
  }

  SocketHandle Accept(SocketHandle s) override {
    int fd =
        posix::RetryInterrupted([&] { return accept4(Fd(s), nullptr, nullptr, SOCK_CLOEXEC); });
    if (fd < 0) {
      if (errno == EINVAL && WasShutDown(Fd(s))) {
        Fail(kWsaEintr);
      } else {
        FailReceive();
      }
      return kInvalidSocket;
    }
    return static_cast<SocketHandle>(fd);
  }

  int Connect(SocketHandle s, const Endpoint& remote) override {
    sockaddr_in address = ToSockaddr(remote);
    if (connect(Fd(s), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno != EINTR) return FailWithErrno();
    // An interrupted connect goes on in the background; wait for its outcome
    // instead of starting it again.
    pollfd waiter{Fd(s), POLLOUT, 0};
    if (posix::RetryInterrupted([&] { return poll(&waiter, 1, -1); }) < 0) return FailWithErrno();
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return FailWithErrno();
    if (error != 0) return Fail(TranslateErrno(error));
    return 0;
  }

  int Recv(SocketHandle s, void* buffer, int length) override {
    if (length < 0) return Fail(kWsaEinval);
    ssize_t n = posix::RetryInterrupted(
        [&] { return recv(Fd(s), buffer, static_cast<std::size_t>(length), 0); });
    if (n < 0) return FailReceive();
    return static_cast<int>(n);
  }

  // A blocking send on Winsock returns only when everything is queued; keep
  // going after a partial write so callers see the same.
  int Send(SocketHandle s, const void* data, int length) override {
    if (length < 0) return Fail(kWsaEinval);
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    do {
      ssize_t n = posix::RetryInterrupted([&] {
        return send(Fd(s), bytes + sent, static_cast<std::size_t>(length - sent), MSG_NOSIGNAL);
      });
      if (n < 0) {
        // A send time-out (SO_SNDTIMEO) is 10060 on Winsock, not "would block".
        FailReceive();
        if (sent > 0) break;
        return kSocketError;
      }
      sent += static_cast<int>(n);
    } while (sent < length);
    return sent;
  }

  // Winsock fails a datagram that does not fit with 10040 (having filled the
  // buffer and consumed the datagram); MSG_TRUNC makes Linux tell the real
  // length so the same can be reported. A receive woken by Shutdown returns
  // no sender address, which tells it apart from an empty datagram; Winsock
  // fails such an interrupted call.
  int RecvFrom(SocketHandle s, void* buffer, int length, Endpoint& from) override {
    if (length < 0) return Fail(kWsaEinval);
    sockaddr_in address{};
    socklen_t addressLength = 0;
    ssize_t n = posix::RetryInterrupted([&] {
      addressLength = sizeof address;
      return recvfrom(Fd(s), buffer, static_cast<std::size_t>(length), MSG_TRUNC,
                      reinterpret_cast<sockaddr*>(&address), &addressLength);
    });
    if (n < 0) return FailReceive();
    if (addressLength >= sizeof(sockaddr_in)) from = FromSockaddr(address);
    if (n > length) return Fail(kWsaEmsgsize);
    if (n == 0 && addressLength == 0) return Fail(kWsaEintr);
    return static_cast<int>(n);
  }

  int SendTo(SocketHandle s, const void* data, int length, const Endpoint& to) override {
    if (length < 0) return Fail(kWsaEinval);
    sockaddr_in address = ToSockaddr(to);
    ssize_t n = posix::RetryInterrupted([&] {
      return sendto(Fd(s), data, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                    reinterpret_cast<sockaddr*>(&address), sizeof address);
    });
    if (n < 0) return FailWithErrno();
    return static_cast<int>(n);
  }

  // Linux wakes threads blocked in accept, recv and recvfrom on this socket
  // (an unconnected UDP socket included, although it reports ENOTCONN).
  int Shutdown(SocketHandle s) override {
    {
      std::lock_guard<std::mutex> guard(shutDownMutex);
      shutDownSockets.insert(Fd(s));
    }
    if (shutdown(Fd(s), SHUT_RDWR) != 0) return FailWithErrno();
    return 0;
  }

  int Close(SocketHandle s) override {
    {
      std::lock_guard<std::mutex> guard(shutDownMutex);
      shutDownSockets.erase(Fd(s));
    }
    // Linux closes the descriptor even when close reports EINTR; retrying
    // could close a descriptor another thread has just opened.
    if (close(Fd(s)) != 0 && errno != EINTR) return FailWithErrno();
    return 0;
  }

  int BytesReadable(SocketHandle s, std::uint32_t& count) override {
    int available = 0;
    if (ioctl(Fd(s), FIONREAD, &available) != 0) return FailWithErrno();
    count = static_cast<std::uint32_t>(available);
    return 0;
  }

  int SetKeepAlive(SocketHandle s, std::uint32_t on, std::uint32_t timeMs,
                   std::uint32_t intervalMs) override {
    if (SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, on != 0 ? 1 : 0) != 0) return kSocketError;
    if (on == 0) return 0;
    if (SetIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, WholeSeconds(timeMs)) != 0) return kSocketError;
    if (SetIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, WholeSeconds(intervalMs)) != 0) {
      return kSocketError;
    }
    return SetIntOption(s, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
  }

  int SetNoDelay(SocketHandle s, bool on) override {
    return SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
  }

  int SetBroadcast(SocketHandle s, bool on) override {
    return SetIntOption(s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0);
  }

  int SetReuseAddress(SocketHandle s, bool on) override {
    return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
  }

  int SetReceiveTimeout(SocketHandle s, std::uint32_t ms) override {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(ms / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (setsockopt(Fd(s), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
      return FailWithErrno();
    }
    return 0;
  }

  int LastError() override { return lastSocketError; }

  int SetSendTimeout(SocketHandle s, std::uint32_t ms) override {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(ms / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (setsockopt(Fd(s), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
      return FailWithErrno();
    }
    return 0;
  }

  // Non-blocking connect and a poll for its outcome, the way Winsock's
  // event-select connect behaves; the socket is blocking again either way.
  int ConnectWithin(SocketHandle s, const Endpoint& remote, std::uint32_t timeoutMs) override {
    const int flags = fcntl(Fd(s), F_GETFL);
    if (flags < 0 || fcntl(Fd(s), F_SETFL, flags | O_NONBLOCK) != 0) return FailWithErrno();
    int error = 0;
    sockaddr_in address = ToSockaddr(remote);
    if (connect(Fd(s), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      error = errno == EINPROGRESS || errno == EINTR ? WaitForConnect(s, timeoutMs)
                                                     : TranslateErrno(errno);
    }
    fcntl(Fd(s), F_SETFL, flags);
    return error == 0 ? 0 : Fail(error);
  }

  int ShutdownSend(SocketHandle s) override {
    if (shutdown(Fd(s), SHUT_WR) != 0) return FailWithErrno();
    return 0;
  }

  int GetPeerName(SocketHandle s, Endpoint& remote) override {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getpeername(Fd(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return FailWithErrno();
    }
    remote = FromSockaddr(address);
    return 0;
  }

  int ResolveHost(const std::string& host, std::uint32_t& address) override {
    const in_addr_t parsed = inet_addr(host.c_str());
    if (parsed != INADDR_NONE) {
      address = ntohl(parsed);
      return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
      return Fail(result == EAI_AGAIN                                           ? kWsaTryAgain
                  : result == EAI_NONAME || result == EAI_NODATA || result == 0 ? kWsaHostNotFound
                                                                                : kWsaNoRecovery);
    }
    address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return 0;
  }

  // select's view through poll: a hang-up or an error wakes the wait as
  // readable and writable, and a descriptor that is no longer open fails it
  // the way select fails on a closed socket.
  int Wait(WaitEntry* entries, int count) override {
    if (count <= 0 || count > kMaxWaitEntries) return Fail(kWsaEinval);
    pollfd waiters[kMaxWaitEntries];
    for (int i = 0; i < count; ++i) {
      WaitEntry& entry = entries[i];
      entry.readable = entry.writable = entry.urgent = false;
      short events = 0;
      if (entry.wantRead) events |= POLLIN;
      if (entry.wantWrite) events |= POLLOUT;
      if (entry.wantUrgent) events |= POLLPRI;
      waiters[i] = pollfd{Fd(entry.socket), events, 0};
    }
    if (posix::RetryInterrupted([&] { return poll(waiters, static_cast<nfds_t>(count), -1); }) <
        0) {
      return FailWithErrno();
    }
    int ready = 0;
    for (int i = 0; i < count; ++i) {
      WaitEntry& entry = entries[i];
      const short got = waiters[i].revents;
      if ((got & POLLNVAL) != 0) return Fail(kWsaEnotsock);
      const bool ended = (got & (POLLHUP | POLLERR)) != 0;
      entry.readable = entry.wantRead && (ended || (got & POLLIN) != 0);
      entry.writable = entry.wantWrite && (ended || (got & POLLOUT) != 0);
      entry.urgent = entry.wantUrgent && (got & POLLPRI) != 0;
      ready += int(entry.readable) + int(entry.writable) + int(entry.urgent);
    }
    return ready;
  }

  int RecvUrgent(SocketHandle s, void* buffer, int length) override {
    if (length < 0) return Fail(kWsaEinval);
    ssize_t n = posix::RetryInterrupted(
        [&] { return recv(Fd(s), buffer, static_cast<std::size_t>(length), MSG_OOB); });
    if (n < 0) return FailReceive();
    return static_cast<int>(n);
  }

  int SendNow(SocketHandle s, const void* data, int length) override {
    if (length < 0) return Fail(kWsaEinval);
    ssize_t n = posix::RetryInterrupted([&] {
      return send(Fd(s), data, static_cast<std::size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
    });
    if (n < 0) return FailWithErrno();
    return static_cast<int>(n);
  }

  int SendUrgent(SocketHandle s, const void* data, int length) override {
    if (length < 0) return Fail(kWsaEinval);
    ssize_t n = posix::RetryInterrupted([&] {
      return send(Fd(s), data, static_cast<std::size_t>(length), MSG_OOB | MSG_NOSIGNAL);
    });
    if (n < 0) return FailReceive();
    return static_cast<int>(n);
  }

 private:
  // The Winsock number of a pending connect's outcome, 10060 when it is not
  // decided within timeoutMs.
  static int WaitForConnect(SocketHandle s, std::uint32_t timeoutMs) {
    pollfd waiter{Fd(s), POLLOUT, 0};
    const int ready = posix::RetryInterrupted([&] {
      return poll(&waiter, 1, static_cast<int>(timeoutMs > 0x7FFFFFFF ? -1 : timeoutMs));
    });
    if (ready < 0) return TranslateErrno(errno);
    if (ready == 0) return kWsaEtimedout;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return TranslateErrno(errno);
    return error == 0 ? 0 : TranslateErrno(error);
  }

  // Linux counts keep-alive times in whole seconds, at least one.
  static int WholeSeconds(std::uint32_t ms) {
    std::uint32_t seconds = ms / 1000 + (ms % 1000 != 0 ? 1 : 0);
    if (seconds == 0) seconds = 1;
    if (seconds > 32767) seconds = 32767;  // the kernel's upper limit
    return static_cast<int>(seconds);
  }
};

}  // namespace

ISocketApi& Sockets() {
  static CPosixSocketApi api;
  return api;
}

}  // namespace platform
