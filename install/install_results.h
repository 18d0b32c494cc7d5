#pragma once
// The HRESULT codes the installation manager and its transfer store report
// through GetLastError, named once for both.

#include <cstdint>

namespace install_result {

inline constexpr std::uint32_t kEFail = 0x80004005u;
inline constexpr std::uint32_t kFileNotFound = 0x80070002u;
inline constexpr std::uint32_t kAccessDenied = 0x80070005u;
inline constexpr std::uint32_t kInvalidBlock = 0x80070009u;
inline constexpr std::uint32_t kInvalidAccess = 0x8007000Cu;
inline constexpr std::uint32_t kInvalidData = 0x8007000Du;
inline constexpr std::uint32_t kCrc = 0x80070017u;
inline constexpr std::uint32_t kWriteFault = 0x8007001Du;
inline constexpr std::uint32_t kReadFault = 0x8007001Eu;
inline constexpr std::uint32_t kEInvalidArg = 0x80070057u;
inline constexpr std::uint32_t kOpenFailed = 0x8007006Eu;
inline constexpr std::uint32_t kBusy = 0x800700AAu;

}  // namespace install_result
