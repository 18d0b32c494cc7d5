#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "net/critical_section.h"
#include "net/refusal_log.h"
#include "net/thread.h"
#include "platform/socket.h"
#include "platform/thread.h"

class CInstallServer;

// The UDP socket that answers discovery queries and starts or stops the data
// channel on request. One datagram at a time, on its own thread.
class CControlChannel : public virtual CThread {
 public:
  // Every request and reply begins with these 42 bytes.
  static constexpr const char* kMagicPrefix = "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ";
  static constexpr const char* kIdentityText =
      "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ID: Installation Server V2.35.2";
  static constexpr std::size_t kEquipmentNumberLength = 12;

  explicit CControlChannel(CInstallServer* server);
  ~CControlChannel() override;

  void Run() override;
  bool Stop() override;
  // Stop in two steps, as the data channel's: RequestStop marks the stop
  // (the caller's grace starts), FinishStop shuts the socket down, waits
  // until graceEnd, closes the socket if the thread is still in its receive
  // and joins the thread.
  void RequestStop();
  void FinishStop(Deadline graceEnd);

  std::uint16_t Port();
  void SetPort(std::uint16_t port);
  std::uint16_t BoundPort();

 private:
  // The socket to receive on, or kInvalidSocket once a stop was asked for.
  platform::SocketHandle ReceivingSocket();
  bool StopRequested();
  void CloseSocket();

  // False for a sender outside "AllowedClients": its datagram is dropped
  // unanswered and unlogged, the refusal noted in the bounded refusal log.
  bool Admits(const platform::Endpoint& from);
  void HandleRequest(const std::string& text, const platform::Endpoint& from);
  void AnswerIdentityQuery(const std::string& query, const platform::Endpoint& from);
  void AnswerStart(std::uint16_t port, const platform::Endpoint& from);
  void AnswerStop(bool now, const platform::Endpoint& from);
  void SendReply(const std::string& text, const platform::Endpoint& to);

  CInstallServer* server_;
  std::uint16_t port_;
  std::uint16_t boundPort_ = 0;
  std::atomic<platform::SocketHandle> socket_{platform::kInvalidSocket};
  CCriticalSection lock_;
  // Set by Stop until the thread has ended: on Linux a shut-down UDP socket
  // returns an empty read, which must not be taken for a peer's datagram.
  bool stopping_ = false;
  platform::Event stopEvent_;
  CRefusalLog refusals_{"datagram"};
};
