#pragma once
// Tells cheaply whether anything below one registry key may have changed:
// RegNotifyChangeKeyValue on the key's subtree, signalling an event that is
// polled with a zero wait.

#include <string>

#include "platform/win32/windows_api.h"

namespace platform::win32 {

class CRegistryWatch {
 public:
  CRegistryWatch();
  ~CRegistryWatch();
  CRegistryWatch(const CRegistryWatch&) = delete;
  CRegistryWatch& operator=(const CRegistryWatch&) = delete;

  // Watches HKEY_LOCAL_MACHINE\path in the given view; false when the key
  // cannot be opened (nothing is watched then).
  bool Arm(const std::string& path, REGSAM view);
  bool IsArmed() const { return key_ != nullptr; }
  // True once something changed since Arm (the watch must then be armed again).
  bool Signalled() const;
  void Disarm();

 private:
  HANDLE event_ = nullptr;
  HKEY key_ = nullptr;
};

}  // namespace platform::win32
