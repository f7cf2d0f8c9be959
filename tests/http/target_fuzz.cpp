// Any request target against the answers of the monitoring side: no crash, always a JSON or
// exposition body, and every text it hands out is valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "monitor.h"
#include "test_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static pxr_http::Monitor* monitor = [] {
    http_test::RegisterTestTables();
    pxr_http::MonitorOptions o;
    return new pxr_http::Monitor(o);
  }();
  std::string target(reinterpret_cast<const char*>(data), size);
  pxr_http::HttpAnswer a = monitor->Handle("GET", target, "");
  if (a.status != 200 && a.status != 400 && a.status != 404) std::abort();
  if (pxr_http::SanitizeUtf8(a.body) != a.body) std::abort();
  if (a.contentType == "application/json" && !pxr_http::Json::accept(a.body)) std::abort();
  if (pxr_http::SanitizeUtf8(pxr_http::SanitizeUtf8(target)) != pxr_http::SanitizeUtf8(target)) std::abort();
  return 0;
}
