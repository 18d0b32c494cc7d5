#pragma once

#include <cstdint>

// The port of both channels unless configured otherwise: the UDP discovery
// socket and the TCP data channel.
inline constexpr std::uint16_t kDefaultPort = 13217;

// The largest definite-length block a session accepts, and so the largest
// transfer chunk a client may send or a package may name.
inline constexpr std::uint32_t kLargestBlock = 102400;
