#pragma once
// The exceptions of the client protocol library: CError for protocol and
// file failures, CSocketError for socket failures with their Winsock number,
// CDeadlineError for an installation that does not end in time.

#include <string>

namespace Fernway {

class CError {
 public:
  explicit CError(const char* message) : message_(message) {}
  explicit CError(const std::string& message) : message_(message) {}
  CError(const CError&) = default;
  CError& operator=(const CError&) = default;
  virtual ~CError() = default;

  const std::string& Message() const { return message_; }
  bool IsTimeout() const { return timeout_; }

 protected:
  std::string message_;
  bool timeout_ = false;
};

// An installation that did not reach a final state within the deadline the
// caller set (CClientSession::SetInstallDeadline), although the server kept
// answering.
class CDeadlineError : public CError {
 public:
  explicit CDeadlineError(const std::string& message) : CError(message) {}
};

class CSocketError : public CError {
 public:
  // "SOCKET: Error code 0x%08X: " and the system's own text for the code.
  explicit CSocketError(int code);

  int Code() const { return code_; }

 private:
  int code_;
};

}  // namespace Fernway
