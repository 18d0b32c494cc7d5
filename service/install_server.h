#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/channel_host.h"
#include "net/critical_section.h"
#include "service/access_settings.h"
#include "session/session_host.h"

class CControlChannel;
class CDataChannel;
class IDevice;
class IDeviceRegistry;
class IUpdateTarget;
struct InstallPlatform;

namespace platform {
class IRegistry;
class ISocketApi;
class IInstrumentLinker;
}  // namespace platform

// The one server object of the process: owns the channels and the device
// inventory, holds the server's identity and configuration, and is how the
// channels and sessions reach each other. Configuration, identity, device and
// session operations run under the server lock; the channel start and stop
// operations do not (they wait for threads), nor does Log (the log's writer
// keeps lines whole and in order).
class CInstallServer : public IChannelHost, public ISessionHost {
 public:
  // Builds the device inventory over the given platform services, then the server.
  static CInstallServer* Create(platform::IRegistry& registry, platform::ISocketApi& sockets,
                                platform::IInstrumentLinker& linker);

  CInstallServer(IDeviceRegistry* deviceRegistry, platform::IRegistry& registry,
                 platform::ISocketApi& sockets);
  ~CInstallServer();
  CInstallServer(const CInstallServer&) = delete;
  CInstallServer& operator=(const CInstallServer&) = delete;

  // "VORN: <message>"; without a format for the two lines of every request
  // (LogTraffic) and of every datagram (LogDatagram).
  void LogArgs(const char* format, std::va_list args) override;
  void LogTraffic(unsigned socket, bool incoming, std::string_view escaped) override;
  void LogDatagram(std::string_view address, unsigned port, bool incoming,
                   std::string_view text) override;

  // Configuration
  std::string GetDeviceGroup() override;
  bool SetDeviceGroup(const std::string& group) override;

  // Reads "AllowedClients", "ListenAddress", "RestrictTransfers" and
  // "AllowRelay" and
  // uses them from now on, reading them again whenever the store changes
  // ("ListenAddress" takes effect at a channel's next start). False, with
  // every problem, when one is malformed; nothing changes then.
  bool LoadAccessSettings(std::vector<std::string>& problems);
  // Uses these settings as they are, without reading the store (tests).
  void UseAccessSettings(const AccessSettings& settings);
  AccessSettings Access();
  // Whether a client at this address (host byte order) may be served: every
  // one when "AllowedClients" is not set.
  bool IsClientAllowed(std::uint32_t address) override;
  bool FiltersClients() override;
  // The address both channels bind: "ListenAddress", else every interface.
  std::uint32_t ListenAddress() override;

  // Identity and devices
  std::string GetServerId() override;
  bool GetMaterialNumbers(std::vector<std::string>& materialNumbers) override;
  bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber) override;
  bool OpenDevice(const std::string& equipmentNumber, IUpdateTarget*& updateTarget,
                  IDevice*& device) override;
  bool ReleaseDevice(IUpdateTarget* updateTarget, IDevice* device) override;
  // The platform services behind every device's update target (default: the
  // platform's, over Registry()). For tests and fuzzing.
  void UseInstallPlatform(const InstallPlatform& platform);
  // The relay switch, off also when "AllowRelay" is 0.
  bool IsRelayAllowed() override;
  // True for the first refusal since relaying was switched off, so that a
  // tool asking again and again does not fill the log.
  bool FirstRelayRefusal() override;
  bool IsScanDirectMode() override;

  // Channels
  std::uint16_t ControlPort();
  std::uint16_t DataPort() override;
  std::uint16_t BoundDataPort() override;
  void SetDataPort(std::uint16_t port) override;
  bool StartControlChannel();
  bool StartDataChannel() override;
  bool IsControlChannelRunning();
  bool IsDataChannelRunning() override;
  bool HasRunningSessions() override;
  bool CloseSessions() override;
  bool StopDataChannel() override;
  bool Stop(bool force);
  // From the start of a stop until a channel starts again: long waits of a
  // session (a scan) end early.
  bool IsStopping() const override { return stopping_.load(); }
  CConnectionSession* CreateSession() override;

  platform::IRegistry& Registry() { return registry_; }
  platform::ISocketApi& Sockets() override { return sockets_; }
  CControlChannel& ControlChannel() { return *controlChannel_; }
  CDataChannel& DataChannel() { return *dataChannel_; }

 private:
  // The string-value rule: the stored group, or the default written back.
  std::string ReadDeviceGroup();
  // Under the access lock: the settings read again if the store changed
  // since; an edit that leaves them malformed is logged and not used.
  void RefreshAccessSettings();

  std::string name_ = "VORN";
  std::string serverId_;
  std::unique_ptr<IDeviceRegistry> deviceRegistry_;
  platform::IRegistry& registry_;
  platform::ISocketApi& sockets_;
  std::unique_ptr<CControlChannel> controlChannel_;
  std::unique_ptr<CDataChannel> dataChannel_;
  std::unique_ptr<InstallPlatform> installPlatform_;
  std::atomic<bool> stopping_{false};
  bool relayAllowed_ = true;
  bool relayRefusalLogged_ = false;
  bool scanDirectMode_ = false;
  // The device group as last read, and the store's change count before that read.
  std::string deviceGroup_;
  std::uint64_t deviceGroupChangeCount_ = 0;
  bool deviceGroupCached_ = false;
  CCriticalSection lock_;
  // Guards the access settings alone: the channels ask for every datagram
  // and connection, and must not wait while the server lock is held for a
  // device's opening.
  CCriticalSection accessLock_;
  AccessSettings access_;
  bool accessFromStore_ = false;
  std::uint64_t accessChangeCount_ = 0;
};
