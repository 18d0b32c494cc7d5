#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/instrument_link.h"

// What the simulator answers. Method names for `failing` are the option words
// challenge, response, preset, material, serial, time, mac, begin, end.
struct SimulatedInstrumentSettings {
  std::string materialNumber;
  std::string serialNumber;
  std::string operatingTime;
  std::string macAddress;
  std::set<std::string> failing;
};

// Byte i of the challenge: fixed, so that a test can check what arrived.
std::uint8_t SimulatedChallengeByte(std::size_t i);

// A stand-in for the instrument software. Calls arrive on other threads; each
// one that changes or notifies something writes a line to standard output
// ("response <hex>", "preset", "begin installation", "end installation").
class CSimulatedInstrument : public platform::IInstrument {
 public:
  static const std::set<std::string>& MethodWords();

  explicit CSimulatedInstrument(SimulatedInstrumentSettings settings);

  std::int32_t GetChallenge(std::uint8_t* buffer128) override;
  std::int32_t SetResponse(const std::uint8_t* response) override;
  std::int32_t Preset() override;
  std::int32_t GetMaterialNumber(std::string& text) override;
  std::int32_t GetSerialNumber(std::string& text) override;
  std::int32_t GetOperatingTime(std::string& text) override;
  std::int32_t GetMacAddress(std::string& text) override;
  std::int32_t BeginInstallation() override;
  std::int32_t EndInstallation() override;

 private:
  std::int32_t Outcome(const char* method) const;
  std::int32_t AnswerText(const char* method, const std::string& value, std::string& text);
  void Report(const std::string& line);

  std::mutex mutex_;
  const SimulatedInstrumentSettings settings_;
  std::vector<std::uint8_t> response_;
};
