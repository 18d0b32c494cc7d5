#pragma once
// What identify shows of a server and one of its devices, read once so that
// identify, scan and rollout tell a server the same way.

#include <optional>
#include <string>

#include "client/socket_session.h"

namespace vornctl {

struct ServerIdentity {
  std::string device;
  std::string model;
  std::string materialNumber;
  std::string serialNumber;
  std::string deviceVersion;
  int protocolVersion = 0;
  int descriptionVersion = 0;
  std::string macAddress;
  std::string vornId;  // without the quotes of the protocol, as --to takes it
  std::string host;
  // The service's own name and version, as its tool pseudo device tells
  // them ("VORN", "2.35.2"); empty when the server does not.
  std::string serverName;
  std::string serverVersion;

  // "VORN 2.35.2", or empty.
  std::string Server() const;
};

// Identifies the server at the other end of session through `device`, else
// its first device. Returns kExitOk, or the exit code with the reason in
// problem. Socket errors are thrown (as by the client library).
int ReadIdentity(CSocketSession& session, const std::optional<std::string>& device,
                 ServerIdentity& identity, std::string& problem);

// A VORN id without the double quotes the protocol puts around it.
std::string BareId(const std::string& id);

}  // namespace vornctl
