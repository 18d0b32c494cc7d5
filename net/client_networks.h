#pragma once
// The client networks an administrator lets in ("AllowedClients"): IPv4
// networks in CIDR form, and the single-address parser that "ListenAddress"
// shares with it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A dotted IPv4 address in host byte order: four decimal numbers 0 to 255,
// no leading zeros (inet_addr would read "010" as octal, an administrator
// means ten), nothing else.
std::optional<std::uint32_t> ParseIpv4Address(const std::string& text);

class CClientNetworks {
 public:
  struct Network {
    std::uint32_t address = 0;  // host byte order, host bits zero
    std::uint32_t mask = 0;
  };

  // Parses networks separated by commas and/or blanks ("10.1.0.0/16,
  // 192.168.7.12/32"); an address without a prefix length is one host (/32).
  // nullopt with `error` naming the first fault: an empty list, a bad
  // address or prefix length, or host bits set below the prefix (a typo
  // that would let in another network than the one meant).
  static std::optional<CClientNetworks> Parse(const std::string& text, std::string& error);

  bool Contains(std::uint32_t address) const;
  const std::vector<Network>& Networks() const { return networks_; }
  // The networks in canonical form, "a.b.c.d/n" joined by ", ".
  std::string Describe() const;

 private:
  std::vector<Network> networks_;
};
