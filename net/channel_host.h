#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/log_target.h"
#include "platform/socket.h"

class CConnectionSession;

// What the two channels need of the server that owns them: its log and
// sockets, the access settings, what a discovery query is answered with, the
// data channel's start and stop on a datagram's request, and a session for
// each accepted connection. The channels know the server only through this.
class IChannelHost : public virtual ILogTarget {
 public:
  // A discovery datagram as Log("%s:%u >> [%s]") or ("... << [%s]") would.
  virtual void LogDatagram(std::string_view address, unsigned port, bool incoming,
                           std::string_view text) = 0;
  virtual platform::ISocketApi& Sockets() = 0;

  // Access settings: whether "AllowedClients" is set, whether a client at
  // this address (host byte order) may be served, and the address to bind.
  virtual bool FiltersClients() = 0;
  virtual bool IsClientAllowed(std::uint32_t address) = 0;
  virtual std::uint32_t ListenAddress() = 0;

  // What an identity query is answered from.
  virtual std::string GetDeviceGroup() = 0;
  virtual bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber) = 0;

  // The data channel as the control channel's requests start and stop it.
  virtual std::uint16_t DataPort() = 0;
  virtual void SetDataPort(std::uint16_t port) = 0;
  virtual std::uint16_t BoundDataPort() = 0;
  virtual bool IsDataChannelRunning() = 0;
  virtual bool StartDataChannel() = 0;
  virtual bool HasRunningSessions() = 0;
  virtual bool CloseSessions() = 0;
  virtual bool StopDataChannel() = 0;

  // A new session for an accepted connection, or nullptr when none could be
  // made. The data channel owns it from then on.
  virtual CConnectionSession* CreateSession() = 0;
};
