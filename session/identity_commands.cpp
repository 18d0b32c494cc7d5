#include <string>
#include <vector>

#include "device/device.h"
#include "device/equipment_number.h"
#include "session/command_session.h"
#include "session/session_host.h"

namespace {

// Versions a client compares to learn which commands and which package
// description format this server knows.
constexpr int kTransferProtocolVersion = 210;
constexpr int kDescriptionFormatVersion = 135;

// A selection id names a device by its material number; "material/serial"
// is accepted and the serial ignored. Discovery sends 12-byte numbers, so a
// bare id is cut to that length.
constexpr std::size_t kEquipmentNumberLength = 12;

}  // namespace

std::int32_t CCommandSession::IdentifyQuery(std::string&, char&) {
  std::string name, material, serial, version;
  device_->GetIdentity(name, material, serial, version);
  return SendResponse("Marrow&Keplin," + name + "," + material + "/" + serial + "," + version);
}

std::int32_t CCommandSession::ProductIdQuery(std::string&, char&) {
  std::string name, material, serial, version;
  device_->GetIdentity(name, material, serial, version);
  return SendResponse("M&K," + material + "/" + serial + "," + version);
}

std::int32_t CCommandSession::CatalogQuery(std::string&, char&) {
  std::vector<std::string> ids;
  server_->GetMaterialNumbers(ids);
  std::string reply;
  for (const std::string& id : ids) {
    if (!reply.empty()) reply += ',';
    reply += '"' + id + '"';
  }
  return SendResponse(reply);
}

std::int32_t CCommandSession::SelectDevice(std::string&, char& terminator) {
  std::string id;
  const std::int32_t r = ExpectString(id, terminator);
  if (r <= 0) return r;
  if (id.empty()) {
    QueueError(-224, "Device not available");
    return r;
  }
  const std::size_t slash = id.find('/');
  if (slash != std::string::npos) {
    id.resize(slash);
  } else if (id.size() > kEquipmentNumberLength) {
    id.resize(kEquipmentNumberLength);
  }
  if (EquipmentNumbersMatch(id, selectedId_)) return r;

  ReleaseSelection();
  if (!server_->OpenDevice(id, updateTarget_, device_)) {
    device_ = nullptr;
    updateTarget_ = nullptr;
    QueueError(-224, "Device not available");
    return r;
  }
  selectedId_ = id;
  return r;
}

std::int32_t CCommandSession::SelectedDeviceQuery(std::string&, char&) {
  return SendResponse('"' + selectedId_ + '"');
}

std::int32_t CCommandSession::OperatingTimeQuery(std::string&, char&) {
  std::string text;
  if (!device_->GetOperatingTime(text)) QueueError(-200, "Operating Time not available");
  return SendResponse(text);
}

std::int32_t CCommandSession::MacAddressQuery(std::string&, char&) {
  std::string text;
  if (!device_->GetMacAddress(text)) QueueError(-200, "MAC address not available");
  return SendResponse(text);
}

std::int32_t CCommandSession::TransferVersionQuery(std::string&, char&) {
  return SendResponse(std::to_string(kTransferProtocolVersion) + "," +
                      std::to_string(kDescriptionFormatVersion));
}
