#include "install/patch_info.h"

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace {

constexpr std::uint32_t kPidTemplate = 7;
constexpr std::uint32_t kPidRevNumber = 9;
constexpr std::size_t kPatchCodeLength = 38;
constexpr std::uint32_t kSummaryBuffer = 512;
constexpr std::uint32_t kStateBuffer = 256;

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool IsPatchFile(const std::string& path) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (platform::IsPathSeparator(path[i])) start = i + 1;
  }
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < start) return false;
  const std::string extension = path.substr(dot);
  if (extension.size() != 4) return false;
  return Upper(extension[1]) == 'M' && Upper(extension[2]) == 'S' && Upper(extension[3]) == 'P';
}

CPatchInfo::CPatchInfo(platform::IInstallerApi& installer, std::string path)
    : installer_(installer), path_(std::move(path)) {}

CPatchInfo::~CPatchInfo() { Close(); }

void CPatchInfo::Close() {
  if (summary_ != 0) installer_.CloseHandle(summary_);
  if (database_ != 0) installer_.CloseHandle(database_);
  summary_ = 0;
  database_ = 0;
}

bool CPatchInfo::Open() {
  Close();
  return installer_.OpenDatabase(path_, IsPatchFile(path_), database_) == platform::kMsiSuccess;
}

std::string CPatchInfo::SummaryText(std::uint32_t property) {
  if (database_ == 0 && !Open()) return "";
  if (summary_ == 0 &&
      installer_.SummaryInformation(database_, summary_) != platform::kMsiSuccess) {
    summary_ = 0;
    return "";
  }
  std::vector<char> buffer(kSummaryBuffer);
  std::uint32_t size = kSummaryBuffer;
  std::uint32_t result = installer_.SummaryString(summary_, property, buffer.data(), size);
  if (result == platform::kMsiMoreData) {
    buffer.resize(size + 1);
    size += 1;
    result = installer_.SummaryString(summary_, property, buffer.data(), size);
  }
  if (result != platform::kMsiSuccess) return "";
  return std::string(buffer.data(), std::min<std::size_t>(size, buffer.size() - 1));
}

int CPatchInfo::GetPatchState() {
  const std::string patchCode = SummaryText(kPidRevNumber).substr(0, kPatchCodeLength);
  // A patch for several products names them all, separated by semicolons.
  const std::string target = SummaryText(kPidTemplate);
  char buffer[kStateBuffer] = {};
  std::uint32_t size = kStateBuffer;
  if (installer_.PatchInfo(patchCode, target, "State", buffer, size) != platform::kMsiSuccess) {
    return 0;
  }
  buffer[kStateBuffer - 1] = '\0';
  return static_cast<int>(std::strtol(buffer, nullptr, 10));
}
