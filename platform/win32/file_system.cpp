#include "platform/file_system.h"

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

constexpr DWORD kPathBuffer = 270;

bool IsRooted(const std::string& name) {
  if (name.size() >= 2 && name[1] == ':') return true;  // drive letter, also drive-relative
  return !name.empty() && IsPathSeparator(name[0]);
}

}  // namespace

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

}  // namespace platform
