#include "device/instrument_block_name.h"

std::string InstrumentBlockName(const std::string& keyName, const std::string& materialNumber,
                                const std::string& serialNumber) {
  std::string lower = materialNumber;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return "SharedMemory_" + keyName + "_" + lower + "_" + serialNumber;
}
