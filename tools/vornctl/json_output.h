#pragma once
// The --json documents: what a server sent may be in the ANSI code page or
// not text at all, and a document must come out whole all the same.

#include <nlohmann/json.hpp>
#include <string>

namespace vornctl {

// value indented for scripts, every string in it (keys too) made UTF-8 the
// way PeerTextToUtf8 does; bytes that still do not fit are replaced.
std::string ScriptJson(const nlohmann::json& value);

// The same, on one line: what the web console sends to its page.
std::string CompactJson(const nlohmann::json& value);

}  // namespace vornctl
