// Relaying a tool's session to another server: the tool names the target by
// its VORN identifier; this server reaches it (through further servers when
// the target is only known there) and from then on carries the bytes of both
// directions until either side closes.
#include <optional>

#include "client/error.h"
#include "federation/known_servers.h"
#include "federation/peer_link.h"
#include "federation/relay.h"
#include "service/install_server.h"
#include "session/command_session.h"
#include "session/text_format.h"

namespace {

constexpr char kLf = '\n';
// The peer link is kept alive while the tool is silent (an installation
// followed for a long time); a peer that went away is noticed within a
// minute or so.
constexpr std::uint32_t kKeepAliveIdleMs = 30000;
constexpr std::uint32_t kKeepAliveIntervalMs = 3000;

}  // namespace

std::int32_t CCommandSession::ConnectMultipleQuery(std::string&, char& terminator) {
  std::string ignored;
  while (terminator != kLf) {
    const std::int32_t r = ExpectString(ignored, terminator);
    if (r <= 0) return r;
  }
  return SendResponse("2250");
}

std::int32_t CCommandSession::ConnectQuery(std::string&, char& terminator) {
  std::string origin;
  std::int32_t r = ExpectString(origin, terminator);
  if (r <= 0) return r;
  origin = QuoteString(origin);
  std::string target;
  r = ExpectString(target, terminator);
  if (r <= 0) return r;

  if (target == server_->GetServerId()) {
    server_->Log("Socket[%X]: VORN connection established!", SocketForLog());
    return SendResponse("0");
  }
  if (!server_->IsRelayAllowed()) return SendResponse("2250");

  const std::string quotedTarget = QuoteString(target);
  platform::Endpoint address;
  if (!CKnownServers::Instance().Find(quotedTarget, address)) return SendResponse("2");

  platform::SocketHandle peer = platform::kInvalidSocket;
  try {
    CPeerLink link(server_->Sockets());
    const std::optional<std::string> refusal = link.Open(address, origin, quotedTarget);
    // The link's destructor closes the connection to a peer that refused.
    if (refusal) return SendResponse(*refusal);
    r = SendResponse("0");
    if (r <= 0) return r;
    // The answer must reach the tool before the relay takes the socket.
    if (responses_.Flush() == platform::kSocketError) return platform::kSocketError;
    peer = link.Detach();
  } catch (const Fernway::CSocketError& error) {
    return SendResponse(SocketErrorAnswer(error.Code(), error.Message()));
  } catch (const Fernway::CError&) {
    // The peer took the connection but did not identify itself. Nothing
    // the tool could go on with: the session ends and its connection closes.
    return 0;
  }
  return RelayToPeer(peer);
}

std::int32_t CCommandSession::RelayToPeer(platform::SocketHandle peer) {
  platform::ISocketApi& sockets = server_->Sockets();
  if (sockets.SetKeepAlive(peer, 1, kKeepAliveIdleMs, kKeepAliveIntervalMs) != 0) {
    server_->Log("Warning: Cannot set keep alive options. Failed with %d", sockets.LastError());
  }
  {
    CLock guard(lock_);
    peerSocket_ = peer;
    relayActive_ = true;
  }
  // What the tool sent behind its request is already here; it belongs to
  // the peer as well.
  std::int32_t r = 1;
  const std::string ahead = reader_.TakeBuffered();
  if (!ahead.empty() && sockets.Send(peer, ahead.data(), static_cast<int>(ahead.size())) !=
                            static_cast<int>(ahead.size())) {
    r = platform::kSocketError;
  }
  if (r > 0) r = Relay(sockets, socket_, peerSocket_);
  {
    CLock guard(lock_);
    relayActive_ = false;
    peer = peerSocket_.exchange(platform::kInvalidSocket);
    sockets.Shutdown(peer);
    sockets.Close(peer);
  }
  return r;
}
