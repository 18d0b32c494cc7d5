// The device group a server answers discovery for, and the scan for other
// servers that a tool asks before it has its session relayed to one of them.
#include <set>

#include "federation/known_servers.h"
#include "federation/server_scan.h"
#include "service/install_server.h"
#include "session/command_session.h"
#include "session/text_format.h"

namespace {

constexpr char kLf = '\n';
constexpr std::int32_t kLowestScanTimeout = 1000;

}  // namespace

std::int32_t CCommandSession::DeviceGroupQuery(std::string&, char&) {
  return SendResponse(QuoteString(server_->GetDeviceGroup()));
}

std::int32_t CCommandSession::SetDeviceGroup(std::string&, char& terminator) {
  std::string group;
  const std::int32_t r = ExpectString(group, terminator);
  if (r <= 0) return r;
  if (!server_->SetDeviceGroup(group)) QueueError(-221, "invalid Device Group");
  return r;
}

// timeout, mode, count, count group texts, then equipment numbers to the end
// of the message. Only the first group is used.
std::int32_t CCommandSession::ScanQuery(std::string&, char& terminator) {
  ScanRequest request;
  std::int32_t timeout = 0;
  std::int32_t r = ExpectNumber(timeout, terminator);
  if (r <= 0) return r;
  if (timeout < kLowestScanTimeout) {
    QueueError(-128, "timeout too low");
    return r;
  }
  request.timeoutMs = static_cast<std::uint32_t>(timeout);

  std::string mode;
  if ((r = ExpectMnemonic(mode, terminator)) <= 0) return r;
  if (!ParseScanMode(mode, request.mode)) {
    QueueError(-224);
    return r;
  }

  std::int32_t count = 0;
  if ((r = ExpectNumber(count, terminator)) <= 0) return r;
  for (std::int32_t i = 0; i < count; ++i) {
    std::string group;
    if ((r = ExpectString(group, terminator)) <= 0) return r;
    if (i == 0) request.group = group;
  }
  while (terminator != kLf) {
    std::string equipmentNumber;
    if ((r = ExpectString(equipmentNumber, terminator)) <= 0) return r;
    request.equipmentNumbers.insert(equipmentNumber);
  }

  platform::Endpoint local;
  if (server_->Sockets().GetSockName(socket_, local) == 0) request.localAddress = local.address;

  CServerScan scan(*server_, CKnownServers::Instance(), server_->Sockets());
  return SendResponse(scan.Run(SocketForLog(), request));
}
