// Private files on Windows: CREATE_NEW never opens an existing file, and
// FILE_FLAG_OPEN_REPARSE_POINT keeps a link planted under the name from
// being followed. The name's unpredictable part comes from the system's
// generator.
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/error_text.h"
#include "platform/file_system.h"
// clang-format off
#include "platform/win32/windows_api.h"
#include <bcrypt.h>
// clang-format on

namespace platform {

struct CPrivateFile::State {
  HANDLE file = INVALID_HANDLE_VALUE;
};

namespace {

std::string TextOf(DWORD error) {
  std::string text = SystemErrorText(static_cast<int>(error));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(error) : text;
}

bool RandomPart(std::string& part) {
  std::uint64_t value = 0;
  if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                      BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    return false;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  part = text;
  return true;
}

}  // namespace

CPrivateFile::CPrivateFile() : state_(std::make_unique<State>()) {}

CPrivateFile::~CPrivateFile() { Close(); }

bool CPrivateFile::Create(const std::string& directory, const std::string& prefix,
                          const std::string& suffix) {
  Close();
  path_.clear();
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 16 && error == ERROR_FILE_EXISTS; ++attempt) {
    std::string part;
    if (!RandomPart(part)) {
      errorText_ = "the system's random generator failed";
      return false;
    }
    std::string path = directory;
    if (path.empty() || !IsPathSeparator(path.back())) path += '\\';
    path += prefix + part + suffix;
    state_->file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (state_->file != INVALID_HANDLE_VALUE) {
      path_ = path;
      return true;
    }
    error = GetLastError();
  }
  errorText_ = TextOf(error);
  return false;
}

bool CPrivateFile::Write(const void* data, std::size_t length) {
  if (state_->file == INVALID_HANDLE_VALUE) {
    errorText_ = TextOf(ERROR_INVALID_HANDLE);
    return false;
  }
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const DWORD piece = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(state_->file, next, piece, &written, nullptr) || written == 0) {
      errorText_ = TextOf(GetLastError());
      return false;
    }
    next += written;
    length -= written;
  }
  return true;
}

bool CPrivateFile::Close() {
  if (state_->file == INVALID_HANDLE_VALUE) return true;
  const bool closed = CloseHandle(state_->file) != 0;
  if (!closed) errorText_ = TextOf(GetLastError());
  state_->file = INVALID_HANDLE_VALUE;
  return closed;
}

}  // namespace platform
