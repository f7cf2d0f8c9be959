// HTTP server on Boost.Beast: one strand per connection, answers computed on a separate pool so
// a slow table never holds up the socket threads.
#include "http_server.h"

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "qmxtrace.h"

namespace pxr_http {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

bool IsHttpError(const beast::error_code& ec) {
  return &ec.category() == &http::make_error_code(http::error::bad_target).category();
}

}  // namespace

bool ParseHostPort(const std::string& text, std::string* host, uint16_t* port, std::string* error) {
  std::string h, p;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "\"" + text + "\" is not [address]:port";
      return false;
    }
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      *error = "\"" + text + "\" is not host:port";
      return false;
    }
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
  }
  if (h.empty()) {
    *error = "\"" + text + "\" names no host";
    return false;
  }
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(p) > 65535) {
    *error = "\"" + text + "\" has no port from 0 to 65535";
    return false;
  }
  *host = h;
  *port = static_cast<uint16_t>(std::stoul(p));
  return true;
}

bool ResolveEndpoint(const std::string& host, uint16_t port, Endpoint* endpoint, std::string* error) {
  beast::error_code ec;
  net::ip::address address = net::ip::make_address(host, ec);
  if (ec) {
    net::io_context ioc;
    tcp::resolver resolver(ioc);
    auto results = resolver.resolve(host, std::to_string(port), ec);
    if (ec || results.empty()) {
      *error = "cannot resolve \"" + host + "\": " + ec.message();
      return false;
    }
    address = results.begin()->endpoint().address();
  }
  endpoint->address = address.to_string();
  endpoint->port = port;
  endpoint->loopback = address.is_loopback();
  return true;
}

struct HttpServer::Impl {
  RequestHandler handler;
  ServerLimits limits;
  std::atomic<int> active{0};     // connections being served
  std::atomic<int> rejecting{0};  // connections being told 503
  std::atomic<bool> stopped{false};
  net::io_context ioc;
  tcp::acceptor acceptor{ioc};
  std::unique_ptr<net::steady_timer> retry;
  std::unique_ptr<net::thread_pool> answers;
  std::vector<std::thread> threads;
  uint16_t port = 0;

  void Accept();
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket&& socket, HttpServer::Impl& server, bool reject)
      : socket_(std::move(socket)),
        deadline_(socket_.get_executor()),
        server_(server),
        reject_(reject),
        buffer_(server.limits.maxRequestLine + server.limits.maxHeaderBytes +
                server.limits.maxBody + 4096) {
    ++(reject_ ? server_.rejecting : server_.active);
  }
  ~Session() { --(reject_ ? server_.rejecting : server_.active); }

  void Start() {
    net::dispatch(socket_.get_executor(), [self = shared_from_this()] {
      if (self->reject_) {
        HttpAnswer a;
        a.status = 503;
        a.contentType = "application/json";
        a.body = "{\"error\":\"too many connections\"}";
        a.headers.emplace_back("Retry-After", "1");
        self->Send(std::move(a), false, 11, false);
      } else {
        self->WaitForRequest();
      }
    });
  }

 private:
  // Waits for a request's first bytes under the idle limit, then reads it under the read limit.
  void WaitForRequest() {
    if (buffer_.size() > 0) return ReadRequest();
    Arm(server_.limits.idleTimeout);
    socket_.async_read_some(buffer_.prepare(4096),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                              if (ec) return self->Close();
                              self->buffer_.commit(n);
                              self->ReadRequest();
                            });
  }

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(server_.limits.maxRequestLine +
                                                server_.limits.maxHeaderBytes + 2));
    parser_->body_limit(server_.limits.maxBody);
    Arm(server_.limits.readTimeout);
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       self->OnRead(ec);
                     });
  }

  // True when the bytes waiting hold no complete request line within its limit. Once the parser
  // has the request line (its target is set) the bytes left are header lines: too long there is a
  // header too large, however long the line.
  bool RequestLineTooLong() const {
    if (!parser_->get().target().empty()) return false;
    auto data = buffer_.data();
    std::string_view seen(static_cast<const char*>(data.data()), data.size());
    size_t eol = seen.find("\r\n");
    return eol == std::string_view::npos ? seen.size() > server_.limits.maxRequestLine
                                         : eol > server_.limits.maxRequestLine;
  }

  void Fail(int status, const std::string& message) {
    HttpAnswer a;
    a.status = status;
    a.contentType = "application/json";
    a.body = Dump(ErrorJson(message));
    Send(std::move(a), false, 11, false);
  }

  void OnRead(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == net::error::eof ||
        ec == http::error::partial_message)
      return Close();
    deadline_.cancel();
    if (ec && timedOut_) return Fail(408, "request not received in time");
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      if (RequestLineTooLong()) return Fail(414, "request line too long");
      return Fail(431, "request header too large");
    }
    if (ec == http::error::body_limit) return Fail(413, "request body too large");
    if (ec && IsHttpError(ec)) return Fail(400, "malformed request: " + ec.message());
    if (ec) return Close();

    http::request<http::string_body>& req = parser_->get();
    const ServerLimits& lim = server_.limits;
    if (req.target().size() > lim.maxRequestLine) return Fail(414, "request line too long");
    size_t fields = 0, bytes = 0;
    for (const auto& f : req) {
      ++fields;
      bytes += f.name_string().size() + f.value().size() + 4;
    }
    if (fields > lim.maxFields || bytes > lim.maxHeaderBytes)
      return Fail(431, "request header too large");

    std::string method(req.method_string());
    std::string target(req.target());
    std::string authorization(req[http::field::authorization]);
    bool keepAlive = req.keep_alive();
    unsigned version = req.version();
    bool head = req.method() == http::verb::head;
    // The answer may wait for a table: computed off the socket threads.
    net::post(*server_.answers, [self = shared_from_this(), method = std::move(method),
                                 target = std::move(target), authorization = std::move(authorization),
                                 keepAlive, version, head]() mutable {
      HttpAnswer a;
      try {
        a = self->server_.handler(method, target, authorization);
      } catch (const std::exception& e) {
        a.status = 500;
        a.contentType = "application/json";
        a.body = Dump(ErrorJson(std::string("internal error: ") + e.what()));
      }
      net::post(self->socket_.get_executor(), [self, a = std::move(a), keepAlive, version, head]() mutable {
        self->Send(std::move(a), keepAlive, version, head);
      });
    });
  }

  void Send(HttpAnswer a, bool keepAlive, unsigned version, bool head) {
    auto res = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(a.status), version ? version : 11);
    res->set(http::field::server, "pxr");
    if (!a.contentType.empty()) res->set(http::field::content_type, a.contentType);
    for (const auto& h : a.headers) res->set(h.first, h.second);
    res->body() = std::move(a.body);
    res->prepare_payload();
    if (head) {
      size_t size = res->body().size();
      res->body().clear();
      res->content_length(size);
    }
    res->keep_alive(keepAlive && !server_.stopped);
    bool again = res->keep_alive();
    Arm(server_.limits.writeTimeout);
    http::async_write(socket_, *res, [self = shared_from_this(), res, again](beast::error_code ec, std::size_t) {
      if (ec) return self->Close();
      if (again) return self->WaitForRequest();
      self->Linger();
    });
  }

  // Half-close, then drain what the client still sends for a moment: closing with unread bytes
  // would reset the connection and could take the answer with it.
  void Linger() {
    beast::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_send, ec);
    Arm(std::chrono::seconds(1));
    Drain();
  }

  void Drain() {
    socket_.async_read_some(net::buffer(drain_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->Close();
      self->Drain();
    });
  }

  void Close() {
    beast::error_code ec;
    deadline_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
  }

  // One deadline per step; when it passes, the pending operation is cancelled and ends with
  // timedOut_ set, so a half-received request can still be told 408.
  void Arm(std::chrono::milliseconds limit) {
    timedOut_ = false;
    deadline_.expires_after(limit);
    deadline_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->deadline_.expiry() > std::chrono::steady_clock::now()) return;
      self->timedOut_ = true;
      beast::error_code ignored;
      self->socket_.cancel(ignored);
    });
  }

  tcp::socket socket_;
  net::steady_timer deadline_;
  bool timedOut_ = false;
  HttpServer::Impl& server_;
  bool reject_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  char drain_[1024];
};

}  // namespace

void HttpServer::Impl::Accept() {
  acceptor.async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || stopped) return;
    if (ec) {
      // Out of descriptors and the like: try again shortly rather than spin.
      retry->expires_after(std::chrono::milliseconds(100));
      retry->async_wait([this](beast::error_code e) {
        if (!e && !stopped) Accept();
      });
      return;
    }
    if (active.load() < limits.maxConnections) {
      std::make_shared<Session>(std::move(socket), *this, false)->Start();
    } else if (rejecting.load() < 4 * limits.maxConnections) {
      std::make_shared<Session>(std::move(socket), *this, true)->Start();
    }  // else the socket closes here
    Accept();
  });
}

HttpServer::HttpServer(RequestHandler handler, ServerLimits limits) : impl_(new Impl) {
  impl_->handler = std::move(handler);
  impl_->limits = limits;
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(const Endpoint& endpoint, std::string* error) {
  QMX_ENTRY_NAMED("pxr_http::HttpServer::Start");
  Impl& s = *impl_;
  beast::error_code ec;
  net::ip::address address = net::ip::make_address(endpoint.address, ec);
  if (ec) {
    *error = "bad address \"" + endpoint.address + "\"";
    QMX_RETURN(false);
  }
  tcp::endpoint ep(address, endpoint.port);
  s.acceptor.open(ep.protocol(), ec);
  // Windows lets a second socket share a port whose owner set SO_REUSEADDR: not there.
#ifndef _WIN32
  if (!ec) s.acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
  if (!ec) s.acceptor.bind(ep, ec);
  if (!ec) s.acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + endpoint.address + ":" + std::to_string(endpoint.port) + ": " +
             ec.message();
    beast::error_code ignored;
    s.acceptor.close(ignored);
    QMX_RETURN(false);
  }
  s.port = s.acceptor.local_endpoint(ec).port();
  s.retry.reset(new net::steady_timer(s.ioc));
  s.answers.reset(new net::thread_pool(static_cast<size_t>(s.limits.maxConnections)));
  s.Accept();
  for (int i = 0; i < (s.limits.ioThreads > 0 ? s.limits.ioThreads : 1); ++i)
    s.threads.emplace_back([&s] { s.ioc.run(); });
  QMX_RETURN(true);
}

void HttpServer::Stop() {
  Impl& s = *impl_;
  if (s.stopped.exchange(true)) return;
  net::post(s.ioc, [&s] {
    beast::error_code ec;
    s.acceptor.close(ec);
    if (s.retry) s.retry->cancel();
  });
  // Answers in progress finish; their connections are then closed with the io_context.
  if (s.answers) s.answers->join();
  s.ioc.stop();
  for (std::thread& t : s.threads) t.join();
  s.threads.clear();
}

uint16_t HttpServer::port() const { return impl_->port; }

}  // namespace pxr_http
