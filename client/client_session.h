#pragma once
// Drives an installation server through its data channel the way a remote
// installation tool does: identifies the server and its device, selects a
// device, transfers a package in checked blocks, starts the installation,
// follows its progress and reads the error queue after each step. Failures
// throw Fernway::CError; channel failures arrive as Fernway::CSocketError.

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "client/channel.h"
#include "platform/socket.h"

class CPackageDescription;

class CClientSession : public virtual CChannel {
 public:
  // Progress states as callbacks and results give them.
  enum State { kTran = 0, kRun = 1, kInst = 2, kErr = 3, kSucc = 4, kBoot = 5 };

  // Called with the context given at registration, percent, state and text.
  using ProgressCallback = void (*)(std::uintptr_t context, int percent, int state,
                                    const char* text);

  // The largest data file a server takes: it refuses block offsets beyond
  // 2147483647, and every block of a file this size starts below that.
  static constexpr std::uint64_t kLargestDataBytes = 2147483648ull;

  // The transfer attribute that asks for END with the last byte of a write.
  static constexpr std::uint32_t kSendEndAttribute = 0x3FFF0016;

  CClientSession() = default;

  void SetProgressCallback(ProgressCallback callback, std::uintptr_t context);
  // May be called from any thread (and from a signal handler); the request
  // is looked at between steps and blocks, never inside a blocked call.
  void RequestAbort() { abort_ = true; }
  bool AbortRequested() const { return abort_; }
  // The longest an installation is followed from its start to a final state;
  // past it the follow throws Fernway::CDeadlineError. A server that answers
  // every poll with progress would otherwise be followed for ever, which the
  // answer time-out cannot catch. 0: no limit.
  void SetInstallDeadline(std::uint32_t seconds) { installDeadlineSeconds_ = seconds; }
  std::uint32_t InstallDeadline() const { return installDeadlineSeconds_; }

  // Asks the identity queries. A peer that does not answer in time is not a
  // server of this kind: Identify then returns with IsIdentified() false.
  void Identify();
  bool IsIdentified() const { return identified_; }
  bool IsIdentityRead() const { return identityRead_; }

  // Each throws "This is not a M&K device" unless Identify succeeded (Model
  // needs only the "*IDN?" answer).
  int ProtocolVersion() const;
  int DescriptionVersion() const;
  std::string DeviceVersion() const;
  std::string MaterialNumber() const;
  std::string SerialText() const;
  std::string IdnSerialText() const;
  std::string SerialNumber() const;
  std::string Model() const;
  std::string MacAddress() const;
  std::string VornId() const;
  std::string Host() const;
  bool IsVornCapable() const { return ProtocolVersion() >= 200; }
  platform::Endpoint PeerAddress() const;

  // Reads one error entry; anything but the empty-queue answer is thrown.
  void CheckError();
  void Select(const std::string& device);
  std::string SelectedDevice();
  std::string Catalog();
  void Reboot();
  int PollProgress();
  // Polls the progress once a second until its state is final (SUCC, BOOT
  // or ERR) and returns that state; kErr when an abort is requested.
  int FollowProgress();

  // Transfers description and data, installs, and follows the installation
  // to its end. True unless it ended in ERR.
  bool Install(const CPackageDescription& description, std::istream& data, std::uint32_t dataSize);
  // The transfer of Install without the installation.
  bool TransferOnly(const CPackageDescription& description, std::istream& data,
                    std::uint32_t dataSize);
  // Install with the data read from a file (none: no data file).
  bool InstallFile(const CPackageDescription& description,
                   const std::optional<std::string>& dataPath);

 private:
  enum class TransferKind { kDescription, kData };

  void Report(int percent, int state, const char* text) const;
  // The verdict of a "SYST:ERR?" answer: anything but an empty queue throws.
  static void ThrowUnlessNoError(const std::string& answer);
  void RequireIdentified() const;
  static void RefuseOversizedData(std::uint32_t dataSize);
  // Install's steps up to the end of the transfer.
  void Transfer(const CPackageDescription& description, std::istream& data, std::uint32_t dataSize);
  void TransferBlocks(TransferKind kind, std::istream& in, std::uint32_t blockSize,
                      std::uint32_t total);
  int FollowInstallation(const CPackageDescription& description);
  // The frame of Install and TransferOnly: the checks, a time-out of at
  // least 5 s while steps run, the error queue cleared first.
  template <typename Steps>
  auto RunTransfer(std::uint32_t dataSize, Steps steps);
  // Waits about ms, but returns early when an abort is requested.
  void Wait(std::uint32_t ms) const;

  ProgressCallback callback_ = nullptr;
  std::uintptr_t context_ = 0;
  std::atomic<bool> abort_{false};
  std::uint32_t installDeadlineSeconds_ = 0;
  bool identified_ = false;
  bool identityRead_ = false;
  int protocolVersion_ = 0;
  int descriptionVersion_ = 0;
  std::string identification_;
  std::string productId_;
  std::string mac_;
  std::string vornId_;
  std::string host_;
};
