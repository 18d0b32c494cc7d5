// Feeds arbitrary byte streams, cut into arbitrary pieces, to the message
// reader and to a whole command session. The first byte of the input says how
// many of the following bytes are piece sizes; the rest is the stream.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/log.h"
#include "device/device_registry_interface.h"
#include "device/local_device.h"
#include "install/install_platform.h"
#include "platform/installer.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/shutdown.h"
#include "service/install_server.h"
#include "session/command_session.h"
#include "session/message_reader.h"
#include "tests/support/scripted_socket_api.h"

namespace {

// Installations under fuzzing: transfers land in a scratch directory, no
// program ever starts and the restart always fails.
class CNoProcesses : public platform::IProcessApi {
 public:
  std::uint32_t Start(const std::string&, const std::string&,
                      platform::ProcessHandle& process) override {
    process = nullptr;
    return 5;
  }
  bool Wait(platform::ProcessHandle, std::uint32_t) override { return true; }
  bool ExitCode(platform::ProcessHandle, std::uint32_t&) override { return false; }
  void Close(platform::ProcessHandle) override {}
  void MakeExecutable(const std::string&) override {}
};

class CNoShutdown : public platform::ISystemShutdown {
 public:
  bool Reboot(const std::string&) override { return false; }
};

class CScratchRegistry : public platform::IRegistry {
 public:
  long CreateKey(const std::string&) override { return platform::kRegOk; }
  long OpenKey(const std::string&) override { return platform::kRegNotFound; }
  long QueryValue(const std::string&, const std::string& name,
                  platform::RegistryValue& value) override {
    if (name != "SoftwareInstallationPath") return platform::kRegNotFound;
    static const std::string kDirectory = "/tmp/vorn-fuzz-transfer";
    value.type = platform::kRegSz;
    value.data.assign(kDirectory.begin(), kDirectory.end());
    value.data.push_back(0);
    return platform::kRegOk;
  }
  long SetValue(const std::string&, const std::string&, std::uint32_t, const void*,
                std::size_t) override {
    return platform::kRegOk;
  }
  long EnumSubKeys(const std::string&, std::vector<std::string>& names) override {
    names.clear();
    return platform::kRegOk;
  }
  std::uint64_t ChangeCount() override { return 0; }
};

InstallPlatform& FuzzInstallPlatform() {
  static CScratchRegistry registry;
  static CNoProcesses processes;
  static CNoShutdown shutdown;
  static InstallPlatform platform{registry, processes, platform::Installer(), shutdown};
  return platform;
}

// One instrument device besides the service's own pseudo device.
class CFuzzDevices : public IDeviceRegistry {
 public:
  static constexpr const char* kMaterial = "1234.5678.02";

  bool GetSerialNumber(const std::string&, std::string& serial) override {
    serial = "100042";
    return true;
  }
  // The server pairs the device with an update target over the platform
  // the harness sets (UseInstallPlatform).
  bool OpenDevice(const std::string& id, IDevice*& device) override {
    device = nullptr;
    if (id != kMaterial) return false;
    auto* local = new CLocalDevice();
    local->SetMaterialNumber(id);
    local->SetSerialNumber("100042");
    device = local;
    return true;
  }
  bool ReleaseDevice(IDevice* device) override {
    delete device;
    return true;
  }
  bool ListMaterialNumbers(std::vector<std::string>& list) override {
    list.assign(1, kMaterial);
    return true;
  }
};

class CEmptyRegistry : public platform::IRegistry {
 public:
  long CreateKey(const std::string&) override { return platform::kRegOk; }
  long OpenKey(const std::string&) override { return platform::kRegNotFound; }
  long QueryValue(const std::string&, const std::string&, platform::RegistryValue&) override {
    return platform::kRegNotFound;
  }
  long SetValue(const std::string&, const std::string&, std::uint32_t, const void*,
                std::size_t) override {
    return platform::kRegOk;
  }
  long EnumSubKeys(const std::string&, std::vector<std::string>& names) override {
    names.clear();
    return platform::kRegOk;
  }
  std::uint64_t ChangeCount() override { return 0; }
};

void DropLine(const char*) {}

struct Harness {
  Harness() : server(new CFuzzDevices, registry, sockets), session(&server) {
    server.UseInstallPlatform(FuzzInstallPlatform());
  }
  vorn_test::CScriptedSocketApi sockets;
  CEmptyRegistry registry;
  CInstallServer server;
  CCommandSession session;
};

Harness& TheHarness() {
  static Harness* harness = new Harness;  // lives until the process ends
  return *harness;
}

// Reader operations chosen by the stream itself, until the input is used up.
void DriveReader(vorn_test::CScriptedSocketApi& sockets, std::uint8_t selector) {
  std::atomic<platform::SocketHandle> socket{vorn_test::CScriptedSocketApi::kHandle};
  CMessageReader reader(nullptr, sockets, &socket);
  std::string text;
  char terminator = 0;
  const std::uint8_t* block = nullptr;
  std::int32_t number = 0;
  char peek[CMessageReader::kPeekLimit];
  // Six failures in a row include a SkipTo that found nothing: the stream is over.
  int failuresInARow = 0;
  for (int step = 0; step < 100000 && failuresInARow < 6; ++step) {
    int r = 0;
    switch ((selector + step) % 6) {
      case 0:
        r = reader.ReadToken(text, terminator, false);
        break;
      case 1:
        r = reader.ReadString(text, terminator);
        break;
      case 2:
        r = reader.ReadBlock(block, terminator);
        if (r > 0 && block[r - 1] == 0x7F) terminator = 0;  // touch the data
        break;
      case 3:
        r = reader.ReadNumber(number, terminator);
        break;
      case 4:
        r = reader.SkipTo('\n');
        break;
      case 5:
        r = reader.Peek(peek, 1 + selector % CMessageReader::kPeekLimit);
        if (r > 0) r = reader.Read(peek, r);
        break;
    }
    if (r < 0) break;
    failuresInARow = r == 0 ? failuresInARow + 1 : 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetLogSink(&DropLine);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t sizeCount = std::min<std::size_t>(data[0] % 8, size - 1);
  std::vector<std::size_t> pieces(data + 1, data + 1 + sizeCount);
  const std::string stream(reinterpret_cast<const char*>(data) + 1 + sizeCount,
                           size - 1 - sizeCount);
  // The selector varies the reader's order of operations between inputs.
  const std::uint8_t selector = sizeCount > 0 ? data[1] : 0;

  Harness& h = TheHarness();
  h.sockets.Reset();
  h.sockets.Feed(stream, pieces);
  DriveReader(h.sockets, selector);

  // The same stream through a session, reused from input to input as the
  // data channel reuses finished sessions.
  h.sockets.Reset();
  h.sockets.Feed(stream, pieces);
  h.session.SetSocket(vorn_test::CScriptedSocketApi::kHandle);
  h.session.Run();
  return 0;
}
