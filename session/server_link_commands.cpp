// Relaying a tool's session to another server: the tool names the target by
// its VORN identifier; this server reaches it (through further servers when
// the target is only known there) and from then on carries the bytes of both
// directions until either side closes.
#include <optional>

#include "client/error.h"
#include "federation/known_servers.h"
#include "federation/peer_link.h"
#include "federation/relay.h"
#include "net/client_networks.h"
#include "protocol/text_format.h"
#include "session/command_session.h"
#include "session/session_host.h"

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

// The origin of a request names who the session is for. A tool gives its host
// name, which nobody can check; a relaying server gives the address of its
// own client as it sees it, and that address must pass this server's
// "AllowedClients" as if that client had connected here.
bool CCommandSession::IsOriginAllowed(const std::string& origin) {
  const std::optional<std::uint32_t> address = ParseIpv4Address(origin);
  if (!address || server_->IsClientAllowed(*address)) return true;
  server_->Log("Socket[%X]: Relay for %s refused: not in AllowedClients", SocketForLog(),
               EscapeForLog(origin.data(), origin.size()).c_str());
  return false;
}

std::int32_t CCommandSession::ConnectQuery(std::string&, char& terminator) {
  std::string origin;
  std::int32_t r = ExpectString(origin, terminator);
  if (r <= 0) return r;
  std::string target;
  r = ExpectString(target, terminator);
  if (r <= 0) return r;

  if (!IsOriginAllowed(origin)) return SendResponse("2250");
  if (target == server_->GetServerId()) {
    server_->Log("Socket[%X]: VORN connection established!", SocketForLog());
    return SendResponse("0");
  }
  if (!server_->IsRelayAllowed()) {
    if (server_->FirstRelayRefusal()) {
      server_->Log("Socket[%X]: Relay refused: AllowRelay is 0 (further refusals are not logged)",
                   SocketForLog());
    }
    return SendResponse("2250");
  }

  const std::string quotedTarget = QuoteString(target);
  platform::Endpoint address;
  if (!CKnownServers::Instance().Find(quotedTarget, address)) return SendResponse("2");

  // The next server is told who this session is for as this server sees it,
  // not as the client claims.
  platform::Endpoint client;
  if (server_->Sockets().GetPeerName(socket_, client) != 0) {
    const int error = server_->Sockets().LastError();
    return SendResponse(SocketErrorAnswer(error, Fernway::CSocketError(error).Message()));
  }
  const std::string quotedOrigin = QuoteString(platform::FormatAddress(client.address));

  platform::SocketHandle peer = platform::kInvalidSocket;
  try {
    CPeerLink link(server_->Sockets());
    // A stop while the link is being made shuts its connection down, so the
    // stop does not wait for the link's time-outs.
    link.ObserveSocket([this](platform::SocketHandle s) { WatchPeer(s); });
    const std::optional<std::string> refusal = link.Open(address, quotedOrigin, quotedTarget);
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

void CCommandSession::WatchPeer(platform::SocketHandle peer) {
  CLock guard(lock_);
  peerSocket_ = peer;
  if (peer != platform::kInvalidSocket && stopping_) server_->Sockets().Shutdown(peer);
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
