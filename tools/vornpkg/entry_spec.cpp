#include "tools/vornpkg/entry_spec.h"

#include <filesystem>
#include <system_error>

namespace {

bool IsFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

}  // namespace

bool ParseEntrySpec(const std::string& text, EntrySpec& spec, std::string& error) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
    error = "--entry " + text + ": expected NAME=DESCRIPTION:PAYLOAD";
    return false;
  }
  spec.name = text.substr(0, eq);
  const std::string rest = text.substr(eq + 1);
  for (std::size_t colon = rest.find(':'); colon != std::string::npos;
       colon = rest.find(':', colon + 1)) {
    if (IsFile(rest.substr(0, colon))) {
      spec.description = rest.substr(0, colon);
      spec.payload = rest.substr(colon + 1);
      return true;
    }
  }
  if (IsFile(rest)) {
    spec.description = rest;
    spec.payload.clear();
    return true;
  }
  error = "--entry " + text + ": no description file found before a ':'";
  return false;
}
