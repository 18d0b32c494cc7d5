// The configuration store with a large inventory: the time to load a
// registry file of many device keys and list and query every device the way
// the service does at start-up (and `vornsvc --check` after it), and the time
// of one value write in that file. Best of several rounds.
//   build/linux/bench/registry_bench [devices] [rounds]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/device_registry.h"
#include "device/registry_strings.h"
#include "platform/instrument_link.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"

namespace {

using Clock = std::chrono::steady_clock;

void WriteInventory(const std::string& path, int devices) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]\n\n";
  char line[512];
  for (int i = 0; i < devices; ++i) {
    std::snprintf(line, sizeof line,
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Device%04d]\n"
                  "\"MaterialNumber\"=\"1234.%04d.02\"\n\"SerialNumber\"=\"%06d\"\n"
                  "\"DeviceName\"=\"Device %d\"\n\"SoftwareVersion\"=\"1.0\"\n\n",
                  i, i, i, i);
    out << line;
  }
  out << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\"
         "InstallServer]\n\"DeviceGroup\"=\"DEFAULT\"\n";
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Opens the file afresh, lists the devices and reads each one's values;
// the number of devices with a serial number.
std::size_t LoadAndQuery(const std::string& path) {
  std::unique_ptr<platform::IRegistry> store = platform::OpenRegistryFile(path);
  CDeviceRegistry devices(*store, platform::InstrumentLinker());
  std::vector<std::string> materials;
  devices.ListMaterialNumbers(materials);
  std::size_t found = 0;
  for (const std::optional<std::string>& serial : devices.SerialNumbersOf(materials)) {
    found += serial ? 1 : 0;
  }
  std::vector<std::string> names;
  store->EnumSubKeys(kPlatformKey, names);
  for (const std::string& name : names) {
    const std::string key = DeviceKeyPath(name);
    for (const char* value : {"MaterialNumber", "SerialNumber", "DeviceName", "SoftwareVersion"}) {
      ReadLenientStringOrEmpty(*store, key, value);
    }
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const int devices = argc > 1 ? std::atoi(argv[1]) : 3000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  char directory[] = "/tmp/registry_bench.XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string path = std::string(directory) + "/registry.reg";
  WriteInventory(path, devices);

  double bestLoad = 1e9, bestWrite = 1e9;
  std::size_t found = 0;
  for (int r = 0; r < rounds; ++r) {
    auto start = Clock::now();
    found = LoadAndQuery(path);
    bestLoad = std::min(bestLoad, Seconds(start));

    std::unique_ptr<platform::IRegistry> store = platform::OpenRegistryFile(path);
    store->ChangeCount();  // loaded before the write is timed
    const std::string group = r % 2 == 0 ? "BENCH" : "DEFAULT";
    start = Clock::now();
    long result = store->SetValue(kConfigurationKey, "DeviceGroup", platform::kRegSz, group.c_str(),
                                  group.size() + 1);
    bestWrite = std::min(bestWrite, Seconds(start));
    if (result != platform::kRegOk) {
      std::fprintf(stderr, "write failed: %ld\n", result);
      return 1;
    }
  }
  std::printf(
      "registry file of %d devices: load, list and query all %.1f ms (%zu serial numbers)\n",
      devices, bestLoad * 1e3, found);
  std::printf("registry file of %d devices: one value write %.1f ms\n", devices, bestWrite * 1e3);
  unlink(path.c_str());
  rmdir(directory);
  return 0;
}
