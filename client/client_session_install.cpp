// The package transfer and the installation that follows it.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client_session.h"
#include "client/error.h"
#include "client/prepared_block.h"
#include "install/crc16.h"
#include "install/package_description.h"
#include "protocol/wire_limits.h"

namespace {

constexpr std::uint32_t kDefaultBlock = 65536;

// A description with no chunk size would send empty blocks for ever, and one
// beyond what the server takes would only get the connection closed; the
// size is kept within what the server accepts.
std::uint32_t BlockSizeOf(const CPackageDescription& description) {
  if (description.ChunkSize == 0) return kDefaultBlock;
  return std::min(description.ChunkSize, kLargestBlock);
}

}  // namespace

void CClientSession::Wait(std::uint32_t ms) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!abort_ && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Refused before anything is sent: the server would take the first 2 GiB
// and then refuse the next offset.
void CClientSession::RefuseOversizedData(std::uint32_t dataSize) {
  if (dataSize > kLargestDataBytes) {
    throw Fernway::CError("Transfer Error: " + std::to_string(dataSize) +
                          " bytes of data; a server takes at most " +
                          std::to_string(kLargestDataBytes));
  }
}

void CClientSession::TransferBlocks(TransferKind kind, std::istream& in, std::uint32_t blockSize,
                                    std::uint32_t total) {
  const bool data = kind == TransferKind::kData;
  SendText(data ? "DIAG:UPD:TRAN:OPEN DATA\n" : "DIAG:UPD:TRAN:OPEN DESCR\n");
  CheckError();
  // Two blocks in turn: the next one is read and checksummed while the
  // server checks and writes the one before it.
  CPreparedBlock blocks[2] = {CPreparedBlock(blockSize), CPreparedBlock(blockSize)};
  int current = 0;
  std::uint32_t offset = 0;
  std::uint32_t remaining = total;
  bool readable = remaining == 0 || blocks[0].Prepare(in, 0, std::min(remaining, blockSize));
  // Header, block, LF and the error query go in one Send, with END on its
  // last byte: the bytes are those of the block message followed by the
  // query, but the server wakes once for them instead of once for each.
  SetAttribute(kSendEndAttribute, 1);
  while (remaining > 0) {
    if (data) {
      Report(static_cast<int>(static_cast<double>(offset) * 100.0 / static_cast<double>(total)),
             kTran, "Binary");
    }
    if (!readable) throw Fernway::CError("Could not read from input file");
    const std::uint32_t n = std::min(remaining, blockSize);
    if (abort_) {
      Send(blocks[current].Message(), blocks[current].Length());
      return;
    }
    Send(blocks[current].Message(), blocks[current].LengthWithErrorQuery());
    if (abort_) {
      // The query went out already: its answer is taken off the channel, so
      // that the next call does not read it as its own, but not judged; a
      // channel that fails meanwhile does not turn the abort into an error.
      try {
        ReceiveResponse();
      } catch (const Fernway::CError&) {
      }
      return;
    }
    offset += n;
    remaining -= n;
    // A read failure is reported only after the verdict, as when the block
    // was read after it.
    if (remaining > 0) {
      readable = blocks[current ^ 1].Prepare(in, offset, std::min(remaining, blockSize));
    }
    ThrowUnlessNoError(ReceiveResponse());
    current ^= 1;
  }
  if (abort_) return;
  SendText("DIAG:UPD:TRAN:CLOSE\n");
  CheckError();
  if (data) Report(100, kTran, "Binary");
}

void CClientSession::Transfer(const CPackageDescription& description, std::istream& data,
                              std::uint32_t dataSize) {
  SendText("*CLS\n");
  SendText("DIAG:UPD:TRAN:CLOSE\n");
  if (!abort_) CheckError();
  if (!identified_ && !abort_) Identify();
  std::stringstream serialised(std::ios::in | std::ios::out | std::ios::binary);
  description.WriteTo(serialised);
  const std::uint32_t blockSize = BlockSizeOf(description);
  if (!abort_) {
    TransferBlocks(TransferKind::kDescription, serialised, blockSize, description.SerializedSize());
  }
  if (dataSize > 0 && !abort_) TransferBlocks(TransferKind::kData, data, blockSize, dataSize);
}

int CClientSession::FollowProgress() {
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(installDeadlineSeconds_);
  int state = kErr;
  do {
    Wait(1000);
    if (abort_) return kErr;
    if (installDeadlineSeconds_ != 0 && std::chrono::steady_clock::now() >= deadline) {
      throw Fernway::CDeadlineError("Installation Error: no result within " +
                                    std::to_string(installDeadlineSeconds_) + " s");
    }
    state = PollProgress();
  } while (state <= kInst);
  return state;
}

int CClientSession::FollowInstallation(const CPackageDescription& description) {
  if (ProtocolVersion() >= 110) return FollowProgress();
  // Servers without progress reports: wait the time the package names.
  if (callback_ == nullptr) {
    for (std::uint32_t i = 0; i < description.InstallWaitSeconds && !abort_; ++i) Wait(1000);
    return kErr;
  }
  Report(0, kInst, "");
  for (std::uint32_t i = 0; i < description.InstallWaitSeconds; ++i) {
    Wait(1000);
    if (abort_) break;
    Report(static_cast<int>(i * 100u / description.InstallWaitSeconds), kInst, "");
  }
  Report(100, kSucc, "");
  return kSucc;
}

// Both ways of sending a package start alike and give the channel back its
// time-out however they end. What went wrong is rethrown as it is: a caller
// tells a lost connection (CSocketError) from a refused package by its type.
template <typename Steps>
auto CClientSession::RunTransfer(std::uint32_t dataSize, Steps steps) {
  abort_ = false;
  if (!IsOpen()) throw Fernway::CError("Transfer Error: Channel not open!");
  RefuseOversizedData(dataSize);
  Report(0, kTran, "Initialize");
  const std::uint32_t timeout = GetTimeout();
  if (timeout < 5000) SetTimeout(5000);
  struct TimeoutRestore {
    CClientSession& session;
    std::uint32_t timeout;
    ~TimeoutRestore() { session.SetTimeout(timeout); }
  } restore{*this, timeout};
  Clear();
  return steps();
}

bool CClientSession::Install(const CPackageDescription& description, std::istream& data,
                             std::uint32_t dataSize) {
  const int state = RunTransfer(dataSize, [&] {
    Transfer(description, data, dataSize);
    if (!abort_) SendText("DIAG:UPD:INST ''\n");
    return FollowInstallation(description);
  });
  return state != kErr;
}

bool CClientSession::TransferOnly(const CPackageDescription& description, std::istream& data,
                                  std::uint32_t dataSize) {
  return RunTransfer(dataSize, [&] {
    Transfer(description, data, dataSize);
    return true;
  });
}

bool CClientSession::InstallFile(const CPackageDescription& description,
                                 const std::optional<std::string>& dataPath) {
  if (!dataPath) {
    std::istringstream empty;
    return Install(description, empty, 0);
  }
  const std::string failure = "Could not open file '" + *dataPath + "'";
  std::ifstream probe(*dataPath);
  if (!probe) throw Fernway::CError(failure);
  probe.seekg(0, std::ios::end);
  const std::streamoff size = probe.tellg();
  probe.close();
  // Offsets travel as 32-bit numbers; a larger file cannot be transferred.
  if (size < 0 || size > 0xFFFFFFFFLL) throw Fernway::CError(failure);
  std::ifstream in(*dataPath, std::ios::binary);
  if (!in) throw Fernway::CError(failure);
  return Install(description, in, static_cast<std::uint32_t>(size));
}
