#pragma once
// The two ways device keys' string values are read. Device keys belong to the
// instrument software's installers, which have written them inconsistently
// over the years, so discovery and linking insist on plain REG_SZ values while
// listing and opening also accept unexpanded REG_EXPAND_SZ values.

#include <optional>
#include <string>

namespace platform {
class IRegistry;
}

// Longest key name or value text a device key may carry; longer ones count as
// missing. A value's byte count may be one more, for its terminating zero.
inline constexpr std::size_t kMaxDeviceText = 260;

// Strict: REG_SZ only, 1 to 261 bytes; the text runs up to the first zero
// byte (an unterminated value is taken whole). nullopt when missing.
std::optional<std::string> ReadStrictString(platform::IRegistry& registry, const std::string& key,
                                            const std::string& name);

enum class LenientRead {
  kMissing,  // absent, wrong type, too long or unterminated
  kNoBytes,  // present with a byte count of zero
  kText,
};

// Lenient: REG_SZ or REG_EXPAND_SZ (never expanded), at most 261 bytes, and a
// non-empty value must end with a zero byte. The text runs up to the first
// zero byte. text is cleared unless the result is kText.
LenientRead ReadLenientString(platform::IRegistry& registry, const std::string& key,
                              const std::string& name, std::string& text);

// The lenient rule where a missing value simply reads as empty text.
std::string ReadLenientStringOrEmpty(platform::IRegistry& registry, const std::string& key,
                                     const std::string& name);
