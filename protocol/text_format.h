#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A text as a response shows it: in double quotes, inner double quotes doubled.
std::string QuoteString(std::string_view text);

// Bytes made safe for a one-line log entry: printable ASCII and bytes
// 0x80-0xFF as they are, backslash doubled, NUL/LF/CR as \0 \n \r and every
// other control byte (and 0x7F) as \xHH.
std::string EscapeForLog(const char* bytes, std::size_t length);
