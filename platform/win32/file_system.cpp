#include "platform/file_system.h"

#include <optional>
#include <vector>

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

constexpr DWORD kPathBuffer = 270;

bool IsRooted(const std::string& name) {
  if (name.size() >= 2 && name[1] == ':') return true;  // drive letter, also drive-relative
  return !name.empty() && IsPathSeparator(name[0]);
}

// The path the file system reaches for `path`, links and junctions
// followed, in the "\\?\C:\..." form; nothing when it cannot be opened.
std::optional<std::string> FinalPath(const std::string& path) {
  const HANDLE file =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  char buffer[1024] = {};
  const DWORD length = GetFinalPathNameByHandleA(file, buffer, sizeof buffer,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(file);
  if (length == 0 || length >= sizeof buffer) return std::nullopt;
  return std::string(buffer, length);
}

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Names compare without regard to ASCII case, as NTFS does.
bool IsSameOrBelow(const std::string& base, const std::string& path) {
  if (path.size() < base.size()) return false;
  for (std::size_t i = 0; i < base.size(); ++i) {
    if (Fold(base[i]) != Fold(path[i])) return false;
  }
  return path.size() == base.size() || IsPathSeparator(base.back()) ||
         IsPathSeparator(path[base.size()]);
}

}  // namespace

bool StaysInside(const std::string& directory, const std::string& path) {
  const std::optional<std::string> finalBase = FinalPath(directory);
  const std::string base = ResolveFullPath(directory, ".");
  if (!finalBase || !IsSameOrBelow(base, path)) return false;
  for (std::size_t end = base.size() + 1; end <= path.size(); ++end) {
    if (end < path.size() && !IsPathSeparator(path[end])) continue;
    const std::string part = path.substr(0, end);
    if (GetFileAttributesA(part.c_str()) == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    const std::optional<std::string> real = FinalPath(part);
    if (!real || !IsSameOrBelow(*finalBase, *real)) return false;
  }
  return true;
}

std::string DefaultTransferDirectory() { return "C:\\"; }

std::string ResolveFullPath(const std::string& base, const std::string& name) {
  // GetFullPathNameA fails on an empty name: no file is named.
  if (name.empty()) return "";
  std::string combined;
  if (IsRooted(name)) {
    // "\dir\file" means the root of the transfer directory's drive, as it
    // did when the transfer directory was the current directory.
    const bool uncOrDrive = name.size() >= 2 && (name[1] == ':' || IsPathSeparator(name[1]));
    combined =
        (!uncOrDrive && base.size() >= 2 && base[1] == ':') ? base.substr(0, 2) + name : name;
  } else {
    combined = base;
    if (!combined.empty() && !IsPathSeparator(combined.back())) combined += '\\';
    combined += name;
  }
  char buffer[kPathBuffer] = {};
  const DWORD length = GetFullPathNameA(combined.c_str(), kPathBuffer, buffer, nullptr);
  if (length == 0 || length >= kPathBuffer) return combined;
  return std::string(buffer, length);
}

bool MakeDirectory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

std::vector<std::string> FilesStartingWith(const std::string& directory,
                                           const std::string& prefix) {
  std::vector<std::string> paths;
  const std::string base =
      directory.empty() || IsPathSeparator(directory.back()) ? directory : directory + "\\";
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA((base + prefix + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return paths;
  do {
    // The pattern also matches short (8.3) names: the long name decides.
    const std::string name = found.cFileName;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
      continue;
    }
    paths.push_back(base + name);
  } while (FindNextFileA(search, &found) != 0);
  FindClose(search);
  return paths;
}

}  // namespace platform
