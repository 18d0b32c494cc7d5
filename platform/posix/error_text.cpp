// The C library's text for the errno behind a Winsock number: the reverse of
// the socket backend's translation, for the numbers it produces.
#include "platform/error_text.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "platform/socket.h"

namespace platform {
namespace {

int ErrnoFor(int winsockError) {
  switch (winsockError) {
    case kWsaEintr:
      return EINTR;
    case kWsaEbadf:
      return EBADF;
    case kWsaEacces:
      return EACCES;
    case kWsaEfault:
      return EFAULT;
    case kWsaEinval:
      return EINVAL;
    case kWsaEmfile:
      return EMFILE;
    case kWsaEwouldblock:
      return EWOULDBLOCK;
    case kWsaEinprogress:
      return EINPROGRESS;
    case 10037:
      return EALREADY;
    case kWsaEnotsock:
      return ENOTSOCK;
    case 10039:
      return EDESTADDRREQ;
    case kWsaEmsgsize:
      return EMSGSIZE;
    case 10041:
      return EPROTOTYPE;
    case 10042:
      return ENOPROTOOPT;
    case 10043:
      return EPROTONOSUPPORT;
    case 10044:
      return ESOCKTNOSUPPORT;
    case kWsaEopnotsupp:
      return EOPNOTSUPP;
    case 10047:
      return EAFNOSUPPORT;
    case kWsaEaddrinuse:
      return EADDRINUSE;
    case kWsaEaddrnotavail:
      return EADDRNOTAVAIL;
    case kWsaEnetdown:
      return ENETDOWN;
    case kWsaEnetunreach:
      return ENETUNREACH;
    case 10052:
      return ENETRESET;
    case kWsaEconnaborted:
      return ECONNABORTED;
    case kWsaEconnreset:
      return ECONNRESET;
    case kWsaEnobufs:
      return ENOBUFS;
    case 10056:
      return EISCONN;
    case kWsaEnotconn:
      return ENOTCONN;
    case kWsaEshutdown:
      return ESHUTDOWN;
    case kWsaEtimedout:
      return ETIMEDOUT;
    case kWsaEconnrefused:
      return ECONNREFUSED;
    case 10064:
      return EHOSTDOWN;
    case kWsaEhostunreach:
      return EHOSTUNREACH;
    default:
      return 0;
  }
}

}  // namespace

std::string SystemErrorText(int winsockError) {
  switch (winsockError) {
    case kWsaHostNotFound:
      return gai_strerror(EAI_NONAME);
    case kWsaTryAgain:
      return gai_strerror(EAI_AGAIN);
    case kWsaNoRecovery:
      return gai_strerror(EAI_FAIL);
    default:
      break;
  }
  const int error = ErrnoFor(winsockError);
  if (error == 0) return std::string();
  char text[512];
  return strerror_r(error, text, sizeof text);
}

}  // namespace platform
