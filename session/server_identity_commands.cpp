// The two federation queries a client asks while it identifies a server of
// protocol version 210 (the version this server reports): which server this
// is, and on which computer it runs.
#include "platform/system_info.h"
#include "protocol/text_format.h"
#include "session/command_session.h"
#include "session/session_host.h"

std::int32_t CCommandSession::ServerIdQuery(std::string&, char&) {
  return SendResponse(QuoteString(server_->GetServerId()));
}

std::int32_t CCommandSession::HostNameQuery(std::string&, char&) {
  return SendResponse(QuoteString(platform::HostName()));
}
