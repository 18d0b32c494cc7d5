#include "federation/known_servers.h"

#include <utility>

CKnownServers& CKnownServers::Instance() {
  static CKnownServers servers;
  return servers;
}

bool CKnownServers::Find(const std::string& quotedId, platform::Endpoint& address) {
  CLock guard(lock_);
  const auto found = table_.find(quotedId);
  if (found == table_.end()) return false;
  address = found->second;
  return true;
}

void CKnownServers::Replace(Table table) {
  CLock guard(lock_);
  table_ = std::move(table);
}

CKnownServers::Table CKnownServers::Copy() {
  CLock guard(lock_);
  return table_;
}
