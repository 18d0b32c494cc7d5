#pragma once
// Carries a tool's connection to another server: every byte that arrives on
// one socket goes out on the other, urgent bytes as urgent bytes. A side that
// ends its stream has what it sent delivered, then the other side's sending
// direction is shut down in turn, while the other direction goes on until it
// ends as well or a side fails.

#include <atomic>
#include <cstdint>

#include "platform/socket.h"

// The sockets are read from their holders before every wait, so that a stop
// which closed one and forgot it (kInvalidSocket) ends the relay instead of
// handing a reused handle to the next call. Returns the last wait, receive or
// send result, always 0 or less: 0 when both sides have ended (or the relay
// was stopped), kSocketError on a failure (LastError tells which), -1 also
// when the buffers cannot be had.
std::int32_t Relay(platform::ISocketApi& sockets,
                   const std::atomic<platform::SocketHandle>& session,
                   const std::atomic<platform::SocketHandle>& peer);

// One buffer per direction; a full one is not read into until it has been
// sent. Large enough for a whole transfer block and its header, so a block
// crosses in one receive and one send instead of one wake-up per segment.
inline constexpr int kRelayBufferBytes = 256 * 1024;
