// Starts the monitoring side with the framework and stops it at shutdown.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "http_server.h"
#include "monitor.h"
#include "pxr_internal.h"
#include "pxr_monitor.h"
#include "qmxtrace.h"

namespace pxr_http {
namespace {

const char kDefaultAddress[] = "127.0.0.1:19610";

struct Running {
  std::unique_ptr<Monitor> monitor;
  std::unique_ptr<HttpServer> server;
};

std::string Env(const char* name) {
  const char* v = BSS1_GetEnv(name, 0);
  return v ? v : "";
}

// A positive whole number of seconds from the environment, or the default.
long Seconds(const char* name, long fallback) {
  QMX_ENTRY_NAMED("pxr_http::Seconds");
  std::string text = Env(name);
  if (text.empty()) return fallback;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || v <= 0 || v > 86400) {
    QMX_ALWAYS("pxr_http::Seconds: %s=\"%s\" is not a number of seconds from 1 to 86400; using %ld",
               name, text.c_str(), fallback);
    return fallback;
  }
  return v;
}

// Progress on standard error as the agent writes it, and the same in the trace.
void Say(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void* StartMonitor() {
  QMX_ENTRY_NAMED("pxr_http::StartMonitor");
  std::string text = Env("PXR_HTTP_ADDRESS");
  if (text.empty()) text = kDefaultAddress;
  if (text == "off" || text == "OFF" || text == "none") {
    QMX_FLOW("pxr_http::StartMonitor: PXR_HTTP_ADDRESS=%s, no monitoring server", text.c_str());
    return nullptr;
  }
  std::string host, error;
  uint16_t port = 0;
  Endpoint endpoint;
  if (!ParseHostPort(text, &host, &port, &error) || !ResolveEndpoint(host, port, &endpoint, &error)) {
    QMX_ALWAYS("pxr_http::StartMonitor: PXR_HTTP_ADDRESS: %s; not serving", error.c_str());
    Say("pxr: monitoring server not started: PXR_HTTP_ADDRESS: " + error);
    return nullptr;
  }
  std::string token = Env("PXR_HTTP_TOKEN");
  if (!endpoint.loopback && token.empty()) {
    QMX_ALWAYS("pxr_http::StartMonitor: %s is not a loopback address and PXR_HTTP_TOKEN is not set; "
               "refusing to serve", endpoint.address.c_str());
    Say("pxr: monitoring server not started: " + endpoint.address +
        " is not a loopback address and PXR_HTTP_TOKEN is not set");
    return nullptr;
  }

  MonitorOptions options;
  options.interval = std::chrono::seconds(Seconds("PXR_SAMPLE_INTERVAL", 60));
  options.token = token;
  ServerLimits limits;
  limits.readTimeout = std::chrono::seconds(Seconds("PXR_HTTP_READ_TIMEOUT", 10));

  std::unique_ptr<Running> r(new Running);
  r->monitor.reset(new Monitor(options));
  Monitor* monitor = r->monitor.get();
  r->server.reset(new HttpServer(
      [monitor](const std::string& method, const std::string& target, const std::string& auth) {
        return monitor->Handle(method, target, auth);
      },
      limits));
  if (!r->server->Start(endpoint, &error)) {
    QMX_ALWAYS("pxr_http::StartMonitor: %s; not serving", error.c_str());
    Say("pxr: monitoring server not started: " + error);
    return nullptr;
  }
  r->monitor->StartScheduler();
  std::string where = (endpoint.address.find(':') != std::string::npos ? "[" + endpoint.address + "]"
                                                                         : endpoint.address) +
                      ":" + std::to_string(r->server->port());
  QMX_ALWAYS("pxr_http::StartMonitor: serving on http://%s%s", where.c_str(),
             token.empty() ? "" : " (bearer token required)");
  Say("pxr: monitoring server on http://" + where);
  return r.release();
}

void StopMonitor(void* started) {
  QMX_ENTRY_NAMED("pxr_http::StopMonitor");
  std::unique_ptr<Running> r(static_cast<Running*>(started));
  if (!r) return;
  // No request may reach the monitor once its sampling threads are gone.
  r->server->Stop();
  r->monitor->StopScheduler();
  QMX_FLOW("pxr_http::StopMonitor: monitoring server stopped");
}

}  // namespace
}  // namespace pxr_http

namespace pxr {

void InstallMonitor() {
  static std::once_flag once;
  std::call_once(once, [] { AddServeHook({pxr_http::StartMonitor, pxr_http::StopMonitor}); });
}

}  // namespace pxr
