#pragma once
// Carries a tool's connection to another server: every byte that arrives on
// one socket goes out on the other, urgent bytes as urgent bytes, until one
// side closes or fails.

#include <atomic>
#include <cstdint>

#include "platform/socket.h"

// The sockets are read from their holders before every wait, so that a stop
// which closed one and forgot it (kInvalidSocket) ends the relay instead of
// handing a reused handle to the next call. Returns the last wait, receive or
// send result, always 0 or less: 0 when a side closed (or the relay was
// stopped), kSocketError on a failure (LastError tells which), -1 also when
// the buffers cannot be had.
std::int32_t Relay(platform::ISocketApi& sockets,
                   const std::atomic<platform::SocketHandle>& session,
                   const std::atomic<platform::SocketHandle>& peer);

// One buffer per direction; a full one is not read into until it has been
// sent. The size of one TCP segment on Ethernet.
inline constexpr int kRelayBufferBytes = 1448;
