#pragma once
// Text a server sent, made fit for a terminal, a log line or a JSON document.
// A server's answers are untrusted: they may carry escape sequences that
// would drive the terminal, bytes in the ANSI code page of an instrument
// computer (its registry file, a German installer message), or far more
// than any message should quote.

#include <cstddef>
#include <string>
#include <string_view>

// How much of a server's text one message quotes.
inline constexpr std::size_t kQuotedPeerTextBytes = 300;

bool IsValidUtf8(std::string_view text);

// Valid UTF-8 stays as it is; anything else is read as Windows-1252, the
// ANSI code page the service's Windows hosts write (bytes it leaves
// undefined become U+FFFD).
std::string PeerTextToUtf8(std::string_view text);

// PeerTextToUtf8, with every control character (C0, DEL and C1) written as
// \n, \r, \t or \xHH (\u00HH for C1), and cut after at most `limit` bytes of
// output, never inside a character or an escape, with "... (N more bytes)"
// saying how much of the original was left out.
std::string PrintablePeerText(std::string_view text, std::size_t limit = kQuotedPeerTextBytes);
