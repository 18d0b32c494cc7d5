#include "net/client_networks.h"

#include "platform/socket.h"

namespace {

bool IsSeparator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// 0 to max in decimal, no sign, no leading zero unless it is the only digit.
std::optional<std::uint32_t> ParseNumber(const std::string& text, std::uint32_t max) {
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

std::uint32_t MaskOf(std::uint32_t prefixLength) {
  return prefixLength == 0 ? 0 : ~std::uint32_t(0) << (32 - prefixLength);
}

}  // namespace

std::optional<std::uint32_t> ParseIpv4Address(const std::string& text) {
  std::uint32_t address = 0;
  std::size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = text.find('.', start);
    const bool last = part == 3;
    if (last != (dot == std::string::npos)) return std::nullopt;
    const std::size_t end = last ? text.size() : dot;
    const std::optional<std::uint32_t> octet = ParseNumber(text.substr(start, end - start), 255);
    if (!octet) return std::nullopt;
    address = (address << 8) | *octet;
    start = end + 1;
  }
  return address;
}

std::optional<CClientNetworks> CClientNetworks::Parse(const std::string& text, std::string& error) {
  CClientNetworks result;
  std::size_t position = 0;
  while (position < text.size()) {
    if (IsSeparator(text[position])) {
      ++position;
      continue;
    }
    std::size_t end = position;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    const std::string item = text.substr(position, end - position);
    position = end;

    const std::size_t slash = item.find('/');
    const std::optional<std::uint32_t> address = ParseIpv4Address(item.substr(0, slash));
    if (!address) {
      error = "\"" + item + "\" is not an IPv4 address or network (a.b.c.d/n)";
      return std::nullopt;
    }
    std::uint32_t prefixLength = 32;
    if (slash != std::string::npos) {
      const std::optional<std::uint32_t> parsed = ParseNumber(item.substr(slash + 1), 32);
      if (!parsed) {
        error = "\"" + item + "\" has no prefix length from 0 to 32 behind the slash";
        return std::nullopt;
      }
      prefixLength = *parsed;
    }
    const std::uint32_t mask = MaskOf(prefixLength);
    if ((*address & ~mask) != 0) {
      error = "\"" + item + "\" has host bits set; the network is " +
              platform::FormatAddress(*address & mask) + "/" + std::to_string(prefixLength);
      return std::nullopt;
    }
    result.networks_.push_back(Network{*address, mask});
  }
  if (result.networks_.empty()) {
    error = "names no network (remove the value to let every client in)";
    return std::nullopt;
  }
  return result;
}

bool CClientNetworks::Contains(std::uint32_t address) const {
  for (const Network& network : networks_) {
    if ((address & network.mask) == network.address) return true;
  }
  return false;
}

std::string CClientNetworks::Describe() const {
  std::string text;
  for (const Network& network : networks_) {
    int prefixLength = 0;
    for (std::uint32_t m = network.mask; m != 0; m <<= 1) ++prefixLength;
    if (!text.empty()) text += ", ";
    text += platform::FormatAddress(network.address) + "/" + std::to_string(prefixLength);
  }
  return text;
}
