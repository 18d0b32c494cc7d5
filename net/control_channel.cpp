#include "net/control_channel.h"

#include <cstdio>
#include <optional>

#include "device/equipment_number.h"
#include "net/channel_host.h"
#include "protocol/discovery_text.h"
#include "protocol/wire_limits.h"

namespace {

constexpr int kReceiveLimit = 511;
constexpr std::uint32_t kErrorBackoffMs = 100;
constexpr std::uint32_t kMaxErrorBackoffMs = 1600;

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The digits behind "ON PORT ": one or more, nothing else, below 65536.
std::optional<std::uint16_t> ParsePort(const std::string& digits) {
  if (digits.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 0xFFFF) return std::nullopt;  // also keeps long digit runs from wrapping
  }
  return static_cast<std::uint16_t>(value);
}

// Errors after which the next datagram may well be fine: a reply that could
// not be delivered (10054), an oversized datagram (10040), an interrupted
// call that was not a stop, a time-out.
bool IsTransientReceiveError(int error) {
  return error == platform::kWsaEconnreset || error == platform::kWsaEmsgsize ||
         error == platform::kWsaEintr || error == platform::kWsaEtimedout ||
         error == platform::kWsaEwouldblock;
}

}  // namespace

CControlChannel::CControlChannel(IChannelHost* server) : CListenerThread(server, "datagram") {}

CControlChannel::~CControlChannel() { Stop(); }

void CControlChannel::Run() {
  platform::ISocketApi& sockets = server_->Sockets();
  sockets.Startup();
  const platform::SocketHandle s = sockets.Open(platform::SocketKind::kDatagram);
  if (s == platform::kInvalidSocket) {
    server_->Log("Error: Cannot create socket. Failed with %d", sockets.LastError());
    SignalStarted(false);
    return;
  }
  const std::uint16_t port = Port();
  if (sockets.Bind(s, platform::Endpoint{server_->ListenAddress(), port}) != 0) {
    server_->Log("Error: bind of control channel failed with %d", sockets.LastError());
    server_->Log("Error: Cannot bind control channel to port %d", port);
    SignalStarted(false);
    CLock guard(lock_);
    sockets.Close(s);
    return;
  }
  platform::Endpoint local;
  if (sockets.GetSockName(s, local) != 0) {
    server_->Log("Error: getsockname failed with %d", sockets.LastError());
    SignalStarted(false);
    sockets.Close(s);
    return;
  }
  {
    CLock guard(lock_);
    if (stopping_) {
      // Stopped while binding: nobody may wait on a socket that Stop missed.
      sockets.Close(s);
      SignalStarted(false);
      return;
    }
    boundPort_ = local.port;
    socket_ = s;
    SignalStarted(true);
  }

  char buffer[kReceiveLimit + 1];
  platform::Endpoint from;
  std::uint32_t backoffMs = kErrorBackoffMs;
  for (;;) {
    const platform::SocketHandle current = ActiveSocket();
    if (current == platform::kInvalidSocket) break;
    const int received = sockets.RecvFrom(current, buffer, kReceiveLimit, from);
    if (received == platform::kSocketError) {
      const int error = sockets.LastError();
      // An oversized datagram has a sender; a stranger's is no more worth a
      // line than any other datagram of his.
      if (error == platform::kWsaEmsgsize && !Admits(from)) continue;
      const std::string address = platform::FormatAddress(from.address);
      // Logged for the receive that a stop ends too (10004), so that the log
      // shows why the loop ended.
      server_->Log("%s:%u recvfrom(s,...) returned %d", address.c_str(), from.port, error);
      if (StopRequested()) break;
      // Only a stop ends discovery. An error that keeps coming back is not
      // allowed to spin the thread, but it does not end the loop either.
      if (!IsTransientReceiveError(error)) {
        stopEvent_.Wait(backoffMs);
        if (backoffMs < kMaxErrorBackoffMs) backoffMs *= 2;
      }
      continue;
    }
    backoffMs = kErrorBackoffMs;
    if (received == 0 && StopRequested()) break;
    if (!Admits(from)) continue;
    if (received == 0) {
      // Any host on the network can send an empty datagram; it is no reason
      // to stop answering everybody else.
      const std::string address = platform::FormatAddress(from.address);
      server_->Log("%s:%u >> empty datagram ignored", address.c_str(), from.port);
      continue;
    }
    buffer[received] = '\0';
    const std::string text(buffer);  // a request ends at its first zero byte
    const std::string address = platform::FormatAddress(from.address);
    server_->LogDatagram(address, from.port, true, text);
    HandleRequest(text, from);
  }

  server_->Log("Terminating control channel thread");
  CloseSocket();
}

bool CControlChannel::Admits(const platform::Endpoint& from) { return AdmitsAddress(from.address); }

void CControlChannel::HandleRequest(const std::string& text, const platform::Endpoint& from) {
  if (StartsWith(text, discovery::kIdentityQuery)) {
    AnswerIdentityQuery(text.substr(discovery::kIdentityQuery.size()), from);
  } else if (text == discovery::kStartRequest) {
    AnswerStart(server_->DataPort(), from);
  } else if (StartsWith(text, discovery::kStartOnPortRequest)) {
    if (auto port = ParsePort(text.substr(discovery::kStartOnPortRequest.size())))
      AnswerStart(*port, from);
  } else if (text == discovery::kStopRequest) {
    AnswerStop(false, from);
  } else if (text == discovery::kStopNowRequest) {
    AnswerStop(true, from);
  }
}

// After the prefix: exactly 12 bytes of equipment number, then nothing or
// ',' '"' group name '"'.
void CControlChannel::AnswerIdentityQuery(const std::string& query,
                                          const platform::Endpoint& from) {
  if (query.size() < kEquipmentNumberLength) return;
  const std::string equipmentNumber = query.substr(0, kEquipmentNumberLength);
  const std::string groupPart = query.substr(kEquipmentNumberLength);
  std::optional<std::string> group;
  if (!groupPart.empty()) {
    if (groupPart.size() < 3 || groupPart[0] != ',' || groupPart[1] != '"' ||
        groupPart.back() != '"') {
      return;
    }
    group = groupPart.substr(2, groupPart.size() - 3);
  }
  const std::string deviceGroup = server_->GetDeviceGroup();
  if (group && !EquipmentNumbersMatch(*group, deviceGroup)) return;
  std::string serialNumber;
  if (!server_->GetSerialNumber(equipmentNumber, serialNumber)) return;
  char reply[1024];
  std::snprintf(reply, sizeof reply, "%s,%s %s", discovery::kIdentityText.c_str(),
                equipmentNumber.c_str(), serialNumber.c_str());
  SendReply(reply, from);
}

void CControlChannel::AnswerStart(std::uint16_t port, const platform::Endpoint& from) {
  if (!server_->IsDataChannelRunning()) {
    server_->SetDataPort(port);
    if (!server_->StartDataChannel()) {
      SendReply(discovery::kLaunchErrorReply, from);
      return;
    }
  }
  char reply[128];
  std::snprintf(reply, sizeof reply, "%s %u", discovery::kListeningPrefix.c_str(),
                static_cast<unsigned>(server_->BoundDataPort()));
  SendReply(reply, from);
}

void CControlChannel::AnswerStop(bool now, const platform::Endpoint& from) {
  if (server_->HasRunningSessions()) {
    if (!now || !server_->CloseSessions()) {
      SendReply(discovery::kStopErrorReply, from);
      return;
    }
  }
  SendReply(server_->StopDataChannel() ? discovery::kStoppedReply : discovery::kStopErrorReply,
            from);
}

// The terminating zero byte travels with every reply.
void CControlChannel::SendReply(const std::string& text, const platform::Endpoint& to) {
  const std::string address = platform::FormatAddress(to.address);
  server_->LogDatagram(address, to.port, false, text);
  platform::ISocketApi& sockets = server_->Sockets();
  const platform::SocketHandle s = ActiveSocket();
  if (sockets.SendTo(s, text.c_str(), static_cast<int>(text.size() + 1), to) ==
      platform::kSocketError) {
    server_->Log("%s:%u sendto(...) returned %d", address.c_str(), to.port, sockets.LastError());
  }
}
