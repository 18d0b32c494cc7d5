#pragma once
// Texts of the wire that the tests of several folders send and expect.

#include <cstdint>
#include <string>

namespace vorn_test {

inline const std::string kMagic = "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ";
inline constexpr std::uint16_t kServicePort = 13217;
// How a server names itself in a discovery answer, a tool's discovery
// query, and the answer of a server with the test's default identity.
inline const std::string kServerIdentity = kMagic + "ID: Installation Server V2.35.2";
inline const std::string kToolQuery = "QUERY ID EqNumber=__TRL_Tool__";
inline const std::string kToolReply =
    kServerIdentity + ",__TRL_Tool__ 000001" + std::string(1, '\0');
// What a tool sends to select itself as the device, and an empty error queue.
inline const std::string kSelectTool = "DIAG:PROD:SEL '__TRL_Tool__'\n";
inline const std::string kNoError = "0,\"No error\"\n";

// A definite-length block: #, the count's digits, the count, the bytes.
inline std::string Block(const std::string& bytes) {
  const std::string count = std::to_string(bytes.size());
  return "#" + std::to_string(count.size()) + count + bytes;
}

}  // namespace vorn_test
