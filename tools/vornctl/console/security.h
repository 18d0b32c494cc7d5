#pragma once
// Who may use the console and from where. On the loopback address only this
// computer reaches it; on any other address every request carries the
// token (a cookie the page got once, or an Authorization header from a
// script). Requests that change something must come from the console's own
// page (same origin), and the Host header must name the console, so that
// another site's page in the same browser can neither change anything nor
// read answers through a name that points at the console.

#include <string>
#include <utility>
#include <vector>

namespace vornctl::console {

inline constexpr const char* kTokenCookie = "vorn_console_token";

struct AccessPolicy {
  bool requireToken = false;
  std::string token;
  // Host header values that name the console ("127.0.0.1:8080", ...).
  std::vector<std::string> hostNames;
};

struct RequestFacts {
  std::string method;
  std::string host;           // Host header
  std::string origin;         // Origin header, empty when absent
  std::string fetchSite;      // Sec-Fetch-Site header, empty when absent
  std::string authorization;  // Authorization header
  std::string cookie;         // Cookie header
  std::string queryToken;     // ?token= of the page's first address
};

struct AccessVerdict {
  int status = 0;  // 0: allowed; else 401, 403 or 421
  std::string reason;
};

// A new token: 32 random bytes as 64 hexadecimal digits.
std::string NewToken();
// The first line of a token file without surrounding blanks; empty when the
// file cannot be read or holds no token.
std::string ReadTokenFile(const std::string& path);

bool IsLoopbackAddress(const std::string& address);
bool IsChangingMethod(const std::string& method);

// The token a request carries, from the Authorization header ("Bearer X"),
// the cookie, or the page address's ?token=, in that order.
std::string CarriedToken(const RequestFacts& request);

AccessVerdict CheckAccess(const AccessPolicy& policy, const RequestFacts& request);

// Headers every answer carries: nothing but the console's own files may be
// loaded or framed, and nothing is cached or referred on.
const std::vector<std::pair<std::string, std::string>>& SecurityHeaders();

}  // namespace vornctl::console
