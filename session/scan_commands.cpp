// The device group a server answers discovery for, and the scan for other
// servers that a tool asks before it has its session relayed to one of them.
#include <set>

#include "federation/known_servers.h"
#include "federation/server_scan.h"
#include "protocol/text_format.h"
#include "session/command_session.h"
#include "session/session_host.h"

namespace {

constexpr std::int32_t kLowestScanTimeout = 1000;
// A scan blocks its session for at least its time-out; a tool that asks for
// days would hold the session (and the scan of every other session) that long.
constexpr std::int32_t kHighestScanTimeout = 60000;
// Every equipment number is a datagram to every network, and every server
// there logs it: a long list is a flood, not a search.
constexpr std::size_t kMostScanEquipmentNumbers = 16;

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
  if (timeout > kHighestScanTimeout) {
    QueueError(-128, "timeout too high");
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
  bool tooMany = false;
  while (terminator != kLf) {
    std::string equipmentNumber;
    if ((r = ExpectString(equipmentNumber, terminator)) <= 0) return r;
    if (request.equipmentNumbers.size() < kMostScanEquipmentNumbers ||
        request.equipmentNumbers.count(equipmentNumber) != 0) {
      request.equipmentNumbers.insert(equipmentNumber);
    } else {
      tooMany = true;
    }
  }
  // The numbers within the limit are still searched for.
  if (tooMany) QueueError(-224, "too many equipment numbers");

  platform::Endpoint local;
  if (server_->Sockets().GetSockName(socket_, local) == 0) request.localAddress = local.address;

  ScanSwitches switches;
  switches.relayAllowed = server_->IsRelayAllowed();
  switches.directMode = server_->IsScanDirectMode();
  switches.stopping = [host = server_] { return host->IsStopping(); };
  CServerScan scan(*server_, std::move(switches), CKnownServers::Instance(), server_->Sockets());
  return SendResponse(scan.Run(SocketForLog(), request));
}
