#include "platform/win32/registry_watch.h"

namespace platform::win32 {
namespace {

constexpr DWORD kFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

}  // namespace

CRegistryWatch::CRegistryWatch() : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

CRegistryWatch::~CRegistryWatch() {
  Disarm();
  if (event_ != nullptr) CloseHandle(event_);
}

void CRegistryWatch::Disarm() {
  if (key_ != nullptr) RegCloseKey(key_);
  key_ = nullptr;
}

bool CRegistryWatch::Arm(const std::string& path, REGSAM view) {
  Disarm();
  if (event_ == nullptr) return false;
  ResetEvent(event_);
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_NOTIFY | view, &key_) !=
      ERROR_SUCCESS) {
    key_ = nullptr;
    return false;
  }
  // Without REG_NOTIFY_THREAD_AGNOSTIC the registration ends, signalling the
  // event, when the arming thread ends; that costs one needless read only.
  // Older systems (and Wine) refuse the flag.
  if (RegNotifyChangeKeyValue(key_, TRUE, kFilter | REG_NOTIFY_THREAD_AGNOSTIC, event_, TRUE) !=
          ERROR_SUCCESS &&
      RegNotifyChangeKeyValue(key_, TRUE, kFilter, event_, TRUE) != ERROR_SUCCESS) {
    Disarm();
    return false;
  }
  return true;
}

bool CRegistryWatch::Signalled() const {
  return event_ != nullptr && WaitForSingleObject(event_, 0) == WAIT_OBJECT_0;
}

}  // namespace platform::win32
