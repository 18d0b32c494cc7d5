#include "session/command_session.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "protocol/text_format.h"
#include "session/session_host.h"

namespace {

// Responses are logged only this far: a long catalogue or a block answer
// would flood the log.
constexpr std::size_t kLoggedResponseBytes = 250;

void UpperCase(std::string& text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

}  // namespace

CCommandSession::CCommandSession(ISessionHost* server)
    : server_(server),
      responses_(server->Sockets(), &socket_),
      reader_(server, server->Sockets(), &socket_, &responses_) {
  reader_.SetBeforeReceive([this] { WritePendingChunk(); });
  Commands();
}

CCommandSession::~CCommandSession() {
  Stop();
  // A session that was handed a socket but never ran still holds it.
  CloseSocket();
  ReleaseSelection();
  reader_.Reset();
  responses_.Clear();
}

void CCommandSession::SetSocket(platform::SocketHandle socket) {
  CloseSocket();
  CLock guard(lock_);
  socket_ = socket;
  stopping_ = false;
}

bool CCommandSession::Stop() {
  // Also while the thread is still starting: its first receive must fail too.
  if (IsCreated()) {
    ShutdownPeer();
    ShutdownSocketAndJoin(lock_, server_->Sockets(), socket_);
  }
  return true;
}

void CCommandSession::BeginStop() {
  if (IsCreated()) {
    ShutdownPeer();
    ShutdownSocket(lock_, server_->Sockets(), socket_);
  }
}

void CCommandSession::ShutdownPeer() {
  CLock guard(lock_);
  stopping_ = true;
  if (peerSocket_ != platform::kInvalidSocket) {
    server_->Sockets().Shutdown(peerSocket_);
  }
}

void CCommandSession::CloseIfStillRunning() {
  if (IsCreated()) CloseSocketIfStillRunning(lock_, server_->Sockets(), socket_);
}

bool CCommandSession::CloseSocket() {
  platform::ISocketApi& sockets = server_->Sockets();
  platform::SocketHandle closed;
  bool ok;
  int error = 0;
  {
    CLock guard(lock_);
    closed = socket_;
    if (closed == platform::kInvalidSocket) return false;
    sockets.Shutdown(closed);
    ok = sockets.Close(closed) == 0;
    if (!ok) error = sockets.LastError();
    socket_ = platform::kInvalidSocket;
  }
  // Logged after the lock is left: a line may wait for room in the log's
  // queue while its reader is slow, and a thread that is stopping this
  // session needs our lock meanwhile to shut the socket down.
  if (ok) {
    server_->Log("Socket[%X]: socket normally closed.", static_cast<unsigned>(closed));
  } else {
    server_->Log("Socket[%X]: closing socket failed with error %d", static_cast<unsigned>(closed),
                 error);
  }
  return true;
}

void CCommandSession::ReleaseSelection() {
  WritePendingChunk();
  if (device_ != nullptr || updateTarget_ != nullptr) {
    server_->ReleaseDevice(updateTarget_, device_);
  }
  device_ = nullptr;
  updateTarget_ = nullptr;
  selectedId_.clear();
}

bool CCommandSession::HasDevice() const { return device_ != nullptr && updateTarget_ != nullptr; }

bool CCommandSession::RunsWithoutDevice(const std::string& header) {
  static constexpr std::array<std::string_view, 9> kWithoutDevice = {
      "*CLS",           "SYST:ERR?",     "DIAG:PROD:CAT?",  "DIAG:PROD:SEL",        "DIAG:PROD:GRO",
      "DIAG:PROD:GRO?", "DIAG:VORN:ID?", "DIAG:VORN:CONN?", "DIAG:VORN:CONN:MULT?",
  };
  return std::find(kWithoutDevice.begin(), kWithoutDevice.end(), header) != kWithoutDevice.end();
}

void CCommandSession::QueueError(std::int32_t code, std::string_view detail) {
  errorQueue_.Push(code, detail);
}

void CCommandSession::Run() {
  logHandle_ = socket_;
  errorQueue_.Clear();
  ReleaseSelection();
  trafficLog_ = true;
  {
    CLock guard(lock_);
    relayActive_ = false;
  }
  reader_.Reset();
  responses_.Clear();
  SignalStarted(true);

  const CommandTable& commands = Commands();
  std::string header;
  char terminator = 0;
  std::int32_t r;
  for (;;) {
    r = reader_.ReadToken(header, terminator, trafficLog_);
    if (r <= 0) break;
    UpperCase(header);

    const auto command = commands.find(header);
    if (command == commands.end()) {
      QueueError(-113, header);
      server_->Log("Socket[%X]: Error: invalid command '%s'!", SocketForLog(), header.c_str());
      if (terminator != kLf && (r = reader_.SkipTo(kLf)) <= 0) break;
      continue;
    }
    if (pendingChunk_ != nullptr && header != "SYST:ERR?") WritePendingChunk();
    if (!HasDevice() && !RunsWithoutDevice(header)) {
      QueueError(-221, "No Device ID selected");
      server_->Log("Socket[%X]: Error: No Device ID selected. Command '%s' not allowed yet!",
                   SocketForLog(), header.c_str());
      if (terminator != kLf && (r = reader_.SkipTo(kLf)) <= 0) break;
      continue;
    }

    r = (this->*(command->second))(header, terminator);
    if (r <= 0) break;

    if (terminator != kLf) {
      server_->Log(
          "Socket[%X]: Error: unexpected parameter or invalid program terminator '0x%X'!",
          SocketForLog(),
          static_cast<unsigned>(static_cast<std::int32_t>(static_cast<signed char>(terminator))));
      QueueError(-115);
      if ((r = reader_.SkipTo(kLf)) <= 0) break;
    }
  }

  // Answers still waiting go out before the connection closes. A send that
  // fails here ends the session as a failed send always has.
  if (responses_.Flush() == platform::kSocketError) r = platform::kSocketError;

  if (r == platform::kSocketError) {
    server_->Log("Socket[%X]: Error: Data channel closed with error %d", SocketForLog(),
                 server_->Sockets().LastError());
  } else if (r == 0) {
    server_->Log("Socket[%X]: Data channel normally closed (or due to unexpected data).",
                 SocketForLog());
  }

  if (!CloseSocket() && logHandle_ != platform::kInvalidSocket) {
    // A stop that found this thread still in a call has closed the socket
    // under it (Winsock ends a blocked receive no other way). Closing a
    // closed handle fails, and the log says so as for any failed close; the
    // close itself is not tried, since the handle may already name another
    // connection.
    server_->Log("Socket[%X]: closing socket failed with error %d", SocketForLog(),
                 platform::kWsaEnotsock);
  }
  ReleaseSelection();
  // An idle session object keeps no buffers.
  reader_.Reset();
  responses_.Clear();
}

// The answer and its line feed are queued as they are, without a copy that
// joins them; the log shows both, cut to kLoggedResponseBytes.
std::int32_t CCommandSession::SendResponse(const std::string& text) {
  if (trafficLog_) {
    std::string shown;
    if (text.size() < kLoggedResponseBytes) {
      shown = EscapeForLog(text.data(), text.size());
      shown += "\\n";
    } else {
      shown = EscapeForLog(text.data(), kLoggedResponseBytes);
    }
    server_->LogTraffic(SocketForLog(), false, shown);
  }
  const std::int32_t sent = responses_.Append(text.data(), text.size());
  if (sent == platform::kSocketError) return sent;
  const std::int32_t end = responses_.Append(&kLf, 1);
  return end == platform::kSocketError ? end : sent + end;
}

std::int32_t CCommandSession::SendRawResponse(const char* bytes, std::size_t length) {
  if (trafficLog_) {
    server_->LogTraffic(SocketForLog(), false,
                        EscapeForLog(bytes, std::min(length, kLoggedResponseBytes)));
  }
  return responses_.Append(bytes, length);
}

std::int32_t CCommandSession::ExpectMnemonic(std::string& output, char& terminator) {
  if (terminator == kLf) {
    QueueError(-109, "a mnemonic was expected");
    return 0;
  }
  const std::int32_t r = reader_.ReadToken(output, terminator, false);
  if (r <= 0) QueueError(-109, "a mnemonic was expected");
  return r;
}

std::int32_t CCommandSession::ExpectString(std::string& output, char& terminator) {
  if (terminator == kLf) {
    QueueError(-109, "a string was expected");
    return 0;
  }
  const std::int32_t r = reader_.ReadString(output, terminator);
  if (r <= 0) QueueError(-150);
  return r;
}

std::int32_t CCommandSession::ExpectBlock(const std::uint8_t*& output, char& terminator) {
  if (terminator == kLf) {
    QueueError(-109, "a block was expected");
    return 0;
  }
  const std::int32_t r = reader_.ReadBlock(output, terminator);
  if (r <= 0) QueueError(-160);
  return r;
}

std::int32_t CCommandSession::ExpectNumber(std::int32_t& output, char& terminator) {
  if (terminator == kLf) {
    QueueError(-109, "numeric data was expected");
    return 0;
  }
  const std::int32_t r = reader_.ReadNumber(output, terminator);
  if (r <= 0) QueueError(-120);
  return r;
}
