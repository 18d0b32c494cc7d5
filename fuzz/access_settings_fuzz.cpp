// Arbitrary text as "AllowedClients" and "ListenAddress": a value the
// parsers accept describes itself in a canonical form that parses to the same
// networks, so that what the log says is what the service enforces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/client_networks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto address = ParseIpv4Address(text)) {
    const std::uint32_t a = *address;
    const std::string dotted = std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) +
                               "." + std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
    if (dotted != text) std::abort();
  }
  std::string error;
  const auto networks = CClientNetworks::Parse(text, error);
  if (!networks) {
    if (error.empty()) std::abort();
    return 0;
  }
  std::string again;
  const auto reparsed = CClientNetworks::Parse(networks->Describe(), again);
  if (!reparsed || reparsed->Networks().size() != networks->Networks().size()) std::abort();
  for (std::size_t i = 0; i < networks->Networks().size(); ++i) {
    const auto& n = networks->Networks()[i];
    if (reparsed->Networks()[i].address != n.address || reparsed->Networks()[i].mask != n.mask ||
        (n.address & ~n.mask) != 0 || !networks->Contains(n.address)) {
      std::abort();
    }
  }
  return 0;
}
