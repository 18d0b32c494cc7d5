// Winsock 2 behind the socket interface. The portable error numbers are the
// Winsock ones, so LastError is WSAGetLastError; only where Wine differs from
// Windows is the number corrected, at the call.

#include "platform/socket.h"

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

sockaddr_in ToSockAddr(const Endpoint& endpoint) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(endpoint.address);
  address.sin_port = htons(endpoint.port);
  return address;
}

Endpoint FromSockAddr(const sockaddr_in& address) {
  return Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

SOCKET Native(SocketHandle s) { return static_cast<SOCKET>(s); }

int SetIntOption(SocketHandle s, int level, int option, int value) {
  return setsockopt(Native(s), level, option, reinterpret_cast<const char*>(&value), sizeof value);
}

// A blocking call ended by closesocket on another thread (how every stop
// ends its thread's call) fails with WSAEINTR on Windows. Wine reports the
// aborted request behind it instead: 995 for accept, 10022 for a receive.
// Once the handle is no longer a socket, the Windows number is set.
int FailBlockingCall(SocketHandle s) {
  int error = WSAGetLastError();
  if (error == WSA_OPERATION_ABORTED || error == WSAEINVAL) {
    int type = 0;
    int size = sizeof type;
    if (getsockopt(Native(s), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) != 0 &&
        WSAGetLastError() == WSAENOTSOCK) {
      error = WSAEINTR;
    }
    WSASetLastError(error);
  }
  return kSocketError;
}

class WinsockApi : public ISocketApi {
 public:
  // Winsock counts its users; taking one reference for the whole process
  // here means a caller that never called Startup (a tool, a test) still gets
  // working sockets instead of 10093 on its first call.
  WinsockApi() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }

  int Startup() override {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
  }

  SocketHandle Open(SocketKind kind) override {
    SOCKET s = kind == SocketKind::kStream ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)
                                           : socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
  }

  int Bind(SocketHandle s, const Endpoint& local) override {
    sockaddr_in address = ToSockAddr(local);
    return bind(Native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }

  int GetSockName(SocketHandle s, Endpoint& local) override {
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(Native(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return kSocketError;
    }
    local = FromSockAddr(address);
    return 0;
  }

  int Listen(SocketHandle s, int backlog) override { return listen(Native(s), backlog); }

  SocketHandle Accept(SocketHandle s) override {
    SOCKET accepted = accept(Native(s), nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
      FailBlockingCall(s);
      return kInvalidSocket;
    }
    return static_cast<SocketHandle>(accepted);
  }

  int Connect(SocketHandle s, const Endpoint& remote) override {
    sockaddr_in address = ToSockAddr(remote);
    return connect(Native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }

  int Recv(SocketHandle s, void* buffer, int length) override {
    int result = recv(Native(s), static_cast<char*>(buffer), length, 0);
    return result == SOCKET_ERROR ? FailBlockingCall(s) : result;
  }

  int Send(SocketHandle s, const void* data, int length) override {
    return send(Native(s), static_cast<const char*>(data), length, 0);
  }

  // A datagram longer than the buffer fails with 10040 (its head is in the
  // buffer, the rest is lost); the sender is filled in either way.
  int RecvFrom(SocketHandle s, void* buffer, int length, Endpoint& from) override {
    sockaddr_in address{};
    int addressLength = sizeof address;
    int result = recvfrom(Native(s), static_cast<char*>(buffer), length, 0,
                          reinterpret_cast<sockaddr*>(&address), &addressLength);
    if (address.sin_family == AF_INET) from = FromSockAddr(address);
    return result == SOCKET_ERROR ? FailBlockingCall(s) : result;
  }

  int SendTo(SocketHandle s, const void* data, int length, const Endpoint& to) override {
    sockaddr_in address = ToSockAddr(to);
    return sendto(Native(s), static_cast<const char*>(data), length, 0,
                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }

  int Shutdown(SocketHandle s) override { return shutdown(Native(s), SD_BOTH); }

  int Close(SocketHandle s) override { return closesocket(Native(s)); }

  int BytesReadable(SocketHandle s, std::uint32_t& count) override {
    u_long pending = 0;
    if (ioctlsocket(Native(s), FIONREAD, &pending) != 0) return kSocketError;
    count = static_cast<std::uint32_t>(pending);
    return 0;
  }

  int SetKeepAlive(SocketHandle s, std::uint32_t on, std::uint32_t timeMs,
                   std::uint32_t intervalMs) override {
    tcp_keepalive settings{on, timeMs, intervalMs};
    tcp_keepalive ignored{};
    DWORD returned = 0;
    return WSAIoctl(Native(s), SIO_KEEPALIVE_VALS, &settings, sizeof settings, &ignored,
                    sizeof ignored, &returned, nullptr, nullptr);
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
    DWORD value = ms;
    return setsockopt(Native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof value);
  }

  int LastError() override { return WSAGetLastError(); }

  int SetSendTimeout(SocketHandle s, std::uint32_t ms) override {
    DWORD value = ms;
    return setsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof value);
  }

  // Selecting FD_CONNECT makes the socket non-blocking, so the connect
  // returns at once and the event tells when it is decided. A second connect
  // then reports the outcome; "already connected" and "invalid" both mean
  // the first one succeeded.
  int ConnectWithin(SocketHandle s, const Endpoint& remote, std::uint32_t timeoutMs) override {
    WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) return kSocketError;
    const sockaddr_in address = ToSockAddr(remote);
    const sockaddr* target = reinterpret_cast<const sockaddr*>(&address);
    int error = 0;
    WSAEventSelect(Native(s), event, 0);
    if (WSAEventSelect(Native(s), event, FD_CONNECT) != 0) {
      error = WSAGetLastError();
    } else if (connect(Native(s), target, sizeof address) != 0) {
      error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        const DWORD wait = WSAWaitForMultipleEvents(1, &event, FALSE, timeoutMs, FALSE);
        if (wait == WSA_WAIT_EVENT_0) {
          // The event's own record holds the refusal as Windows reports it;
          // Wine's second connect says "aborted" (10053) instead.
          WSANETWORKEVENTS happened{};
          WSAEnumNetworkEvents(Native(s), event, &happened);
          const int reported =
              (happened.lNetworkEvents & FD_CONNECT) != 0 ? happened.iErrorCode[FD_CONNECT_BIT] : 0;
          error = 0;
          if (connect(Native(s), target, sizeof address) != 0) {
            error = WSAGetLastError();
            if (error == WSAEISCONN || error == WSAEINVAL) error = 0;
            if (error == WSAEWOULDBLOCK) error = WSAETIMEDOUT;
            if (error != 0 && reported != 0) error = reported;
          }
        } else if (wait == WSA_WAIT_TIMEOUT) {
          error = WSAETIMEDOUT;
        } else {
          error = WSAGetLastError();
        }
      }
    }
    WSAEventSelect(Native(s), event, 0);
    WSACloseEvent(event);
    u_long blocking = 0;
    ioctlsocket(Native(s), FIONBIO, &blocking);
    WSASetLastError(error);
    return error == 0 ? 0 : kSocketError;
  }

  int ShutdownSend(SocketHandle s) override { return shutdown(Native(s), SD_SEND); }

  int GetPeerName(SocketHandle s, Endpoint& remote) override {
    sockaddr_in address{};
    int length = sizeof address;
    if (getpeername(Native(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return kSocketError;
    }
    remote = FromSockAddr(address);
    return 0;
  }

  int Wait(WaitEntry* entries, int count) override {
    if (count <= 0 || count > FD_SETSIZE) {
      WSASetLastError(WSAEINVAL);
      return kSocketError;
    }
    fd_set readSet, writeSet, urgentSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&urgentSet);
    for (int i = 0; i < count; ++i) {
      const SOCKET s = Native(entries[i].socket);
      if (entries[i].wantRead) FD_SET(s, &readSet);
      if (entries[i].wantWrite) FD_SET(s, &writeSet);
      if (entries[i].wantUrgent) FD_SET(s, &urgentSet);
    }
    const int result = select(0, &readSet, &writeSet, &urgentSet, nullptr);
    if (result == SOCKET_ERROR) return kSocketError;
    for (int i = 0; i < count; ++i) {
      WaitEntry& entry = entries[i];
      const SOCKET s = Native(entry.socket);
      entry.readable = entry.wantRead && FD_ISSET(s, &readSet);
      entry.writable = entry.wantWrite && FD_ISSET(s, &writeSet);
      entry.urgent = entry.wantUrgent && FD_ISSET(s, &urgentSet);
    }
    return result;
  }

  int RecvUrgent(SocketHandle s, void* buffer, int length) override {
    int result = recv(Native(s), static_cast<char*>(buffer), length, MSG_OOB);
    return result == SOCKET_ERROR ? FailBlockingCall(s) : result;
  }

  int SendUrgent(SocketHandle s, const void* data, int length) override {
    return send(Native(s), static_cast<const char*>(data), length, MSG_OOB);
  }

  int ResolveHost(const std::string& host, std::uint32_t& address) override {
    const unsigned long parsed = inet_addr(host.c_str());
    if (parsed != INADDR_NONE) {
      address = ntohl(parsed);
      return 0;
    }
    const hostent* entry = gethostbyname(host.c_str());
    if (entry == nullptr || entry->h_addr_list[0] == nullptr) return kSocketError;
    in_addr first{};
    memcpy(&first, entry->h_addr_list[0], sizeof first);
    address = ntohl(first.s_addr);
    return 0;
  }
};

}  // namespace

ISocketApi& Sockets() {
  static WinsockApi api;
  return api;
}

}  // namespace platform
