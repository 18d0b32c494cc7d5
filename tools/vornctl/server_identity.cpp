#include "tools/vornctl/server_identity.h"

#include "client/error.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"

namespace vornctl {
namespace {

constexpr const char* kToolDevice = "__TRL_Tool__";

// "Marrow&Keplin,VORN,__TRL_Tool__/000000,2.35.2": the service's name and
// version are those of its tool pseudo device. A server that has no such
// device, or does not say, leaves both empty; only a broken connection is
// an error here.
void ReadServerVersion(CSocketSession& session, ServerIdentity& identity) {
  try {
    SelectChecked(session, kToolDevice);
    std::string answer = session.Query("*IDN?\n");
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (std::size_t comma; (comma = answer.find(',', at)) != std::string::npos; at = comma + 1) {
      parts.push_back(answer.substr(at, comma - at));
    }
    parts.push_back(answer.substr(at));
    if (parts.size() < 4) return;
    identity.serverName = parts[1];
    identity.serverVersion = parts.back();
  } catch (const Fernway::CSocketError&) {
    throw;
  } catch (const Fernway::CError&) {
  }
}

}  // namespace

std::string ServerIdentity::Server() const {
  if (serverName.empty()) return serverVersion;
  return serverVersion.empty() ? serverName : serverName + " " + serverVersion;
}

std::string BareId(const std::string& id) {
  if (id.size() >= 2 && id.front() == '"' && id.back() == '"') return id.substr(1, id.size() - 2);
  return id;
}

int ReadIdentity(CSocketSession& session, const std::optional<std::string>& device,
                 ServerIdentity& identity, std::string& problem) {
  session.SendText("*CLS\n");
  if (device) {
    identity.device = *device;
    SelectChecked(session, identity.device);
  } else {
    const std::string catalog = session.Catalog();
    // Passed on quoted, as the catalogue gives it.
    const std::string first = catalog.substr(0, catalog.find(','));
    if (first.empty()) {
      problem = "lists no devices";
      return kExitServerError;
    }
    SelectChecked(session, first);
    identity.device = SplitCatalog(first).front();
  }
  session.Identify();
  if (!session.IsIdentified()) {
    problem = "did not identify itself as an installation server";
    return kExitNotAServer;
  }
  identity.model = session.Model();
  identity.materialNumber = session.MaterialNumber();
  identity.serialNumber = session.SerialNumber();
  identity.deviceVersion = session.DeviceVersion();
  identity.protocolVersion = session.ProtocolVersion();
  identity.descriptionVersion = session.DescriptionVersion();
  identity.macAddress = session.MacAddress();
  identity.vornId = BareId(session.VornId());
  identity.host = session.Host();
  ReadServerVersion(session, identity);
  return kExitOk;
}

}  // namespace vornctl
