#pragma once
// A small HTTP/1.1 server for the console: one thread per connection (at
// most a bounded number), every read and write with a deadline, small
// bodies read into memory and uploads streamed into a file, and
// connections that turn into a stream of server-sent events.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vornctl::console {

struct HttpRequest {
  std::string method;
  std::string target;                          // as sent
  std::string path;                            // target up to '?'
  std::map<std::string, std::string> query;    // decoded
  std::map<std::string, std::string> headers;  // names in lower case
  std::string remote;                          // the peer's address
  std::string body;                            // small bodies only
  std::string uploadedFile;                    // where a streamed body went

  std::string Header(const std::string& lowerName) const;
  std::string Query(const std::string& name) const;
};

// The page end of a stream of server-sent events.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // False once the page has gone or the console is stopping.
  virtual bool Send(const std::string& event, const std::string& data) = 0;
  // A comment line that keeps the connection alive and finds gone pages.
  virtual bool Ping() = 0;
  virtual bool Stopping() const = 0;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set: the answer is a stream of events that this function writes until
  // it returns; the connection closes then.
  std::function<void(EventSink&)> events;
};

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // Looks at the header before any body is read: a response refuses the
  // request. For an upload, sets uploadFile and uploadLimit; the body then
  // streams into that file.
  virtual std::optional<HttpResponse> Screen(const HttpRequest& request, std::string& uploadFile,
                                             std::uint64_t& uploadLimit) = 0;
  virtual HttpResponse Handle(HttpRequest& request) = 0;
};

struct HttpLimits {
  std::size_t connections = 64;
  std::size_t headerBytes = 16 * 1024;
  std::size_t bodyBytes = 1024 * 1024;  // bodies held in memory
  unsigned ioSeconds = 30;              // one read or write, and idle keep-alive
};

class HttpServer {
 public:
  HttpServer(HttpHandler& handler, HttpLimits limits = HttpLimits());
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens; throws std::runtime_error with the system's text.
  void Listen(const std::string& address, std::uint16_t port);
  std::uint16_t Port() const;
  // Serves until Stop, or Ctrl-C / SIGTERM when stopOnSignals.
  void Run(bool stopOnSignals);
  // From any thread: ends Run, then every connection.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vornctl::console
