#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/critical_section.h"
#include "service/access_settings.h"

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
class CInstallServer {
 public:
  static constexpr std::uint16_t kDefaultPort = 13217;
  static constexpr const char* kConfigurationKey =
      "SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\InstallServer";

  // Builds the device inventory over the given platform services, then the server.
  static CInstallServer* Create(platform::IRegistry& registry, platform::ISocketApi& sockets,
                                platform::IInstrumentLinker& linker);

  CInstallServer(IDeviceRegistry* deviceRegistry, platform::IRegistry& registry,
                 platform::ISocketApi& sockets);
  ~CInstallServer();
  CInstallServer(const CInstallServer&) = delete;
  CInstallServer& operator=(const CInstallServer&) = delete;

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Logs a request or an answer as Log("Socket[%X] >> %s") or ("... << %s")
  // would, for text already escaped for the log, without a format: a
  // session writes two such lines for every request.
  void LogTraffic(unsigned socket, bool incoming, std::string_view escaped);
  // Logs a discovery datagram as Log("%s:%u >> [%s]") or ("... << [%s]")
  // would: every query and its answer are logged so.
  void LogDatagram(std::string_view address, unsigned port, bool incoming, std::string_view text);

  // Configuration
  std::string GetDeviceGroup();
  bool SetDeviceGroup(const std::string& group);

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
  bool IsClientAllowed(std::uint32_t address);
  bool FiltersClients();
  // The address both channels bind: "ListenAddress", else every interface.
  std::uint32_t ListenAddress();

  // Identity and devices
  std::string GetServerId();
  bool GetMaterialNumbers(std::vector<std::string>& materialNumbers);
  bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber);
  bool OpenDevice(const std::string& equipmentNumber, IUpdateTarget*& updateTarget,
                  IDevice*& device);
  bool ReleaseDevice(IUpdateTarget* updateTarget, IDevice* device);
  // The platform services behind the update target of the service's own
  // device (default: the platform's, over Registry()). For tests and fuzzing.
  void UseInstallPlatform(const InstallPlatform& platform);
  // The relay switch, off also when "AllowRelay" is 0.
  bool IsRelayAllowed();
  // True for the first refusal since relaying was switched off, so that a
  // tool asking again and again does not fill the log.
  bool FirstRelayRefusal();
  bool IsScanDirectMode();

  // Channels
  std::uint16_t ControlPort();
  std::uint16_t DataPort();
  std::uint16_t BoundDataPort();
  void SetDataPort(std::uint16_t port);
  bool StartControlChannel();
  bool StartDataChannel();
  bool IsControlChannelRunning();
  bool IsDataChannelRunning();
  bool HasRunningSessions();
  bool CloseSessions();
  bool StopDataChannel();
  bool Stop(bool force);
  // From the start of a stop until a channel starts again: long waits of a
  // session (a scan) end early.
  bool IsStopping() const { return stopping_.load(); }

  platform::IRegistry& Registry() { return registry_; }
  platform::ISocketApi& Sockets() { return sockets_; }
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
