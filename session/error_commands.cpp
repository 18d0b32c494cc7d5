#include "session/command_session.h"

std::int32_t CCommandSession::NextErrorQuery(std::string&, char&) {
  // The entry goes even when the send failed: the session is ending then.
  const std::int32_t sent = SendResponse(errorQueue_.Front());
  errorQueue_.Pop();
  return sent;
}

std::int32_t CCommandSession::ClearErrors(std::string&, char&) {
  errorQueue_.Clear();
  return 1;
}
