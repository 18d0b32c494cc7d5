#include "tools/vorn-instrument-sim/simulated_instrument.h"

#include <cstdio>

namespace {
constexpr std::size_t kChallengeSize = 128;
}

std::uint8_t SimulatedChallengeByte(std::size_t i) {
  return static_cast<std::uint8_t>((i * 37 + 11) & 0xFF);
}

const std::set<std::string>& CSimulatedInstrument::MethodWords() {
  static const std::set<std::string> words = {
      "challenge", "response", "preset", "material", "serial", "time", "mac", "begin", "end"};
  return words;
}

CSimulatedInstrument::CSimulatedInstrument(SimulatedInstrumentSettings settings)
    : settings_(std::move(settings)) {}

std::int32_t CSimulatedInstrument::Outcome(const char* method) const {
  return settings_.failing.count(method) ? platform::kHresultFail : platform::kHresultOk;
}

void CSimulatedInstrument::Report(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::int32_t CSimulatedInstrument::GetChallenge(std::uint8_t* buffer128) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < kChallengeSize; ++i) buffer128[i] = SimulatedChallengeByte(i);
  return Outcome("challenge");
}

std::int32_t CSimulatedInstrument::SetResponse(const std::uint8_t* response) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::int32_t outcome = Outcome("response");
  if (outcome != platform::kHresultOk) return outcome;
  response_.assign(response, response + kChallengeSize);
  std::string hex;
  for (std::uint8_t byte : response_) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  Report("response " + hex);
  return outcome;
}

std::int32_t CSimulatedInstrument::Preset() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::int32_t outcome = Outcome("preset");
  if (outcome == platform::kHresultOk) Report("preset");
  return outcome;
}

std::int32_t CSimulatedInstrument::AnswerText(const char* method, const std::string& value,
                                              std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  text = value;
  return Outcome(method);
}

std::int32_t CSimulatedInstrument::GetMaterialNumber(std::string& text) {
  return AnswerText("material", settings_.materialNumber, text);
}

std::int32_t CSimulatedInstrument::GetSerialNumber(std::string& text) {
  return AnswerText("serial", settings_.serialNumber, text);
}

std::int32_t CSimulatedInstrument::GetOperatingTime(std::string& text) {
  return AnswerText("time", settings_.operatingTime, text);
}

std::int32_t CSimulatedInstrument::GetMacAddress(std::string& text) {
  return AnswerText("mac", settings_.macAddress, text);
}

std::int32_t CSimulatedInstrument::BeginInstallation() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::int32_t outcome = Outcome("begin");
  if (outcome == platform::kHresultOk) Report("begin installation");
  return outcome;
}

std::int32_t CSimulatedInstrument::EndInstallation() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::int32_t outcome = Outcome("end");
  if (outcome == platform::kHresultOk) Report("end installation");
  return outcome;
}
