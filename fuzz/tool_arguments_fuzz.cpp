// Arbitrary text as the arguments the tools take apart themselves: vornctl's
// HOST:PORT and the catalogue it splits, vornpkg's --entry NAME=DESC:PAYLOAD.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/vornctl/connection.h"
#include "tools/vornpkg/entry_spec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vornctl::HostAndPort where;
  if (vornctl::ParseHostAndPort(text, where) && (where.host.empty() || where.port == 0)) {
    std::abort();
  }
  std::size_t total = 0;
  for (const std::string& entry : vornctl::SplitCatalog(text)) total += entry.size();
  if (total > text.size()) std::abort();
  const std::string line = vornctl::OneLine(text);
  if (line.find_first_of("\r\n") != std::string::npos) std::abort();
  EntrySpec spec;
  std::string error;
  if (ParseEntrySpec(text, spec, error) && (spec.name.empty() || spec.description.empty())) {
    std::abort();
  }
  return 0;
}
