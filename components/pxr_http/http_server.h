// The socket side of the monitoring server: HTTP/1.1 over TCP with bounded requests,
// connections and time, answering through a handler that knows nothing of sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "monitor.h"

namespace pxr_http {

struct ServerLimits {
  size_t maxRequestLine = 8 * 1024;   // beyond: 414
  size_t maxHeaderBytes = 16 * 1024;  // all fields together; beyond: 431
  size_t maxFields = 100;             // beyond: 431
  size_t maxBody = 1024;              // GET needs none; beyond: 413
  int maxConnections = 16;            // open at once; beyond: 503
  std::chrono::milliseconds readTimeout{10000};   // from a request's first byte to its end
  std::chrono::milliseconds idleTimeout{15000};   // between requests on one connection
  std::chrono::milliseconds writeTimeout{10000};
  int ioThreads = 2;
};

using RequestHandler = std::function<HttpAnswer(const std::string& method, const std::string& target,
                                                const std::string& authorization)>;

struct Endpoint {
  std::string address;  // numeric, as bound
  uint16_t port = 0;
  bool loopback = false;
};

// host:port ("[v6]:port" for IPv6 literals); false with a reason.
bool ParseHostPort(const std::string& text, std::string* host, uint16_t* port, std::string* error);
// Resolves a host name or literal to the address the server would bind.
bool ResolveEndpoint(const std::string& host, uint16_t port, Endpoint* endpoint, std::string* error);

class HttpServer {
 public:
  HttpServer(RequestHandler handler, ServerLimits limits);
  ~HttpServer();  // stops
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and starts serving; false with a reason when the address cannot be bound.
  bool Start(const Endpoint& endpoint, std::string* error);
  // Stops accepting, waits for answers in progress, closes every connection.
  void Stop();
  // The bound port (useful with port 0).
  uint16_t port() const;

  struct Impl;  // sockets and threads, known only where the connections are served

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace pxr_http
