#pragma once

#include <string>

// Serial number used when a device key has none, and in the name of the block
// that instrument software publishes before it knows its serial number.
inline constexpr const char* kUnknownSerialNumber = "000000";

// The name of the shared memory block in which the instrument software of a
// device publishes its interface: "SharedMemory_" + key name + "_" + material
// number in ASCII lower case + "_" + serial number. Publisher and linker both
// build it here so that they cannot disagree.
std::string InstrumentBlockName(const std::string& keyName, const std::string& materialNumber,
                                const std::string& serialNumber);
