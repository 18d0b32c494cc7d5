#include "tools/vornpkg/package_files.h"

#include <cstdio>
#include <fstream>
#include <iostream>

bool ReadDescriptionFile(const std::string& path, CPackageDescription& description,
                         std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path;
    return false;
  }
  if (const char* text = description.ReadFrom(file)) {
    error = text;
    return false;
  }
  return true;
}

namespace {

struct TypeWord {
  const char* word;
  std::uint32_t type;
};

constexpr TypeWord kTypeWords[] = {
    {"exe", CPackageDescription::kTypeExecutable},
    {"msi", CPackageDescription::kTypeInstaller},
    {"data", CPackageDescription::kTypeNotInstallable},
    {"post", CPackageDescription::kTypePostProcess},
    {"none", CPackageDescription::kTypeNothing},
};

}  // namespace

bool ParsePackageType(const std::string& text, std::uint32_t& type) {
  for (const TypeWord& w : kTypeWords) {
    if (text == w.word) {
      type = w.type;
      return true;
    }
  }
  return ParseU32(text, type);
}

std::string PackageTypeName(std::uint32_t type) {
  for (const TypeWord& w : kTypeWords) {
    if (type == w.type) return w.word;
  }
  return "type " + std::to_string(type);
}

bool ParseU32(const std::string& text, std::uint32_t& value) {
  int base = 10;
  std::size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  if (start >= text.size()) return false;
  std::uint64_t result = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    result = result * base + digit;
    if (result > 0xFFFFFFFFu) return false;
  }
  value = static_cast<std::uint32_t>(result);
  return true;
}

std::string IdentifierText(const CPackageDescription::Identifier& id) {
  char text[39];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id[3],
                id[2], id[1], id[0], id[5], id[4], id[7], id[6], id[8], id[9], id[10], id[11],
                id[12], id[13], id[14], id[15]);
  return text;
}

void PrintError(const std::string& message) { std::cerr << "vornpkg: " << message << '\n'; }
