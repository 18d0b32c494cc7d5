#pragma once

#include <cstdint>
#include <string>

#include "net/listener_thread.h"
#include "platform/socket.h"

class IChannelHost;

// The UDP socket that answers discovery queries and starts or stops the data
// channel on request. One datagram at a time, on its own thread.
class CControlChannel : public CListenerThread {
 public:
  static constexpr std::size_t kEquipmentNumberLength = 12;

  explicit CControlChannel(IChannelHost* server);
  ~CControlChannel() override;

  void Run() override;

 private:
  // False for a sender outside "AllowedClients": its datagram is dropped
  // unanswered and unlogged, the refusal noted in the bounded refusal log.
  bool Admits(const platform::Endpoint& from);
  void HandleRequest(const std::string& text, const platform::Endpoint& from);
  void AnswerIdentityQuery(const std::string& query, const platform::Endpoint& from);
  void AnswerStart(std::uint16_t port, const platform::Endpoint& from);
  void AnswerStop(bool now, const platform::Endpoint& from);
  void SendReply(const std::string& text, const platform::Endpoint& to);
};
