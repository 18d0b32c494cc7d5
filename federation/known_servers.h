#pragma once
// The servers this process has found by scanning: their identifiers, quoted
// exactly as each server answered, with the address and data-channel port
// to reach them. One table per process; a finished scan replaces it whole.
// The same lock guards the flag that lets only one scan run at a time.

#include <map>
#include <string>

#include "net/critical_section.h"
#include "platform/socket.h"

class CKnownServers {
 public:
  // Byte-wise key order, which is the order of the scan's answer.
  using Table = std::map<std::string, platform::Endpoint>;

  // The process's table.
  static CKnownServers& Instance();

  CKnownServers() = default;
  CKnownServers(const CKnownServers&) = delete;
  CKnownServers& operator=(const CKnownServers&) = delete;

  // Sets the scan-running flag; false when it was set already.
  bool BeginScan();
  // Replaces the table and clears the flag.
  void EndScan(Table found);
  bool IsScanning();

  // The identifiers joined by commas (empty for an empty table).
  std::string Answer();
  // Copies the address of a quoted identifier; false when it is unknown.
  bool Find(const std::string& quotedId, platform::Endpoint& address);
  Table Snapshot();

 private:
  CCriticalSection lock_;
  Table table_;
  bool scanning_ = false;
};
