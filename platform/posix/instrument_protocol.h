#pragma once
// The posix stand-in for the COM instrument link. The block is a POSIX shared
// memory object; its "marshalling data" names a Unix domain socket of the
// instrument software, and "unmarshalling" connects to it. The connection is
// the reference: it stays open for as long as the link holds the instrument
// and carries its calls one after another, each a request (method slot,
// argument bytes) and a response (HRESULT, result bytes), all integers
// 32-bit little-endian.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/instrument_link.h"

namespace platform::posix {

// Method slots as in the instrument interface's method table. Slot 0 is
// QueryInterface: its argument is kInstrumentInterfaceName and the object
// answers S_OK when it is an instrument.
inline constexpr std::uint32_t kSlotQueryInterface = 0;

inline constexpr const char* kInstrumentInterfaceName = "vorn.instrument";
inline constexpr std::size_t kChallengeSize = 128;
// Larger messages are refused rather than allocated.
inline constexpr std::uint32_t kMaxMessageBytes = 64 * 1024;
inline constexpr std::uint32_t kMaxMarshalBytes = 4096;
inline constexpr std::uint32_t kCallTimeoutMs = 10000;

// HRESULTs for calls that fail before the object answered.
inline constexpr std::int32_t kHresultDisconnected = static_cast<std::int32_t>(0x80010108);
inline constexpr std::int32_t kHresultInvalidData = static_cast<std::int32_t>(0x8001000F);
inline constexpr std::int32_t kHresultNoInterface = static_cast<std::int32_t>(0x80004002);

// The shared memory object name for a block name. Both sides must agree, so
// this is the only place that maps it: bytes a name cannot hold ('/', '%'
// and anything outside printable ASCII, the blank included) become %XX, and
// a name longer than NAME_MAX keeps its head and gets a hash of the whole.
std::string SharedMemoryObjectName(const std::string& blockName);

// Marshalling data: a tag and the socket path. Empty path when the data is
// not ours or the path cannot be a socket address.
std::vector<std::uint8_t> MarshalEndpoint(const std::string& socketPath);
std::string UnmarshalEndpoint(const std::vector<std::uint8_t>& data);

// One call over the connection. False when the transport failed (result is
// then kHresultDisconnected); the connection is of no further use then.
bool CallInstrument(int connection, std::uint32_t slot, const std::vector<std::uint8_t>& arguments,
                    std::int32_t& result, std::vector<std::uint8_t>& results);

// Reads one request from a connected socket, has instrument answer it and
// writes the response. False when the request could not be read or answered
// (also when the caller closed the connection).
bool ServeInstrumentCall(int connection, IInstrument& instrument);

// Open flags and helpers shared by both sides.
int ConnectUnixSocket(const std::string& path);
void SetSocketTimeouts(int fd, std::uint32_t ms);

}  // namespace platform::posix
