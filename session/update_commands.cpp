// Upload, installation, progress, reboot and the challenge/response
// handshake. Thin: each handler reads its parameters, calls the update target
// or the device, and queues what failed; only the two queries answer.
#include <array>
#include <cstdint>
#include <string>

#include "device/device.h"
#include "install/update_target.h"
#include "protocol/text_format.h"
#include "session/command_session.h"
#include "session/session_host.h"

namespace {

constexpr std::int32_t kChallengeSize = 128;
constexpr std::uint32_t kDescriptionKind = 0;
constexpr std::uint32_t kDataKind = 1;

const char* StateWord(std::int32_t state) {
  static constexpr std::array<const char*, 5> kWords = {"SUCC", "BOOT", "ERR", "INST", "RUN"};
  if (state < 0 || state >= static_cast<std::int32_t>(kWords.size())) return "UNDEF";
  return kWords[static_cast<std::size_t>(state)];
}

}  // namespace

void CCommandSession::QueueLastError() {
  std::string text;
  updateTarget_->GetLastError(text);
  QueueError(-200, text);
}

std::int32_t CCommandSession::OpenTransfer(std::string&, char& terminator) {
  std::string kind;
  const std::int32_t r = reader_.ReadToken(kind, terminator, false);
  if (r <= 0) {
    QueueLastError();
    return r;
  }
  std::uint32_t result;
  if (kind == "DATA") {
    // Chunks of the data file are binary and many: kept out of the log
    // until the transfer is closed, also when the open fails.
    trafficLog_ = false;
    result = updateTarget_->OpenTransfer(kDataKind);
  } else if (kind == "DESCR") {
    result = updateTarget_->OpenTransfer(kDescriptionKind);
  } else {
    QueueLastError();
    return r;
  }
  if (result != 0) QueueLastError();
  return r;
}

std::int32_t CCommandSession::TransferChunk(std::string&, char& terminator) {
  std::int32_t offset = 0;
  std::int32_t checksum = 0;
  const std::uint8_t* data = nullptr;
  std::int32_t r = ExpectNumber(offset, terminator);
  if (r <= 0) return r;
  r = ExpectNumber(checksum, terminator);
  if (r <= 0) return r;
  const std::int32_t length = ExpectBlock(data, terminator);
  if (length <= 0) return length;
  // The chunk goes to the file straight from the reader's buffer, once its
  // verdict is out (WritePendingChunk).
  if (updateTarget_->AcceptChunk(static_cast<std::uint32_t>(offset),
                                 static_cast<std::uint32_t>(checksum),
                                 static_cast<std::uint32_t>(length), data) != 0) {
    QueueLastError();
  } else {
    pendingChunk_ = data;
    pendingChunkLength_ = static_cast<std::uint32_t>(length);
  }
  return length;
}

void CCommandSession::WritePendingChunk() {
  if (pendingChunk_ == nullptr) return;
  const std::uint8_t* const chunk = pendingChunk_;
  pendingChunk_ = nullptr;
  if (updateTarget_ != nullptr &&
      updateTarget_->WriteAcceptedChunk(chunk, pendingChunkLength_) != 0) {
    QueueLastError();
  }
}

std::int32_t CCommandSession::CloseTransfer(std::string&, char&) {
  trafficLog_ = true;
  if (updateTarget_->CloseTransfer() != 0) QueueLastError();
  return 1;
}

std::int32_t CCommandSession::Install(std::string&, char& terminator) {
  std::string request;
  if (terminator != kLf) {
    const std::int32_t r = reader_.ReadString(request, terminator);
    if (r <= 0) {
      QueueError(-150, "invalid filename");
      return r;
    }
  }
  if (updateTarget_->Install(request.c_str()) != 0) QueueLastError();
  return 1;
}

std::int32_t CCommandSession::BeginInstallation(std::string&, char&) {
  if (!device_->BeginInstallation()) QueueError(-200);
  return 1;
}

std::int32_t CCommandSession::EndInstallation(std::string&, char&) {
  if (!device_->EndInstallation()) QueueError(-200);
  return 1;
}

std::int32_t CCommandSession::ProgressQuery(std::string&, char&) {
  std::uint32_t percent = 0;
  std::int32_t state = 0;
  std::string text;
  updateTarget_->GetProgress(&percent, &state, &text);
  return SendResponse(std::to_string(percent) + "," + StateWord(state) + "," + QuoteString(text));
}

std::int32_t CCommandSession::Reboot(std::string&, char&) {
  // A failure shows in the progress query and the last error, not here.
  updateTarget_->Reboot();
  return 1;
}

std::int32_t CCommandSession::ChallengeQuery(std::string&, char&) {
  // A definite-length block of 128 bytes and the LF, queued as it is behind
  // the answers before it, so that a pipelining tool gets it in its place.
  std::array<std::uint8_t, 5 + kChallengeSize + 1> answer{};
  const char* prefix = "#3128";
  for (int i = 0; i < 5; ++i)
    answer[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(prefix[i]);
  answer.back() = kLf;
  if (!device_->GetChallenge(answer.data() + 5)) {
    QueueError(-200, "Command not allowed in this state");
  }
  return SendRawResponse(reinterpret_cast<const char*>(answer.data()), answer.size());
}

std::int32_t CCommandSession::SendChallengeResponse(std::string&, char& terminator) {
  const std::uint8_t* response = nullptr;
  const std::int32_t r = reader_.ReadBlock(response, terminator);
  if (r <= 0) {
    QueueError(-160);
    return r;
  }
  if (r < kChallengeSize) {
    QueueError(-161, "size of response too small");
    return 1;
  }
  if (!device_->SetResponse(response)) {
    QueueError(-200, "Command not allowed in current state or parameter is invalid");
  }
  return 1;
}

std::int32_t CCommandSession::PresetHandshake(std::string&, char&) {
  if (!device_->Preset()) QueueError(-200, "Preset not possible");
  return 1;
}
