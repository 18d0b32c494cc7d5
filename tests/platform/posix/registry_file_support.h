#pragma once
// A temporary directory holding one registry file, for the registry file tests.

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vorn_test {

class CRegistryFileDirectory {
 public:
  CRegistryFileDirectory() {
    char pattern[] = "/tmp/vorn-registry-XXXXXX";
    if (mkdtemp(pattern) != nullptr) directory_ = pattern;
    path_ = directory_ + "/registry.reg";
  }
  ~CRegistryFileDirectory() {
    for (const std::string& name : Entries()) unlink((directory_ + "/" + name).c_str());
    rmdir(directory_.c_str());
  }

  const std::string& Path() const { return path_; }
  const std::string& Directory() const { return directory_; }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    DIR* dir = opendir(directory_.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
  }

  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  // In place, as an editor that truncates and rewrites the file.
  void Write(const std::string& bytes) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
  }

  // As an editor that saves a new file and renames it over the old one.
  void Replace(const std::string& bytes) const {
    const std::string temp = directory_ + "/edit.tmp";
    std::ofstream(temp, std::ios::binary | std::ios::trunc) << bytes;
    std::rename(temp.c_str(), path_.c_str());
  }

 private:
  std::string directory_;
  std::string path_;
};

}  // namespace vorn_test
