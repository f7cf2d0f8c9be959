// Arbitrary bytes as a configuration file: no crash, and what comes out keeps to the limits.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cfgparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int release = size > 0 && (data[0] & 1) ? 1 : 5;
  size_t recordBytes = 0;
  qmxcfg::ParseResult r = qmxcfg::ParseConfigText(text, release, [&](std::string_view rec) {
    if (rec.size() > qmxcfg::kMaxRecord) std::abort();
    recordBytes += rec.size();
  });
  if (r.joined.size() > qmxcfg::kMaxFileBytes + size) std::abort();
  if (recordBytes > size) std::abort();
  for (const qmxcfg::StoreAction& a : r.actions) {
    if (a.setting < 0 || a.setting >= qmxcfg::kSettingCount) std::abort();
    if (a.variable.size() > qmxcfg::kMaxNameLen) std::abort();
    if (a.setting == qmxcfg::kExchangeServices && a.forced) continue;  // the services list
    size_t limit = a.setting >= qmxcfg::kClusterServer && a.setting <= qmxcfg::kHistory
                       ? qmxcfg::kMaxClusterValueLen
                       : qmxcfg::kMaxValueLen;
    if (a.value.size() > limit) std::abort();
    if (a.value.find_first_of(std::string_view(" \t\r\n\0", 5)) != std::string::npos) std::abort();
  }
  qmxcfg::ClusterServerConfigured(r.joined);
  return 0;
}
