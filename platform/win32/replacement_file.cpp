// Replacement files on Windows: every directory from the trusted one down is
// opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), refused when it is a
// reparse point, and held without FILE_SHARE_DELETE until the file is in
// place, so that none of them can be renamed or swapped for a junction
// meanwhile. The file goes in place with MoveFileEx and write-through.
#include <atomic>
#include <string>
#include <vector>

#include "platform/error_text.h"
#include "platform/file_system.h"
#include "platform/win32/windows_api.h"

namespace platform {

struct CReplacementFile::State {
  std::vector<HANDLE> directories;
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string tempPath;
  std::string finalPath;
};

namespace {

std::atomic<unsigned> nextNumber{0};

std::string TextOf(DWORD error) {
  std::string text = SystemErrorText(static_cast<int>(error));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(error) : text;
}

bool IsPlain(HANDLE handle, bool directory) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
  return ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == directory;
}

HANDLE OpenDirectory(const std::string& path, bool asItself) {
  return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | (asItself ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                     nullptr);
}

}  // namespace

CReplacementFile::CReplacementFile() : state_(std::make_unique<State>()) {}

CReplacementFile::~CReplacementFile() { Discard(); }

bool CReplacementFile::IsOpen() const { return state_->file != INVALID_HANDLE_VALUE; }

bool CReplacementFile::Open(const std::string& path, const std::string& within) {
  Discard();
  errorText_.clear();
  auto fail = [&](DWORD error) {
    errorText_ = TextOf(error);
    Discard();
    return false;
  };
  std::size_t slash = path.size();
  while (slash > 0 && !IsPathSeparator(path[slash - 1])) --slash;
  if (slash == 0 || slash == path.size()) return fail(ERROR_INVALID_NAME);
  const std::string directory = path.substr(0, slash);

  if (!within.empty()) {
    std::string base = ResolveFullPath(within, ".");
    if (path.size() <= base.size() || path.compare(0, base.size(), base) != 0) {
      return fail(ERROR_INVALID_NAME);
    }
    // The directory itself may be a junction that the configuration names.
    HANDLE handle = OpenDirectory(base, false);
    if (handle == INVALID_HANDLE_VALUE) return fail(GetLastError());
    state_->directories.push_back(handle);
    for (std::size_t end = base.size() + 1; end < slash; ++end) {
      if (!IsPathSeparator(path[end])) continue;
      const std::string part = path.substr(0, end);
      CreateDirectoryA(part.c_str(), nullptr);
      handle = OpenDirectory(part, true);
      if (handle == INVALID_HANDLE_VALUE) return fail(GetLastError());
      state_->directories.push_back(handle);
      if (!IsPlain(handle, true)) return fail(ERROR_CANT_ACCESS_FILE);
    }
  }

  // A directory in the file's place could not be replaced at the end: refuse now.
  const DWORD existing = GetFileAttributesA(path.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(ERROR_ACCESS_DENIED);
  }
  state_->tempPath = directory + kReplacementPrefix + std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(nextNumber++) + ".tmp";
  state_->finalPath = path;
  state_->file = CreateFileA(state_->tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (state_->file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    state_->tempPath.clear();
    return fail(error);
  }
  if (!IsPlain(state_->file, false)) return fail(ERROR_CANT_ACCESS_FILE);
  return true;
}

bool CReplacementFile::Write(const void* data, std::size_t length) {
  if (state_->file == INVALID_HANDLE_VALUE) {
    errorText_ = TextOf(ERROR_INVALID_HANDLE);
    return false;
  }
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(state_->file, next, chunk, &written, nullptr) || written == 0) {
      errorText_ = TextOf(written == 0 && GetLastError() == 0 ? ERROR_DISK_FULL : GetLastError());
      return false;
    }
    next += written;
    length -= written;
  }
  return true;
}

bool CReplacementFile::Commit() {
  if (state_->file == INVALID_HANDLE_VALUE) {
    errorText_ = TextOf(ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD error = 0;
  if (!FlushFileBuffers(state_->file)) error = GetLastError();
  if (!CloseHandle(state_->file) && error == 0) error = GetLastError();
  state_->file = INVALID_HANDLE_VALUE;
  if (error == 0 && !MoveFileExA(state_->tempPath.c_str(), state_->finalPath.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) {
    errorText_ = TextOf(error);
    Discard();
    return false;
  }
  state_->tempPath.clear();
  Discard();
  return true;
}

void CReplacementFile::Discard() {
  if (state_->file != INVALID_HANDLE_VALUE) CloseHandle(state_->file);
  state_->file = INVALID_HANDLE_VALUE;
  if (!state_->tempPath.empty()) DeleteFileA(state_->tempPath.c_str());
  state_->tempPath.clear();
  for (HANDLE handle : state_->directories) CloseHandle(handle);
  state_->directories.clear();
}

}  // namespace platform
