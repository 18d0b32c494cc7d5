#pragma once
// The page's files, compiled into the program (generated from web/).

#include <cstddef>
#include <string_view>

namespace vornctl::console {

struct Asset {
  const char* path;  // "/app.js"
  const char* contentType;
  std::string_view bytes;
};

// nullptr when there is no such file.
const Asset* FindAsset(std::string_view path);

}  // namespace vornctl::console
