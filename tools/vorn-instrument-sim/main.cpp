// vorn-instrument-sim: stands in for the instrument software of one device.
// It publishes an instrument object under the shared memory name the service
// looks for, answers the service's calls, and runs until it is asked to stop.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "device/instrument_block_name.h"
#include "platform/instrument_publisher.h"
#include "tools/vorn-instrument-sim/simulated_instrument.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: vorn-instrument-sim [options]\n"
               "  --key NAME            device key name (default SampleAnalyzer)\n"
               "  --material NUMBER     material number (default 1234.5678.02)\n"
               "  --serial NUMBER       serial number (default 100042)\n"
               "  --use-fallback-name   publish under the name ending in _000000\n"
               "  --report-connections  print \"connections N\" whenever the number of\n"
               "                        references that others hold changes (Windows: 1\n"
               "                        while any process holds one, else 0)\n"
               "  --operating-time TEXT operating time answer (default \"1234 h\")\n"
               "  --mac TEXT            MAC address answer (default 00:11:22:33:44:55)\n"
               "  --fail METHOD         make METHOD return E_FAIL; repeatable; one of\n"
               "                        challenge response preset material serial time mac\n"
               "                        begin end\n"
               "Prints \"ready <block name>\" once published. The challenge byte i is\n"
               "(i * 37 + 11) mod 256. Stops on SIGTERM/SIGINT or when standard input,\n"
               "if it is a pipe, ends.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string key = "SampleAnalyzer";  // the device of config/default-registry.reg
  bool useFallbackName = false;
  bool reportConnections = false;
  SimulatedInstrumentSettings settings{"1234.5678.02", "100042", "1234 h", "00:11:22:33:44:55", {}};
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    if (option == "--use-fallback-name") {
      useFallbackName = true;
      continue;
    }
    if (option == "--report-connections") {
      reportConnections = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "vorn-instrument-sim: %s needs a value\n", option.c_str());
      PrintUsage(stderr);
      return 2;
    }
    std::string value = argv[++i];
    if (option == "--key") {
      key = value;
    } else if (option == "--material") {
      settings.materialNumber = value;
    } else if (option == "--serial") {
      settings.serialNumber = value;
    } else if (option == "--operating-time") {
      settings.operatingTime = value;
    } else if (option == "--mac") {
      settings.macAddress = value;
    } else if (option == "--fail" && CSimulatedInstrument::MethodWords().count(value)) {
      settings.failing.insert(value);
    } else {
      std::fprintf(stderr, "vorn-instrument-sim: bad option %s %s\n", option.c_str(),
                   value.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }

  std::string blockName = InstrumentBlockName(
      key, settings.materialNumber, useFallbackName ? kUnknownSerialNumber : settings.serialNumber);
  platform::ConnectionObserver observer;
  if (reportConnections) {
    observer = [](unsigned connections) {
      std::printf("connections %u\n", connections);
      std::fflush(stdout);
    };
  }
  std::string error;
  auto publication = platform::PublishInstrument(
      blockName, std::make_shared<CSimulatedInstrument>(settings), error, std::move(observer));
  if (!publication) {
    std::fprintf(stderr, "vorn-instrument-sim: cannot publish %s: %s\n", blockName.c_str(),
                 error.c_str());
    return 1;
  }
  std::printf("ready %s\n", blockName.c_str());
  std::fflush(stdout);
  platform::WaitForStopRequest();
  return 0;
}
