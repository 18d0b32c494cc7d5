#include "platform/system_info.h"

#include "platform/win32/windows_api.h"

namespace platform {

std::string CreateGuidText() {
  GUID guid{};
  CoCreateGuid(&guid);
  wchar_t wide[40] = {};
  StringFromGUID2(guid, wide, 40);
  char ansi[40] = {};
  WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, nullptr);
  return ansi;
}

std::string HostName() {
  // gethostname needs Winsock started; the reference is only held for the call.
  WSADATA data;
  bool started = WSAStartup(MAKEWORD(1, 1), &data) == 0;
  char name[256] = {};
  int result = gethostname(name, sizeof name - 1);
  if (started) WSACleanup();
  return result == 0 ? name : "";
}

}  // namespace platform
