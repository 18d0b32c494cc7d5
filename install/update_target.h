#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct InstallPlatform;
class CInstallManager;

// The installation side of a selected device: transfers, installation,
// progress and reboot. Acquired and released together with the device.
// Results are HRESULTs, 0 meaning success.
class IUpdateTarget {
 public:
  virtual ~IUpdateTarget() = default;
  // kind 0: package description, 1: data file.
  virtual std::uint32_t OpenTransfer(std::uint32_t kind) = 0;
  virtual std::uint32_t WriteChunk(std::uint32_t offset, std::uint32_t checksum,
                                   std::uint32_t length, const std::uint8_t* data) = 0;
  // WriteChunk in two steps: the chunk is checked and counted in first, and
  // written by WriteAcceptedChunk (same data and length) before any other
  // call on the target. A target that cannot split writes at once.
  virtual std::uint32_t AcceptChunk(std::uint32_t offset, std::uint32_t checksum,
                                    std::uint32_t length, const std::uint8_t* data) {
    return WriteChunk(offset, checksum, length, data);
  }
  virtual std::uint32_t WriteAcceptedChunk(const std::uint8_t*, std::uint32_t) { return 0; }
  virtual std::uint32_t CloseTransfer() = 0;
  virtual std::uint32_t Install(const char* request) = 0;
  // The last failure text, handed out once (then empty).
  virtual std::string& GetLastError(std::string& text) = 0;
  virtual std::uint32_t Reboot() = 0;
  virtual bool GetProgress(std::uint32_t* percent, std::int32_t* state, std::string* text) = 0;
};

// The update target of every device: one installation manager, alive as long
// as the session keeps the device selected.
class CUpdateTarget : public IUpdateTarget {
 public:
  explicit CUpdateTarget(const InstallPlatform& platform);
  ~CUpdateTarget() override;

  std::uint32_t OpenTransfer(std::uint32_t kind) override;
  std::uint32_t WriteChunk(std::uint32_t offset, std::uint32_t checksum, std::uint32_t length,
                           const std::uint8_t* data) override;
  std::uint32_t AcceptChunk(std::uint32_t offset, std::uint32_t checksum, std::uint32_t length,
                            const std::uint8_t* data) override;
  std::uint32_t WriteAcceptedChunk(const std::uint8_t* data, std::uint32_t length) override;
  std::uint32_t CloseTransfer() override;
  std::uint32_t Install(const char* request) override;
  std::string& GetLastError(std::string& text) override;
  std::uint32_t Reboot() override;
  bool GetProgress(std::uint32_t* percent, std::int32_t* state, std::string* text) override;

 private:
  std::unique_ptr<CInstallManager> manager_;
};
