#pragma once
// UTF-16LE <-> UTF-8 for registry files exported by Windows' registry editor,
// which writes them as UTF-16LE. Conversions are strict so that a file read
// and written again comes back byte for byte.

#include <cstddef>
#include <optional>
#include <string>

namespace platform::posix {

// nullopt for an odd byte count or an unpaired surrogate; `badOffset` (when
// given) then tells the byte offset of the first code unit that failed.
std::optional<std::string> Utf16LeToUtf8(const std::string& bytes,
                                         std::size_t* badOffset = nullptr);

// nullopt when `text` is not well-formed UTF-8.
std::optional<std::string> Utf8ToUtf16Le(const std::string& text);

}  // namespace platform::posix
