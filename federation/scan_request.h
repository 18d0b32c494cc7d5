#pragma once
// What a tool asks a server to scan for: the discovery query's content and
// which networks to search.

#include <cstdint>
#include <optional>
#include <set>
#include <string>

enum class ScanMode {
  kAll,      // every network; the second discovery port only in scan direct mode
  kDall,     // every network, both discovery ports
  kExtern,   // not the network the tool is connected through
  kDextern,  // not that network, both discovery ports
};

// "ALL", "DALL", "EXTERN", "DEXTERN", byte for byte; false for anything else.
bool ParseScanMode(const std::string& word, ScanMode& mode);

struct ScanRequest {
  std::uint32_t timeoutMs = 2000;
  ScanMode mode = ScanMode::kAll;
  std::optional<std::string> group;  // none: the query names no group
  std::set<std::string> equipmentNumbers;
  // This server's address on the tool's connection, when it could be read.
  std::optional<std::uint32_t> localAddress;
};
