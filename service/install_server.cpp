#include "service/install_server.h"

#include <cstdarg>
#include <new>
#include <optional>
#include <string>

#include "base/log.h"
#include "device/device.h"
#include "device/device_registry.h"
#include "device/equipment_number.h"
#include "device/local_device.h"
#include "install/install_platform.h"
#include "install/update_target.h"
#include "net/control_channel.h"
#include "net/data_channel.h"
#include "net/thread.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "platform/socket.h"
#include "platform/system_info.h"
#include "service/device_group.h"
#include "session/command_session.h"

namespace {

constexpr const char* kToolSerialNumber = "000001";

}  // namespace

CInstallServer* CInstallServer::Create(platform::IRegistry& registry, platform::ISocketApi& sockets,
                                       platform::IInstrumentLinker& linker) {
  return new CInstallServer(new CDeviceRegistry(registry, linker), registry, sockets);
}

CInstallServer::CInstallServer(IDeviceRegistry* deviceRegistry, platform::IRegistry& registry,
                               platform::ISocketApi& sockets)
    : deviceRegistry_(deviceRegistry), registry_(registry), sockets_(sockets) {
  controlChannel_ = std::make_unique<CControlChannel>(this);
  dataChannel_ = std::make_unique<CDataChannel>(this);
}

CInstallServer::~CInstallServer() {
  // The data channel goes first: its sessions may still release devices and
  // log through this object, which needs the registry and the lock intact.
  dataChannel_.reset();
  controlChannel_.reset();
  deviceRegistry_.reset();
}

// No server lock: the line is formatted on the caller's stack and handed to
// the log's writer, which keeps lines whole and in order, so a session that
// logs never waits for another that holds the server lock (or for the reader
// of the log).
void CInstallServer::LogArgs(const char* format, std::va_list args) {
  WriteLogLine(name_.c_str(), format, args);
}

CConnectionSession* CInstallServer::CreateSession() {
  return new (std::nothrow) CCommandSession(this);
}

void CInstallServer::LogTraffic(unsigned socket, bool incoming, std::string_view escaped) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  char digits[2 * sizeof socket];
  std::size_t first = sizeof digits;
  do {
    digits[--first] = kHex[socket & 0xF];
    socket >>= 4;
  } while (socket != 0);
  WriteLogText(name_.c_str(),
               {"Socket[", std::string_view(digits + first, sizeof digits - first),
                incoming ? "] >> " : "] << ", escaped},
               platform::DebugPriority::kInformation);
}

void CInstallServer::LogDatagram(std::string_view address, unsigned port, bool incoming,
                                 std::string_view text) {
  char digits[10];
  std::size_t first = sizeof digits;
  do {
    digits[--first] = static_cast<char>('0' + port % 10);
    port /= 10;
  } while (port != 0);
  WriteLogText(name_.c_str(),
               {address, ":", std::string_view(digits + first, sizeof digits - first),
                incoming ? " >> [" : " << [", text, "]"},
               platform::DebugPriority::kInformation);
}

// Discovery asks for the group with every query, so it is read again only
// when the configuration store may have changed. The change count is taken
// before the read: an edit that lands during the read is seen next time.
std::string CInstallServer::GetDeviceGroup() {
  CLock guard(lock_);
  const std::uint64_t changeCount = registry_.ChangeCount();
  if (deviceGroupCached_ && changeCount == deviceGroupChangeCount_) return deviceGroup_;
  deviceGroup_ = ReadDeviceGroup();
  deviceGroupChangeCount_ = changeCount;
  deviceGroupCached_ = true;
  return deviceGroup_;
}

std::string CInstallServer::ReadDeviceGroup() {
  if (std::optional<std::string> stored = ReadStoredDeviceGroup(registry_)) return *stored;
  if (registry_.CreateKey(kConfigurationKey) != platform::kRegOk) {
    // Nowhere to keep a value: answer as if the default were stored.
    return kDefaultDeviceGroup;
  }
  // A failed write of the default is ignored; the default still applies.
  registry_.SetValue(kConfigurationKey, kDeviceGroupValue, platform::kRegSz, kDefaultDeviceGroup,
                     std::char_traits<char>::length(kDefaultDeviceGroup) + 1);
  return kDefaultDeviceGroup;
}

bool CInstallServer::SetDeviceGroup(const std::string& group) {
  CLock guard(lock_);
  // A value that GetDeviceGroup would not accept would be replaced by the
  // default at the next read: refuse it here rather than report a success
  // that is lost silently.
  if (group.size() + 1 > kDeviceGroupBufferSize || group.find('\0') != std::string::npos) {
    return false;
  }
  if (registry_.CreateKey(kConfigurationKey) != platform::kRegOk) return false;
  return registry_.SetValue(kConfigurationKey, kDeviceGroupValue, platform::kRegSz, group.c_str(),
                            group.size() + 1) == platform::kRegOk;
}

bool CInstallServer::LoadAccessSettings(std::vector<std::string>& problems) {
  CLock guard(accessLock_);
  const std::uint64_t changeCount = registry_.ChangeCount();
  AccessSettings settings;
  if (!ReadAccessSettings(registry_, settings, problems)) return false;
  access_ = settings;
  accessFromStore_ = true;
  accessChangeCount_ = changeCount;
  return true;
}

void CInstallServer::UseAccessSettings(const AccessSettings& settings) {
  CLock guard(accessLock_);
  access_ = settings;
  accessFromStore_ = false;
}

// The change count is taken before the read, as for the device group. A
// malformed edit keeps what was in use: falling back to open would let in
// whoever the administrator meant to keep out.
void CInstallServer::RefreshAccessSettings() {
  if (!accessFromStore_) return;
  const std::uint64_t changeCount = registry_.ChangeCount();
  if (changeCount == accessChangeCount_) return;
  accessChangeCount_ = changeCount;
  AccessSettings settings;
  std::vector<std::string> problems;
  if (ReadAccessSettings(registry_, settings, problems)) {
    access_ = settings;
    return;
  }
  for (const std::string& problem : problems) {
    Log("Error: %s; the access settings in use stay as they were", problem.c_str());
  }
}

AccessSettings CInstallServer::Access() {
  CLock guard(accessLock_);
  RefreshAccessSettings();
  return access_;
}

bool CInstallServer::IsClientAllowed(std::uint32_t address) {
  CLock guard(accessLock_);
  RefreshAccessSettings();
  return !access_.allowedClients || access_.allowedClients->Contains(address);
}

bool CInstallServer::FiltersClients() {
  CLock guard(accessLock_);
  RefreshAccessSettings();
  return access_.allowedClients.has_value();
}

std::uint32_t CInstallServer::ListenAddress() {
  CLock guard(accessLock_);
  RefreshAccessSettings();
  return access_.listenAddress.value_or(platform::kAnyAddress);
}

std::string CInstallServer::GetServerId() {
  CLock guard(lock_);
  if (serverId_.empty()) serverId_ = platform::CreateGuidText();
  return serverId_;
}

bool CInstallServer::GetMaterialNumbers(std::vector<std::string>& materialNumbers) {
  CLock guard(lock_);
  materialNumbers.clear();
  const bool result = deviceRegistry_->ListMaterialNumbers(materialNumbers);
  materialNumbers.push_back(kToolEquipmentNumber);
  return result;
}

bool CInstallServer::GetSerialNumber(const std::string& equipmentNumber,
                                     std::string& serialNumber) {
  CLock guard(lock_);
  if (EquipmentNumbersMatch(equipmentNumber, kToolEquipmentNumber)) {
    serialNumber = kToolSerialNumber;
    return true;
  }
  return deviceRegistry_->GetSerialNumber(equipmentNumber, serialNumber);
}

bool CInstallServer::OpenDevice(const std::string& equipmentNumber, IUpdateTarget*& updateTarget,
                                IDevice*& device) {
  CLock guard(lock_);
  updateTarget = nullptr;
  device = nullptr;
  if (EquipmentNumbersMatch(equipmentNumber, kToolEquipmentNumber)) {
    // The service as its own device: installs on this computer like any other.
    device = new CLocalDevice();
  } else if (!deviceRegistry_->OpenDevice(equipmentNumber, device)) {
    return false;
  }
  // Every device installs through the same platform services, so that one
  // set for the server (tests, fuzzing) reaches registry devices as well.
  updateTarget =
      new CUpdateTarget(installPlatform_ ? *installPlatform_ : DefaultInstallPlatform(registry_));
  return true;
}

bool CInstallServer::ReleaseDevice(IUpdateTarget* updateTarget, IDevice* device) {
  CLock guard(lock_);
  delete updateTarget;
  if (device == nullptr) return true;
  std::string materialNumber;
  if (device->GetMaterialNumber(materialNumber) &&
      EquipmentNumbersMatch(materialNumber, kToolEquipmentNumber)) {
    delete device;
    return true;
  }
  deviceRegistry_->ReleaseDevice(device);
  return true;
}

void CInstallServer::UseInstallPlatform(const InstallPlatform& platform) {
  CLock guard(lock_);
  installPlatform_ = std::make_unique<InstallPlatform>(platform);
}

bool CInstallServer::IsRelayAllowed() {
  {
    CLock guard(lock_);
    if (!relayAllowed_) return false;
  }
  CLock guard(accessLock_);
  RefreshAccessSettings();
  if (access_.allowRelay) relayRefusalLogged_ = false;
  return access_.allowRelay;
}

bool CInstallServer::FirstRelayRefusal() {
  CLock guard(accessLock_);
  const bool first = !relayRefusalLogged_;
  relayRefusalLogged_ = true;
  return first;
}

bool CInstallServer::IsScanDirectMode() {
  CLock guard(lock_);
  return scanDirectMode_;
}

std::uint16_t CInstallServer::ControlPort() { return controlChannel_->Port(); }
std::uint16_t CInstallServer::DataPort() { return dataChannel_->Port(); }
std::uint16_t CInstallServer::BoundDataPort() { return dataChannel_->BoundPort(); }
void CInstallServer::SetDataPort(std::uint16_t port) { dataChannel_->SetPort(port); }

bool CInstallServer::StartControlChannel() {
  if (controlChannel_->IsRunning()) return false;
  return controlChannel_->Start();
}

bool CInstallServer::StartDataChannel() {
  stopping_ = false;
  if (!controlChannel_->IsRunning() && !controlChannel_->Start()) return false;
  return dataChannel_->Start();
}

bool CInstallServer::IsControlChannelRunning() { return controlChannel_->IsRunning(); }
bool CInstallServer::IsDataChannelRunning() { return dataChannel_->IsRunning(); }

// The session queries run without the server lock. Admitting a connection
// holds the data channel's lock while the new session starts, and a session
// needs the server lock to release its device; holding the server lock while
// waiting for the channel's lock or for a session to end could therefore wait
// for ever.
bool CInstallServer::HasRunningSessions() { return dataChannel_->HasRunningSessions(); }

bool CInstallServer::CloseSessions() {
  if (!dataChannel_->HasRunningSessions()) return true;
  return dataChannel_->CloseAllSessions();
}

bool CInstallServer::StopDataChannel() { return dataChannel_->Stop(); }

// Sessions first, then the listener, then discovery, each joined before the
// next is woken, so the log tells the stop in that order. One grace covers
// all: it starts when both channels are marked stopping, and each wait ends
// at the same deadline. Under Winsock, where a shutdown leaves a blocked
// accept or receive blocked, the listener and the control channel are so
// closed at once after the sessions' wait instead of each waiting a grace
// of its own.
bool CInstallServer::Stop(bool force) {
  if (!force && dataChannel_->HasRunningSessions()) return false;
  stopping_ = true;
  const CThread::Deadline graceEnd = CThread::GraceDeadline();
  dataChannel_->RequestStop();
  controlChannel_->RequestStop();
  dataChannel_->CloseAllSessions(graceEnd);
  dataChannel_->FinishStop(graceEnd);
  // A connection accepted while the listener was stopping has a session too.
  dataChannel_->CloseAllSessions();
  controlChannel_->FinishStop(graceEnd);
  return true;
}
