#include "tests/support/scripted_server.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace vorn_test {
namespace {

// The length of the first complete message in data (LF included), or 0.
std::size_t CompleteMessage(const std::string& data) {
  char quote = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const char c = data[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '\n') {
      return i + 1;
    } else if (c == '#' && i + 1 < data.size() && data[i + 1] > '0' && data[i + 1] <= '9') {
      const std::size_t digits = static_cast<std::size_t>(data[i + 1] - '0');
      if (i + 2 + digits > data.size()) return 0;
      const std::size_t count = std::strtoul(data.substr(i + 2, digits).c_str(), nullptr, 10);
      if (i + 2 + digits + count > data.size()) return 0;
      i += 1 + digits + count;
    }
  }
  return 0;
}

}  // namespace

CScriptedServer::CScriptedServer(Responder responder, std::uint32_t address)
    : responder_(std::move(responder)) {
  platform::ISocketApi& sockets = platform::Sockets();
  listener_ = sockets.Open(platform::SocketKind::kStream);
  sockets.Bind(listener_, platform::Endpoint{address, 0});
  sockets.Listen(listener_, 1);
  platform::Endpoint bound;
  sockets.GetSockName(listener_, bound);
  port_ = bound.port;
  thread_ = std::thread([this] { Serve(); });
}

CScriptedServer::~CScriptedServer() {
  platform::ISocketApi& sockets = platform::Sockets();
  // Linux ends a blocked accept or receive on shutdown, so the sockets are
  // closed only after the thread has left its call. Winsock ends them only on
  // close: the sockets are closed under the call when the thread is still
  // blocked after a short wait.
  sockets.Shutdown(listener_);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (connection_ != platform::kInvalidSocket) sockets.Shutdown(connection_);
  }
  for (int i = 0; i < 100 && !served_.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!served_.load()) {
    sockets.Close(listener_);
    listener_ = platform::kInvalidSocket;
    std::lock_guard<std::mutex> guard(mutex_);
    if (connection_ != platform::kInvalidSocket) sockets.Close(connection_);
    connection_ = platform::kInvalidSocket;
  }
  thread_.join();
  if (listener_ != platform::kInvalidSocket) sockets.Close(listener_);
  if (connection_ != platform::kInvalidSocket) sockets.Close(connection_);
}

void CScriptedServer::Disconnect() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (connection_ != platform::kInvalidSocket) platform::Sockets().Shutdown(connection_);
}

std::vector<std::string> CScriptedServer::Messages() {
  std::lock_guard<std::mutex> guard(mutex_);
  return messages_;
}

std::string CScriptedServer::Received() {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

void CScriptedServer::Serve() {
  Receive();
  served_.store(true);
}

void CScriptedServer::Receive() {
  platform::ISocketApi& sockets = platform::Sockets();
  const platform::SocketHandle connection = sockets.Accept(listener_);
  if (connection == platform::kInvalidSocket) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    connection_ = connection;
  }
  char buffer[65536];
  for (;;) {
    const int n = sockets.Recv(connection, buffer, sizeof buffer);
    if (n <= 0) return;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      received_.append(buffer, static_cast<std::size_t>(n));
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
    TakeMessages(connection);
  }
}

void CScriptedServer::TakeMessages(platform::SocketHandle connection) {
  for (;;) {
    std::string message;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      const std::size_t length = CompleteMessage(pending_);
      if (length == 0) return;
      message = pending_.substr(0, length - 1);
      pending_.erase(0, length);
      messages_.push_back(message);
    }
    if (const std::optional<std::string> answer = responder_(message)) {
      platform::Sockets().Send(connection, answer->data(), static_cast<int>(answer->size()));
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (!closeAfter_.empty() && message == closeAfter_) platform::Sockets().Shutdown(connection);
  }
}

std::optional<std::string> CScriptedServer::IdentityAnswer(const std::string& message) {
  if (message == "*IDN?") return std::string("Marrow&Keplin,VORN,1234.5678.02/100042,2.35.2\n");
  if (message == "DIAG:PROD:ID?") return std::string("M&K,1234.5678.02/100042,1.20\n");
  if (message == "DIAG:UPD:TRAN:VERS?") return std::string("210,135\n");
  if (message == "DIAG:PROD:MAC?") return std::string("00-11-22-33-44-55\n");
  if (message == "DIAG:VORN:ID?")
    return std::string("\"{0C1B3F0E-5D1A-4C33-9A51-7E1F2A3B4C5D}\"\n");
  if (message == "DIAG:VORN:HOST?") return std::string("\"lab-pc\"\n");
  if (message == "SYST:ERR?") return std::string("0,\"No error\"\n");
  return std::nullopt;
}

}  // namespace vorn_test
