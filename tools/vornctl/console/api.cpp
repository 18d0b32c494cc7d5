#include "tools/vornctl/console/api.h"

#include <filesystem>

#include "tools/vornctl/console/assets.h"
#include "tools/vornctl/json_output.h"

namespace vornctl::console {
namespace {

using nlohmann::json;

constexpr const char* kApi = "/api/v1/";

HttpResponse Json(int status, const json& body) {
  HttpResponse response;
  response.status = status;
  response.body = CompactJson(body) + "\n";
  return response;
}

HttpResponse Error(int status, const std::string& text) { return Json(status, {{"error", text}}); }

// The path below the prefix, split at '/': "packages/p12/data" -> 3 parts.
std::vector<std::string> Parts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t at = std::string(kApi).size();
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

bool IsApi(const std::string& path) { return path.rfind(kApi, 0) == 0; }

UploadRequest UploadOf(const HttpRequest& request, bool& ok) {
  UploadRequest upload;
  ok = ParseKind(request.Query("kind"), upload.kind);
  upload.fileName = request.Query("name");
  upload.type = request.Query("type");
  upload.commandLine = request.Query("commandLine");
  upload.entry = request.Query("entry");
  return upload;
}

json ServerJson(const ServerEntry& s) {
  json devices = json::array();
  for (const DeviceInfo& d : s.devices) {
    devices.push_back({{"id", d.id},
                       {"materialNumber", d.materialNumber},
                       {"serialNumber", d.serialNumber},
                       {"model", d.model},
                       {"deviceVersion", d.deviceVersion}});
  }
  json link = {{"address", s.link.address}, {"via", json::array()}};
  if (!s.link.to.empty()) link["via"] = s.link.to;
  return {{"id", s.id},
          {"how", s.how},
          {"address", s.link.address},
          {"relay", s.link.to},
          {"hostName", s.hostName},
          {"name", s.name},
          {"version", s.version},
          {"group", s.group},
          {"vornId", s.vornId},
          {"devices", devices},
          {"reachable", s.reachable},
          {"lastSeen", s.lastSeen},
          {"problem", s.problem}};
}

std::string Who(const json& body) {
  std::string user = body.is_object() ? body.value("user", std::string()) : std::string();
  return Bounded(user, 64);
}

}  // namespace

ConsoleApi::ConsoleApi(AccessPolicy policy, std::uint64_t uploadLimit, Fleet& fleet,
                       PackageStore& packages, Jobs& jobs, History& history, EventBus& events)
    : policy_(std::move(policy)),
      uploadLimit_(uploadLimit),
      fleet_(fleet),
      packages_(packages),
      jobs_(jobs),
      history_(history),
      events_(events) {}

std::optional<HttpResponse> ConsoleApi::Screen(const HttpRequest& request, std::string& uploadFile,
                                               std::uint64_t& uploadLimit) {
  RequestFacts facts;
  facts.method = request.method;
  facts.host = request.Header("host");
  facts.origin = request.Header("origin");
  facts.fetchSite = request.Header("sec-fetch-site");
  facts.authorization = request.Header("authorization");
  facts.cookie = request.Header("cookie");
  // Only the page's first address carries the token in the query.
  if (request.path == "/") facts.queryToken = request.Query("token");
  const AccessVerdict verdict = CheckAccess(policy_, facts);
  if (verdict.status != 0) return Error(verdict.status, verdict.reason);

  const std::vector<std::string> parts =
      IsApi(request.path) ? Parts(request.path) : std::vector<std::string>{};
  if (request.method == "POST" && parts.size() == 1 && parts[0] == "packages") {
    bool ok = false;
    const UploadRequest upload = UploadOf(request, ok);
    if (!ok) return Error(400, "kind must be description, container or program");
    std::string id;
    if (std::string error = packages_.BeginUpload(upload, id, uploadFile); !error.empty()) {
      return Error(400, error);
    }
    uploadLimit = upload.kind == PackageKind::kDescription ? kDescriptionLimit : uploadLimit_;
  } else if (request.method == "PUT" && parts.size() == 3 && parts[0] == "packages" &&
             parts[2] == "data") {
    if (std::string error = packages_.BeginData(parts[1], uploadFile); !error.empty()) {
      return Error(404, error);
    }
    uploadLimit = uploadLimit_;
  } else if (request.method == "PUT" && parts.size() == 3 && parts[0] == "packages" &&
             parts[2] == "signature") {
    if (std::string error = packages_.BeginSignature(parts[1], uploadFile); !error.empty()) {
      return Error(packages_.Find(parts[1]) ? 400 : 404, error);
    }
    uploadLimit = kSignatureLimit;
  }
  return std::nullopt;
}

HttpResponse ConsoleApi::Handle(HttpRequest& request) {
  HttpResponse response = Route(request);
  // The page's address with the token hands it over as a cookie, then
  // drops it from the address bar.
  if (request.path == "/" && !request.Query("token").empty()) {
    response.status = 303;
    response.headers.push_back({"Location", "/"});
    response.headers.push_back({"Set-Cookie", std::string(kTokenCookie) + "=" +
                                                  request.Query("token") +
                                                  "; Path=/; HttpOnly; SameSite=Strict"});
    response.body.clear();
  }
  return response;
}

std::string ConsoleApi::ServersJson() const {
  json list = json::array();
  for (const ServerEntry& s : fleet_.Servers()) list.push_back(ServerJson(s));
  return CompactJson({{"servers", list},
                      {"refreshing", fleet_.Refreshing()},
                      {"refreshedAt", fleet_.RefreshedAt()}}) +
         "\n";
}

HttpResponse ConsoleApi::Events(const HttpRequest&) {
  HttpResponse response;
  response.events = [this](EventSink& sink) {
    std::uint64_t next = events_.Next();
    // The page starts from a whole picture; after that, changes.
    if (!sink.Send("hello", CompactJson({{"jobs", jobs_.List()}}))) return;
    auto lastPing = std::chrono::steady_clock::now();
    while (!sink.Stopping()) {
      bool lost = false;
      for (const Event& event : events_.Read(next, std::chrono::seconds(1), lost)) {
        if (!sink.Send(event.name, event.data)) return;
      }
      if (lost && !sink.Send("hello", CompactJson({{"jobs", jobs_.List()}}))) return;
      if (std::chrono::steady_clock::now() - lastPing > std::chrono::seconds(15)) {
        if (!sink.Ping()) return;
        lastPing = std::chrono::steady_clock::now();
      }
    }
  };
  return response;
}

HttpResponse ConsoleApi::Route(HttpRequest& request) {
  const std::string& method = request.method;
  if (!IsApi(request.path)) {
    if (method != "GET" && method != "HEAD") return Error(405, "method not allowed");
    const Asset* asset = FindAsset(request.path == "/" ? "/index.html" : request.path);
    if (asset == nullptr) return Error(404, "not found");
    HttpResponse response;
    response.contentType = asset->contentType;
    response.body = std::string(asset->bytes);
    return response;
  }
  const std::vector<std::string> parts = Parts(request.path);
  const std::string& what = parts[0];
  json body;
  if (!request.body.empty()) {
    body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) return Error(400, "the request body is not JSON");
  }

  if (what == "servers") {
    if (parts.size() == 1 && method == "GET") {
      HttpResponse response;
      response.body = ServersJson();
      return response;
    }
    if (parts.size() == 1 && method == "POST") {
      if (!body.is_object() || !body.contains("address") || !body["address"].is_string()) {
        return Error(400, "{\"address\": \"HOST[:PORT]\"} expected");
      }
      const std::string error = fleet_.AddAddress(body["address"].get<std::string>());
      return error.empty() ? Json(202, {{"added", true}}) : Error(400, error);
    }
    if (parts.size() == 2 && parts[1] == "refresh" && method == "POST") {
      fleet_.RefreshSoon();
      return Json(202, {{"refreshing", true}});
    }
    if (parts.size() == 3 && parts[2] == "scan" && method == "POST") {
      std::size_t found = 0;
      const std::string error = fleet_.Scan(parts[1], 2000, found);
      return error.empty() ? Json(200, {{"found", found}}) : Error(502, error);
    }
  }

  if (what == "packages") {
    if (parts.size() == 1 && method == "GET") {
      json list = json::array();
      for (const StoredPackage& p : packages_.List()) list.push_back(PackageJson(p));
      return Json(200, list);
    }
    if (parts.size() == 1 && method == "POST") {
      bool ok = false;
      const UploadRequest upload = UploadOf(request, ok);
      const std::string id = std::filesystem::path(request.uploadedFile).stem().string();
      StoredPackage stored;
      if (std::string error = packages_.FinishUpload(id, upload, stored); !error.empty()) {
        return Error(400, error);
      }
      return Json(201, PackageJson(stored));
    }
    if (parts.size() == 2 && method == "GET") {
      const std::optional<StoredPackage> stored = packages_.Find(parts[1]);
      return stored ? Json(200, PackageJson(*stored)) : Error(404, "no such package");
    }
    if (parts.size() == 2 && method == "DELETE") {
      return packages_.Remove(parts[1]) ? Json(200, {{"deleted", parts[1]}})
                                        : Error(404, "no such package");
    }
    if (parts.size() == 3 && parts[2] == "data" && method == "PUT") {
      StoredPackage stored;
      if (std::string error = packages_.FinishData(parts[1], stored); !error.empty()) {
        return Error(400, error);
      }
      return Json(200, PackageJson(stored));
    }
    if (parts.size() == 3 && parts[2] == "signature" && method == "PUT") {
      StoredPackage stored;
      if (std::string error = packages_.FinishSignature(parts[1], stored); !error.empty()) {
        return Error(400, error);
      }
      return Json(200, PackageJson(stored));
    }
  }

  if (what == "jobs") {
    if (parts.size() == 1 && method == "GET") return Json(200, jobs_.List());
    if (parts.size() == 1 && method == "POST") {
      if (!body.is_object()) return Error(400, "a JSON object expected");
      JobRequest job;
      try {
        job.package = body.value("package", std::string());
        job.device = body.value("device", std::string());
        job.servers = body.value("servers", std::vector<std::string>());
        job.parallel = body.value("parallel", 4u);
      } catch (const json::exception&) {
        return Error(400, "package, device (texts), servers (a list of ids), parallel (a number)");
      }
      job.user = Who(body);
      job.remote = request.remote;
      std::string id;
      if (std::string error = jobs_.Start(job, id); !error.empty()) return Error(400, error);
      bool found = false;
      return Json(201, jobs_.Get(id, found));
    }
    if (parts.size() == 2 && method == "GET") {
      bool found = false;
      json job = jobs_.Get(parts[1], found);
      return found ? Json(200, job) : Error(404, "no such job");
    }
    if (parts.size() == 5 && parts[2] == "targets" && parts[4] == "cancel" && method == "POST") {
      const std::string& index = parts[3];
      if (index.empty() || index.size() > 6 ||
          index.find_first_not_of("0123456789") != std::string::npos) {
        return Error(400, "a target number expected");
      }
      const std::string error = jobs_.Cancel(parts[1], std::stoul(index));
      return error.empty() ? Json(200, {{"cancelled", true}}) : Error(409, error);
    }
  }

  if (what == "reboot" && parts.size() == 1 && method == "POST") {
    if (!body.is_object() || !body.value("server", json()).is_string() ||
        !body.value("device", json()).is_string()) {
      return Error(400, "{\"server\": ID, \"device\": DEVICE} expected");
    }
    const std::string error =
        jobs_.Reboot(body["server"], body["device"], Who(body), request.remote);
    return error.empty() ? Json(200, {{"result", "reboot requested"}}) : Error(502, error);
  }

  if (what == "history" && parts.size() == 1 && method == "GET") {
    HttpResponse response = Json(200, history_.All());
    if (request.Query("download") == "1") {
      response.headers.push_back(
          {"Content-Disposition", "attachment; filename=\"vorn-console-history.json\""});
    }
    return response;
  }

  if (what == "events" && parts.size() == 1 && method == "GET") return Events(request);

  return Error(404, "no such API call");
}

}  // namespace vornctl::console
