#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/log_target.h"
#include "platform/socket.h"

class IDevice;
class IUpdateTarget;

// What a command session needs of the server it runs in: its log and
// sockets, its identity and device group, the devices, and the switches and
// access settings that relaying and scanning obey. Sessions know the server
// only through this.
class ISessionHost : public virtual ILogTarget {
 public:
  // A request or an answer, already escaped for the log, as
  // Log("Socket[%X] >> %s") or ("... << %s") would write it.
  virtual void LogTraffic(unsigned socket, bool incoming, std::string_view escaped) = 0;
  virtual platform::ISocketApi& Sockets() = 0;

  virtual std::string GetServerId() = 0;
  virtual std::string GetDeviceGroup() = 0;
  virtual bool SetDeviceGroup(const std::string& group) = 0;

  virtual bool GetMaterialNumbers(std::vector<std::string>& materialNumbers) = 0;
  // A device and the update target paired with it, released together.
  virtual bool OpenDevice(const std::string& equipmentNumber, IUpdateTarget*& updateTarget,
                          IDevice*& device) = 0;
  virtual bool ReleaseDevice(IUpdateTarget* updateTarget, IDevice* device) = 0;

  // Relaying: its switch ("AllowRelay"), whether this refusal is the first
  // since it was switched off (so that a tool asking again and again does
  // not fill the log), and the client check a relayed origin must pass.
  virtual bool IsRelayAllowed() = 0;
  virtual bool FirstRelayRefusal() = 0;
  virtual bool IsClientAllowed(std::uint32_t address) = 0;
  // Scanning: whether discovery also goes to the second port, and whether the
  // server is stopping (a scan then ends early).
  virtual bool IsScanDirectMode() = 0;
  virtual bool IsStopping() const = 0;
};
