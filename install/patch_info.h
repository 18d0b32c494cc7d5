#pragma once

#include <string>

#include "platform/installer.h"

// One patch file (.msp) as the installer sees it: its summary information and
// its state on this machine. Opens the file when a value is first needed.
class CPatchInfo {
 public:
  // Installer patch states.
  static constexpr int kApplied = 1;
  static constexpr int kSuperseded = 2;
  static constexpr int kObsoleted = 4;

  CPatchInfo(platform::IInstallerApi& installer, std::string path);
  ~CPatchInfo();
  CPatchInfo(const CPatchInfo&) = delete;
  CPatchInfo& operator=(const CPatchInfo&) = delete;

  // The patch's state for the products it names, machine-wide; 0 when unknown.
  int GetPatchState();
  // Closes both handles; the next value opens the file anew.
  void Close();

 private:
  bool Open();
  std::string SummaryText(std::uint32_t property);

  platform::IInstallerApi& installer_;
  std::string path_;
  platform::MsiHandle database_ = 0;
  platform::MsiHandle summary_ = 0;
};

// True when path's last component ends in ".msp", in any letter case.
bool IsPatchFile(const std::string& path);
