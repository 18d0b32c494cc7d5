#include "platform/posix/instrument_protocol.h"

#include <errno.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/retry_interrupted.h"

namespace platform::posix {
namespace {

constexpr char kMarshalTag[] = "VORNUDS1";
constexpr std::size_t kMarshalTagSize = sizeof(kMarshalTag) - 1;

bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t sent = RetryInterrupted([&] { return ::send(fd, data, size, MSG_NOSIGNAL); });
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool RecvAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t got = RetryInterrupted([&] { return ::recv(fd, data, size, 0); });
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t GetU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// A frame: two 32-bit words, the second the length of the bytes behind them.
bool SendFrame(int fd, std::uint32_t word, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> frame;
  frame.reserve(8 + body.size());
  PutU32(frame, word);
  PutU32(frame, static_cast<std::uint32_t>(body.size()));
  frame.insert(frame.end(), body.begin(), body.end());
  return SendAll(fd, frame.data(), frame.size());
}

bool RecvFrame(int fd, std::uint32_t& word, std::vector<std::uint8_t>& body) {
  std::uint8_t header[8];
  if (!RecvAll(fd, header, sizeof header)) return false;
  word = GetU32(header);
  std::uint32_t length = GetU32(header + 4);
  if (length > kMaxMessageBytes) return false;
  body.resize(length);
  return length == 0 || RecvAll(fd, body.data(), length);
}

std::uint64_t Fnv1a64(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::vector<std::uint8_t> TextBytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace

std::string SharedMemoryObjectName(const std::string& blockName) {
  std::string mapped;
  for (unsigned char c : blockName) {
    if (c > 0x20 && c < 0x7F && c != '/' && c != '%') {
      mapped += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      mapped += escaped;
    }
  }
  if (mapped.size() > NAME_MAX) {
    char hash[20];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(Fnv1a64(mapped)));
    mapped = mapped.substr(0, NAME_MAX - std::strlen(hash)) + hash;
  }
  return "/" + mapped;
}

std::vector<std::uint8_t> MarshalEndpoint(const std::string& socketPath) {
  // Sized up front: growing from the tag alone trips a false array-bounds
  // warning in GCC 12.
  std::vector<std::uint8_t> data(kMarshalTagSize + socketPath.size());
  std::memcpy(data.data(), kMarshalTag, kMarshalTagSize);
  std::memcpy(data.data() + kMarshalTagSize, socketPath.data(), socketPath.size());
  return data;
}

std::string UnmarshalEndpoint(const std::vector<std::uint8_t>& data) {
  if (data.size() <= kMarshalTagSize ||
      std::memcmp(data.data(), kMarshalTag, kMarshalTagSize) != 0) {
    return {};
  }
  std::string path(data.begin() + kMarshalTagSize, data.end());
  if (path.size() >= sizeof(sockaddr_un{}.sun_path) || path.find('\0') != std::string::npos) {
    return {};
  }
  return path;
}

int ConnectUnixSocket(const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  SetSocketTimeouts(fd, kCallTimeoutMs);
  if (RetryInterrupted([&] {
        return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
      }) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void SetSocketTimeouts(int fd, std::uint32_t ms) {
  timeval timeout{};
  timeout.tv_sec = ms / 1000;
  timeout.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool CallInstrument(int connection, std::uint32_t slot, const std::vector<std::uint8_t>& arguments,
                    std::int32_t& result, std::vector<std::uint8_t>& results) {
  results.clear();
  result = kHresultDisconnected;
  std::uint32_t word = 0;
  if (!SendFrame(connection, slot, arguments) || !RecvFrame(connection, word, results)) {
    results.clear();
    return false;
  }
  result = static_cast<std::int32_t>(word);
  return true;
}

bool ServeInstrumentCall(int connection, IInstrument& instrument) {
  std::uint32_t slot = 0;
  std::vector<std::uint8_t> arguments;
  if (!RecvFrame(connection, slot, arguments)) return false;

  std::int32_t result = kHresultFail;
  std::vector<std::uint8_t> results;
  std::string text;
  switch (slot) {
    case kSlotQueryInterface:
      result = std::string(arguments.begin(), arguments.end()) == kInstrumentInterfaceName
                   ? kHresultOk
                   : kHresultNoInterface;
      break;
    case kSlotGetChallenge:
      results.assign(kChallengeSize, 0);
      result = instrument.GetChallenge(results.data());
      break;
    case kSlotSetResponse:
      // The interface passes exactly one challenge's worth of bytes.
      if (arguments.size() != kChallengeSize) {
        result = kHresultInvalidData;
        break;
      }
      result = instrument.SetResponse(arguments.data());
      break;
    case kSlotPreset:
      result = instrument.Preset();
      break;
    case kSlotGetMaterialNumber:
      result = instrument.GetMaterialNumber(text);
      results = TextBytes(text);
      break;
    case kSlotGetSerialNumber:
      result = instrument.GetSerialNumber(text);
      results = TextBytes(text);
      break;
    case kSlotGetOperatingTime:
      result = instrument.GetOperatingTime(text);
      results = TextBytes(text);
      break;
    case kSlotGetMacAddress:
      result = instrument.GetMacAddress(text);
      results = TextBytes(text);
      break;
    case kSlotBeginInstallation:
      result = instrument.BeginInstallation();
      break;
    case kSlotEndInstallation:
      result = instrument.EndInstallation();
      break;
    default:
      result = static_cast<std::int32_t>(0x80004001);  // E_NOTIMPL
      break;
  }
  return SendFrame(connection, static_cast<std::uint32_t>(result), results);
}

}  // namespace platform::posix
