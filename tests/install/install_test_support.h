#pragma once
// A manager over scripted platform services and a scratch transfer directory.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "install/crc16.h"
#include "install/install_manager.h"
#include "install/install_results.h"
#include "install/package_description.h"
#include "platform/registry_keys.h"
#include "tests/install/install_fakes.h"
#include "tests/support/fake_registry.h"

namespace vorn_test {

inline std::filesystem::path ScratchDirectory(const std::string& stem) {
  std::random_device random;
  auto path = std::filesystem::temp_directory_path() /
              (stem + "-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(path);
  return path;
}

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A little-endian 32-bit word written into a record's bytes in place.
inline void PutWordAt(std::string& bytes, std::size_t pos, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[pos + i] = static_cast<char>(v >> (8 * i));
}

inline std::string RecordBytes(const CPackageDescription& description) {
  std::ostringstream out(std::ios::binary);
  description.WriteTo(out);
  return out.str();
}

struct Status {
  std::uint32_t percent = 0;
  std::int32_t state = 0;
  std::string text;
  bool operator==(const Status&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Status& s) {
  return out << s.percent << "," << s.state << ",\"" << s.text << "\"";
}

class ManagerFixture : public testing::Test {
 protected:
  ManagerFixture() : directory_(ScratchDirectory("vorn-install")) {
    registry_.PutString(kPlatformKey, CInstallManager::kTransferDirectoryValue,
                        directory_.string());
    manager_ = std::make_unique<CInstallManager>(
        InstallPlatform{registry_, processes_, installer_, shutdown_});
  }
  ~ManagerFixture() override {
    manager_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  std::uint32_t Chunk(std::uint32_t offset, const std::string& bytes) {
    return manager_->WriteChunk(offset, Crc16X25(bytes.data(), bytes.size()),
                                static_cast<std::uint32_t>(bytes.size()),
                                reinterpret_cast<const std::uint8_t*>(bytes.data()));
  }
  // A whole transfer in chunks of chunkSize; the first failing result.
  std::uint32_t Transfer(std::uint32_t kind, const std::string& bytes,
                         std::size_t chunkSize = 65536) {
    if (std::uint32_t r = manager_->OpenTransfer(kind)) return r;
    for (std::size_t at = 0; at < bytes.size(); at += chunkSize) {
      if (std::uint32_t r = Chunk(static_cast<std::uint32_t>(at), bytes.substr(at, chunkSize))) {
        return r;
      }
    }
    return manager_->CloseTransfer();
  }
  std::uint32_t Upload(const CPackageDescription& description, const std::string& data) {
    if (std::uint32_t r = Transfer(0, RecordBytes(description))) return r;
    return Transfer(1, data);
  }
  std::string LastError() {
    std::string text;
    return manager_->GetLastError(text);
  }
  Status Progress() {
    Status status;
    manager_->GetProgress(&status.percent, &status.state, &status.text);
    return status;
  }
  bool WaitIdle() {
    for (int i = 0; i < 500; ++i) {
      if (!manager_->Engine().IsBusy()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::filesystem::path In(const std::string& name) const { return directory_ / name; }

  std::filesystem::path directory_;
  CFakeRegistry registry_;
  CFakeProcesses processes_;
  CFakeInstaller installer_;
  CFakeShutdown shutdown_;
  std::unique_ptr<CInstallManager> manager_;
};

}  // namespace vorn_test
