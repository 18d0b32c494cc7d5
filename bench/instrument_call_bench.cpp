// Cost of one call through the instrument link, against a running
// vorn-instrument-sim: from the thread that selected the device (the
// session's own calls), from another thread (discovery asking the linked
// instrument for its serial number under the server lock), and of the
// selection itself (linking). Under Wine the calls cross processes through
// COM, as on an instrument PC:
//
//   build/linux/bench/instrument_call_bench [calls]
//   scripts/run-under-wine.sh build/windows/bench/instrument_call_bench.exe [calls]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "device/device.h"
#include "device/device_registry.h"
#include "platform/instrument_link.h"
#include "platform/registry_keys.h"
#include "platform/thread.h"
#include "tests/support/fake_registry.h"
#include "tests/support/instrument_simulator.h"

namespace {

const std::string kMaterial = "1234.BNCH.02";
const std::string kSerial = "100777";

template <typename Body>
double MillisecondsPerCall(int calls, Body body) {
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    if (!body()) {
      std::fprintf(stderr, "call %d failed\n", i);
      std::exit(1);
    }
  }
  std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - begin;
  return spent.count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 200;
  platform::ComInitialize();
  const std::string key = UniqueInstrumentKey("BenchAnalyzer");
  const std::string path = DeviceKeyPath(key);
  CFakeRegistry registry;
  registry.PutString(path, "MaterialNumber", kMaterial);
  registry.PutString(path, "SerialNumber", kSerial);
  CInstrumentSimulator simulator;
  std::string error;
  if (!simulator.Start({"--key", key, "--material", kMaterial, "--serial", kSerial}, error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }

  {
    CDeviceRegistry inventory(registry, platform::InstrumentLinker());
    IDevice* device = nullptr;
    const int selections = calls / 10 > 0 ? calls / 10 : 1;
    double perSelection = MillisecondsPerCall(selections, [&] {
      if (device != nullptr) inventory.ReleaseDevice(device);
      device = nullptr;
      return inventory.OpenDevice(kMaterial, device);
    });
    std::string text;
    double own = MillisecondsPerCall(calls, [&] { return device->GetMaterialNumber(text); });
    double other = 0;
    std::thread discovery([&] {
      platform::ComInitialize();
      other =
          MillisecondsPerCall(calls, [&] { return inventory.GetSerialNumber(kMaterial, text); });
      platform::ComUninitialize();
    });
    discovery.join();
    inventory.ReleaseDevice(device);

    std::printf("selection (link):                      %8.3f ms\n", perSelection);
    std::printf("call from the selecting thread:        %8.3f ms\n", own);
    std::printf("discovery call from another thread:    %8.3f ms\n", other);
  }
  simulator.Stop();
  platform::ComUninitialize();
  return 0;
}
