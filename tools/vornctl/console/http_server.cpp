#include "tools/vornctl/console/http_server.h"

// Boost 1.74's asio uses std::exchange without including <utility> itself.
#include <utility>
// clang-format off
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
// clang-format on
#include <chrono>
#include <csignal>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <thread>

#include "tools/vornctl/console/security.h"

namespace vornctl::console {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void SplitTarget(HttpRequest& request) {
  const std::size_t question = request.target.find('?');
  request.path = Decoded(request.target.substr(0, question));
  if (question == std::string::npos) return;
  const std::string query = request.target.substr(question + 1);
  std::size_t at = 0;
  while (at <= query.size()) {
    std::size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(at, end - at);
    const std::size_t equals = pair.find('=');
    if (!pair.empty()) {
      request.query[Decoded(pair.substr(0, equals))] =
          equals == std::string::npos ? std::string() : Decoded(pair.substr(equals + 1));
    }
    at = end + 1;
  }
}

HttpResponse Plain(int status, const std::string& text) {
  HttpResponse response;
  response.status = status;
  response.contentType = "text/plain; charset=utf-8";
  response.body = text + "\n";
  return response;
}

}  // namespace

std::string HttpRequest::Header(const std::string& lowerName) const {
  const auto found = headers.find(lowerName);
  return found == headers.end() ? std::string() : found->second;
}

std::string HttpRequest::Query(const std::string& name) const {
  const auto found = query.find(name);
  return found == query.end() ? std::string() : found->second;
}

// One connection: its own io_context, so that every blocking step can be a
// deadline-bound asynchronous operation run to its end on this thread.
struct Connection {
  explicit Connection(HttpServer* owner) : socket(ioc) { (void)owner; }
  net::io_context ioc;
  tcp::socket socket;
  std::optional<beast::tcp_stream> stream;
  beast::flat_buffer buffer;
};

struct HttpServer::Impl {
  HttpHandler& handler;
  HttpLimits limits;
  net::io_context ioc;
  tcp::acceptor acceptor{ioc};
  net::signal_set signals{ioc};
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::condition_variable idle;
  std::set<Connection*> live;
  std::shared_ptr<Connection> next;

  Impl(HttpHandler& h, HttpLimits l) : handler(h), limits(l) {}

  template <class Start>
  beast::error_code Await(Connection& c, Start&& start) {
    beast::error_code result = net::error::would_block;
    start([&](beast::error_code ec, std::size_t) { result = ec; });
    c.ioc.restart();
    c.ioc.run();
    return result;
  }

  beast::error_code WriteRaw(Connection& c, const std::string& bytes) {
    c.stream->expires_after(std::chrono::seconds(limits.ioSeconds));
    return Await(c, [&](auto handler) {
      net::async_write(*c.stream, net::buffer(bytes), std::move(handler));
    });
  }

  beast::error_code Write(Connection& c, const HttpResponse& response, bool keepAlive) {
    http::response<http::string_body> out{static_cast<http::status>(response.status), 11};
    out.set(http::field::server, "vornctl-console");
    out.set(http::field::content_type, response.contentType);
    for (const auto& [name, value] : SecurityHeaders()) out.set(name, value);
    for (const auto& [name, value] : response.headers) out.set(name, value);
    out.body() = response.body;
    out.keep_alive(keepAlive);
    out.prepare_payload();
    c.stream->expires_after(std::chrono::seconds(limits.ioSeconds));
    return Await(c, [&](auto handler) { http::async_write(*c.stream, out, std::move(handler)); });
  }

  class Sink : public EventSink {
   public:
    Sink(Impl& impl, Connection& c) : impl_(impl), c_(c) {}
    bool Send(const std::string& event, const std::string& data) override {
      return Put("event: " + event + "\ndata: " + data + "\n\n");
    }
    bool Ping() override { return Put(":\n\n"); }
    bool Stopping() const override { return impl_.stopping || failed_; }

   private:
    bool Put(const std::string& bytes) {
      if (Stopping()) return false;
      failed_ = static_cast<bool>(impl_.WriteRaw(c_, bytes));
      return !failed_;
    }
    Impl& impl_;
    Connection& c_;
    bool failed_ = false;
  };

  void StreamEvents(Connection& c, const HttpResponse& response) {
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n";
    for (const auto& [name, value] : SecurityHeaders()) head += name + ": " + value + "\r\n";
    head += "\r\n";
    if (WriteRaw(c, head)) return;
    Sink sink(*this, c);
    response.events(sink);
  }

  // Reads the body as the handler asked: into memory, or streamed into the
  // upload file a piece at a time, each piece with its own deadline.
  std::optional<HttpResponse> ReadBody(Connection& c,
                                       http::request_parser<http::empty_body>& header,
                                       HttpRequest& request, const std::string& uploadFile,
                                       std::uint64_t uploadLimit) {
    if (uploadFile.empty()) {
      const boost::optional<std::uint64_t> announced = header.content_length();
      if (announced && *announced > limits.bodyBytes) {
        return Plain(413, "the request body is too large");
      }
      http::request_parser<http::string_body> parser(std::move(header));
      parser.body_limit(limits.bodyBytes);
      c.stream->expires_after(std::chrono::seconds(limits.ioSeconds));
      const beast::error_code ec = Await(c, [&](auto handler) {
        http::async_read(*c.stream, c.buffer, parser, std::move(handler));
      });
      if (ec == http::error::body_limit) return Plain(413, "the request body is too large");
      if (ec) return Plain(400, "the request could not be read");
      request.body = std::move(parser.get().body());
      return std::nullopt;
    }
    const boost::optional<std::uint64_t> announced = header.content_length();
    if (announced && *announced > uploadLimit) {
      return Plain(413, "the upload is larger than the console accepts (" +
                            std::to_string(uploadLimit) + " bytes)");
    }
    http::request_parser<http::file_body> parser(std::move(header));
    parser.body_limit(uploadLimit);
    beast::error_code ec;
    parser.get().body().open(uploadFile.c_str(), beast::file_mode::write, ec);
    if (ec) return Plain(500, "the upload cannot be stored: " + ec.message());
    while (!ec && !parser.is_done()) {
      c.stream->expires_after(std::chrono::seconds(limits.ioSeconds));
      ec = Await(c, [&](auto handler) {
        http::async_read_some(*c.stream, c.buffer, parser, std::move(handler));
      });
    }
    parser.get().body().close();
    request.uploadedFile = uploadFile;
    if (ec == http::error::body_limit) {
      return Plain(413, "the upload is larger than the console accepts (" +
                            std::to_string(uploadLimit) + " bytes)");
    }
    if (ec) return Plain(400, "the upload broke off: " + ec.message());
    return std::nullopt;
  }

  void Serve(Connection& c) {
    beast::error_code ignored;
    const std::string remote = c.socket.remote_endpoint(ignored).address().to_string();
    c.stream.emplace(std::move(c.socket));
    while (!stopping) {
      http::request_parser<http::empty_body> header;
      header.header_limit(static_cast<std::uint32_t>(limits.headerBytes));
      // The body's limit depends on the request; ReadBody sets it.
      header.body_limit(std::numeric_limits<std::uint64_t>::max());
      c.stream->expires_after(std::chrono::seconds(limits.ioSeconds));
      beast::error_code ec = Await(c, [&](auto handler) {
        http::async_read_header(*c.stream, c.buffer, header, std::move(handler));
      });
      if (ec == http::error::header_limit) {
        Write(c, Plain(431, "the request header is too large"), false);
        break;
      }
      if (ec) break;
      HttpRequest request;
      const auto& fields = header.get();
      request.method = std::string(fields.method_string());
      request.target = std::string(fields.target());
      for (const auto& field : fields) {
        request.headers[Lower(std::string(field.name_string()))] = std::string(field.value());
      }
      request.remote = remote;
      SplitTarget(request);
      const bool keepAlive = fields.keep_alive();

      std::string uploadFile;
      std::uint64_t uploadLimit = 0;
      std::optional<HttpResponse> refusal = handler.Screen(request, uploadFile, uploadLimit);
      if (refusal) {
        // The body is not read: the connection cannot go on after it.
        Write(c, *refusal, false);
        break;
      }
      if (std::optional<HttpResponse> failed =
              ReadBody(c, header, request, uploadFile, uploadLimit)) {
        if (!uploadFile.empty()) std::remove(uploadFile.c_str());
        Write(c, *failed, false);
        break;
      }
      HttpResponse response = handler.Handle(request);
      if (response.events) {
        StreamEvents(c, response);
        break;
      }
      if (Write(c, response, keepAlive) || !keepAlive) break;
    }
    // A close with unread bytes waiting would reset the connection, and the
    // peer might lose the answer (a refused upload): the sending side closes
    // first, and a little of what still arrives is read and dropped.
    c.stream->socket().shutdown(tcp::socket::shutdown_send, ignored);
    std::vector<char> scrap(64 * 1024);
    std::size_t dropped = 0;
    c.stream->expires_after(std::chrono::seconds(1));
    while (dropped < 1024 * 1024) {
      std::size_t got = 0;
      const beast::error_code ec = Await(c, [&](auto handler) {
        c.stream->async_read_some(net::buffer(scrap),
                                  [&got, handler](beast::error_code e, std::size_t n) mutable {
                                    got = n;
                                    handler(e, n);
                                  });
      });
      if (ec) break;
      dropped += got;
    }
    c.stream->close();
  }

  void Accept() {
    next = std::make_shared<Connection>(nullptr);
    acceptor.async_accept(next->socket, [this](beast::error_code ec) {
      if (ec || stopping) return;
      std::shared_ptr<Connection> c = std::move(next);
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (live.size() >= limits.connections) {
          // Too many at once: the newest waits for nothing and is closed.
          beast::error_code ignored;
          c->socket.close(ignored);
          Accept();
          return;
        }
        live.insert(c.get());
      }
      std::thread([this, c] {
        Serve(*c);
        std::lock_guard<std::mutex> lock(mutex);
        live.erase(c.get());
        idle.notify_all();
      }).detach();
      Accept();
    });
  }
};

HttpServer::HttpServer(HttpHandler& handler, HttpLimits limits)
    : impl_(std::make_unique<Impl>(handler, limits)) {}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Listen(const std::string& address, std::uint16_t port) {
  beast::error_code ec;
  const net::ip::address ip = net::ip::make_address(address, ec);
  if (ec) throw std::runtime_error("'" + address + "' is not an IP address");
  const tcp::endpoint endpoint(ip, port);
  impl_->acceptor.open(endpoint.protocol(), ec);
  // On Windows this option would let another program take the port over.
#ifndef _WIN32
  if (!ec) impl_->acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
  if (!ec) impl_->acceptor.bind(endpoint, ec);
  if (!ec) impl_->acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " +
                             ec.message());
  }
}

std::uint16_t HttpServer::Port() const {
  beast::error_code ec;
  return impl_->acceptor.local_endpoint(ec).port();
}

void HttpServer::Run(bool stopOnSignals) {
  if (stopOnSignals) {
    impl_->signals.add(SIGINT);
    impl_->signals.add(SIGTERM);
    impl_->signals.async_wait([this](beast::error_code ec, int) {
      if (!ec) Stop();
    });
  }
  impl_->Accept();
  impl_->ioc.run();
}

void HttpServer::Stop() {
  if (impl_->stopping.exchange(true)) return;
  net::post(impl_->ioc, [impl = impl_.get()] {
    beast::error_code ignored;
    impl->acceptor.close(ignored);
    impl->signals.cancel(ignored);
  });
  std::unique_lock<std::mutex> lock(impl_->mutex);
  for (Connection* c : impl_->live) {
    net::post(c->ioc, [c] {
      if (c->stream) c->stream->cancel();
    });
  }
  // Connections end at their next step; one stuck in a handler gets a while.
  impl_->idle.wait_for(lock, std::chrono::seconds(5), [this] { return impl_->live.empty(); });
}

}  // namespace vornctl::console
