#pragma once
// COM for the span of one operation on a thread that may not have it.

#include "platform/win32/windows_api.h"

namespace platform::win32 {

// Enters the multithreaded apartment when the thread is in none, and leaves
// it again at the end of the scope; a thread that already is in an
// apartment stays where it is.
class CComScope {
 public:
  CComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~CComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  CComScope(const CComScope&) = delete;
  CComScope& operator=(const CComScope&) = delete;

 private:
  HRESULT result_;  // RPC_E_CHANGED_MODE: the thread already is an apartment
};

}  // namespace platform::win32
