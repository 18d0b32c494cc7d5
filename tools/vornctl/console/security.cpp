#include "tools/vornctl/console/security.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>

namespace vornctl::console {
namespace {

// Compares without stopping at the first difference, so that the time of a
// refusal tells nothing about how much of a guess was right.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

std::string Trimmed(std::string text) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && blank(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && blank(text[start])) ++start;
  return text.substr(start);
}

std::string CookieValue(const std::string& header, const std::string& name) {
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    const std::string pair = Trimmed(header.substr(at, end - at));
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos && pair.substr(0, equals) == name) {
      return pair.substr(equals + 1);
    }
    at = end + 1;
  }
  return std::string();
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string NewToken() {
  std::random_device random;
  static const char kDigits[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 8; ++i) {
    std::uint32_t word = random();
    for (int j = 0; j < 8; ++j, word >>= 4) token += kDigits[word & 0xF];
  }
  return token;
}

std::string ReadTokenFile(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::string();
  line = Trimmed(line);
  // A token travels in a cookie and a header: printable, no blanks or separators.
  const bool printable = std::all_of(line.begin(), line.end(), [](unsigned char c) {
    return c > 0x20 && c < 0x7F && c != ';' && c != ',' && c != '"' && c != '\\';
  });
  return printable ? line : std::string();
}

bool IsLoopbackAddress(const std::string& address) {
  return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

bool IsChangingMethod(const std::string& method) {
  return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

std::string CarriedToken(const RequestFacts& request) {
  const std::string bearer = "bearer ";
  if (Lower(request.authorization.substr(0, bearer.size())) == bearer) {
    return Trimmed(request.authorization.substr(bearer.size()));
  }
  std::string cookie = CookieValue(request.cookie, kTokenCookie);
  if (!cookie.empty()) return cookie;
  return request.queryToken;
}

AccessVerdict CheckAccess(const AccessPolicy& policy, const RequestFacts& request) {
  const std::string host = Lower(request.host);
  const bool knownHost = std::any_of(policy.hostNames.begin(), policy.hostNames.end(),
                                     [&](const std::string& name) { return Lower(name) == host; });
  if (!knownHost) return {421, "this console is not reached under that name"};
  if (policy.requireToken && !SameSecret(CarriedToken(request), policy.token)) {
    return {401, "a valid token is required"};
  }
  if (IsChangingMethod(request.method)) {
    if (!request.origin.empty() && request.origin != "http://" + request.host) {
      return {403, "requests that change something must come from the console's own page"};
    }
    // A browser that sends no Origin still names where the request came from.
    if (request.origin.empty() && !request.fetchSite.empty() &&
        request.fetchSite != "same-origin" && request.fetchSite != "none") {
      return {403, "requests that change something must come from the console's own page"};
    }
  }
  return {};
}

const std::vector<std::pair<std::string, std::string>>& SecurityHeaders() {
  static const std::vector<std::pair<std::string, std::string>> headers = {
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
       "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
  return headers;
}

}  // namespace vornctl::console
