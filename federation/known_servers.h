#pragma once
// The servers that the last scan found: VORN identifier, as the peer answered
// it (in double quotes), to its data-channel address. One table per process,
// guarded by the scan lock; a scan replaces it as a whole, a relay copies one
// address out of it.

#include <map>
#include <string>

#include "net/critical_section.h"
#include "platform/socket.h"

class CKnownServers {
 public:
  using Table = std::map<std::string, platform::Endpoint>;

  static CKnownServers& Instance();

  // The address of a quoted identifier; false when no scan has found it.
  bool Find(const std::string& quotedId, platform::Endpoint& address);
  void Replace(Table table);
  Table Copy();

  // The scan lock, for the scan that also keeps its running flag under it.
  CCriticalSection& Lock() { return lock_; }

 private:
  CCriticalSection lock_;
  Table table_;
};
