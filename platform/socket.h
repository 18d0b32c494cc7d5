#pragma once
// Sockets as the service sees them: Winsock semantics and Winsock error
// numbers on every backend. Each backend captures its native error once, at
// the call site, and translates it into the numbers below.

#include <cstdint>
#include <string>

namespace platform {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle(0);
inline constexpr int kSocketError = -1;

// Winsock error numbers, shown in log lines and carried by client exceptions.
enum WinsockError : int {
  kWsaEintr = 10004,
  kWsaEbadf = 10009,
  kWsaEacces = 10013,
  kWsaEfault = 10014,
  kWsaEinval = 10022,
  kWsaEmfile = 10024,
  kWsaEwouldblock = 10035,
  kWsaEinprogress = 10036,
  kWsaEnotsock = 10038,
  kWsaEmsgsize = 10040,
  kWsaEopnotsupp = 10045,
  kWsaEaddrinuse = 10048,
  kWsaEaddrnotavail = 10049,
  kWsaEnetdown = 10050,
  kWsaEnetunreach = 10051,
  kWsaEconnaborted = 10053,
  kWsaEconnreset = 10054,
  kWsaEnobufs = 10055,
  kWsaEnotconn = 10057,
  kWsaEshutdown = 10058,
  kWsaEtimedout = 10060,
  kWsaEconnrefused = 10061,
  kWsaEhostunreach = 10065,
  kWsaNotinitialised = 10093,
  kWsaHostNotFound = 11001,
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
};

enum class SocketKind { kStream, kDatagram };

// An IPv4 address and port, both in host byte order.
struct Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;
inline constexpr std::uint32_t kAnyAddress = 0;
inline constexpr std::uint32_t kBroadcastAddress = 0xFFFFFFFF;

// Dotted form of an address in host byte order ("127.0.0.1").
std::string FormatAddress(std::uint32_t address);

// The operations return 0 (or a byte count, or a handle) on success and
// kSocketError (or kInvalidSocket) on failure; LastError() then tells the
// Winsock number of the calling thread's last failure, like WSAGetLastError.
class ISocketApi {
 public:
  virtual ~ISocketApi() = default;

  virtual int Startup() = 0;  // WSAStartup 1.1; a no-op where nothing needs it
  virtual SocketHandle Open(SocketKind kind) = 0;
  virtual int Bind(SocketHandle s, const Endpoint& local) = 0;
  virtual int GetSockName(SocketHandle s, Endpoint& local) = 0;
  virtual int Listen(SocketHandle s, int backlog) = 0;
  virtual SocketHandle Accept(SocketHandle s) = 0;
  virtual int Connect(SocketHandle s, const Endpoint& remote) = 0;
  virtual int Recv(SocketHandle s, void* buffer, int length) = 0;
  virtual int Send(SocketHandle s, const void* data, int length) = 0;
  virtual int RecvFrom(SocketHandle s, void* buffer, int length, Endpoint& from) = 0;
  virtual int SendTo(SocketHandle s, const void* data, int length, const Endpoint& to) = 0;
  virtual int Shutdown(SocketHandle s) = 0;  // both directions
  virtual int Close(SocketHandle s) = 0;
  virtual int BytesReadable(SocketHandle s, std::uint32_t& count) = 0;  // FIONREAD
  // SIO_KEEPALIVE_VALS: on/off, idle time and probe interval in milliseconds.
  virtual int SetKeepAlive(SocketHandle s, std::uint32_t on, std::uint32_t timeMs,
                           std::uint32_t intervalMs) = 0;
  virtual int SetNoDelay(SocketHandle s, bool on) = 0;
  virtual int SetBroadcast(SocketHandle s, bool on) = 0;
  virtual int SetReuseAddress(SocketHandle s, bool on) = 0;
  // Receive time-out in milliseconds (0: none); an expired receive fails with 10060.
  virtual int SetReceiveTimeout(SocketHandle s, std::uint32_t ms) = 0;
  virtual int LastError() = 0;

  // What the client side needs besides. Fakes that never act as a client
  // may leave these out; they then fail like an unsupported operation.

  // Send time-out in milliseconds (0: none); an expired send fails with 10060.
  virtual int SetSendTimeout(SocketHandle, std::uint32_t) { return kSocketError; }
  // Connects and waits at most timeoutMs; the socket is blocking again
  // afterwards. A connection not made in time fails with 10060.
  virtual int ConnectWithin(SocketHandle, const Endpoint&, std::uint32_t) { return kSocketError; }
  virtual int ShutdownSend(SocketHandle) { return kSocketError; }
  virtual int GetPeerName(SocketHandle, Endpoint&) { return kSocketError; }
  // A dotted address as inet_addr reads it, else the first IPv4 address of
  // the name; failure leaves a Winsock number (11001 host not found, ...).
  virtual int ResolveHost(const std::string&, std::uint32_t&) { return kSocketError; }

  // What a relay between two connections needs besides.

  // Waits without a time limit until one of the asked conditions holds (a
  // receive would not block, a send would not block, urgent data arrived),
  // like select: returns how many conditions hold, kSocketError on failure.
  // A closed or reset connection counts as readable and writable, so the
  // next receive or send tells what happened.
  struct WaitEntry {
    SocketHandle socket = kInvalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    bool wantUrgent = false;
    bool readable = false;
    bool writable = false;
    bool urgent = false;
  };
  virtual int Wait(WaitEntry*, int) { return kSocketError; }
  // recv and send with MSG_OOB: one urgent byte at a time.
  virtual int RecvUrgent(SocketHandle, void*, int) { return kSocketError; }
  virtual int SendUrgent(SocketHandle, const void*, int) { return kSocketError; }
  // A send that queues what the connection takes now and never waits: the
  // bytes queued, or kSocketError (10035 when nothing fits now). Where a
  // backend cannot send without waiting it sends everything, like Send.
  virtual int SendNow(SocketHandle s, const void* data, int length) {
    return Send(s, data, length);
  }
};

// The backend's implementation, shared by the whole process.
ISocketApi& Sockets();

}  // namespace platform
