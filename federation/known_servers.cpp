#include "federation/known_servers.h"

#include <utility>

CKnownServers& CKnownServers::Instance() {
  static CKnownServers servers;
  return servers;
}

bool CKnownServers::BeginScan() {
  CLock guard(lock_);
  if (scanning_) return false;
  scanning_ = true;
  return true;
}

void CKnownServers::EndScan(Table found) {
  CLock guard(lock_);
  table_ = std::move(found);
  scanning_ = false;
}

bool CKnownServers::IsScanning() {
  CLock guard(lock_);
  return scanning_;
}

std::string CKnownServers::Answer() {
  CLock guard(lock_);
  std::string answer;
  for (const auto& [id, address] : table_) {
    if (!answer.empty()) answer += ',';
    answer += id;
  }
  return answer;
}

bool CKnownServers::Find(const std::string& quotedId, platform::Endpoint& address) {
  CLock guard(lock_);
  const auto found = table_.find(quotedId);
  if (found == table_.end()) return false;
  address = found->second;
  return true;
}

CKnownServers::Table CKnownServers::Snapshot() {
  CLock guard(lock_);
  return table_;
}
