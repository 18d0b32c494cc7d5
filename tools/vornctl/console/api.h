#pragma once
// The console's routes: the page's files, and the JSON API under /api/v1/
// that the page uses and scripts may use the same way (docs/console.md).

#include <cstdint>
#include <string>

#include "tools/vornctl/console/event_bus.h"
#include "tools/vornctl/console/fleet.h"
#include "tools/vornctl/console/history.h"
#include "tools/vornctl/console/http_server.h"
#include "tools/vornctl/console/jobs.h"
#include "tools/vornctl/console/package_store.h"
#include "tools/vornctl/console/security.h"

namespace vornctl::console {

inline constexpr std::uint64_t kDescriptionLimit = 1024 * 1024;
inline constexpr std::uint64_t kSignatureLimit = kLargestSignatureBytes;

class ConsoleApi : public HttpHandler {
 public:
  ConsoleApi(AccessPolicy policy, std::uint64_t uploadLimit, Fleet& fleet, PackageStore& packages,
             Jobs& jobs, History& history, EventBus& events);

  std::optional<HttpResponse> Screen(const HttpRequest& request, std::string& uploadFile,
                                     std::uint64_t& uploadLimit) override;
  HttpResponse Handle(HttpRequest& request) override;

  // Before serving: the Host header values that name the console.
  void SetHostNames(std::vector<std::string> names) { policy_.hostNames = std::move(names); }
  // The fleet as the API lists it.
  std::string ServersJson() const;

 private:
  HttpResponse Route(HttpRequest& request);
  HttpResponse Events(const HttpRequest& request);

  AccessPolicy policy_;
  std::uint64_t uploadLimit_;
  Fleet& fleet_;
  PackageStore& packages_;
  Jobs& jobs_;
  History& history_;
  EventBus& events_;
};

}  // namespace vornctl::console
