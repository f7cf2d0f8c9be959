// Any bytes as a counter snapshot: the reader never fails, and what it keeps is consistent.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  pdhsi::Snapshot snap = pdhsi::ParseSnapshot(text);
  if (snap.objectIndex.size() != snap.objects.size()) abort();
  for (size_t o = 0; o < snap.objects.size(); ++o) {
    const pdhsi::Object& obj = snap.objects[o];
    if (obj.name.empty() || obj.name.find_first_of("\\(\t\n") != std::string::npos) abort();
    if (snap.Find(obj.name) != &obj) abort();
    if (obj.counters.empty() || obj.values.empty()) abort();
    if (obj.counterIndex.size() != obj.counters.size() || obj.instanceIndex.size() != obj.instances.size()) abort();
    for (size_t c = 0; c < obj.counters.size(); ++c)
      if (obj.CounterSlot(obj.counters[c]) != static_cast<int>(c)) abort();
    for (size_t i = 0; i < obj.instances.size(); ++i)
      if (obj.instances[i].empty() || obj.InstanceSlot(obj.instances[i]) != static_cast<int>(i + 1)) abort();
    for (const auto& kv : obj.values) {
      uint64_t slot = kv.first >> 32, counter = kv.first & 0xFFFFFFFFu;
      if (slot > obj.instances.size() || counter >= obj.counters.size()) abort();
      if (slot == 0 && !obj.HasNoInstanceRows()) abort();
      if (!std::isfinite(kv.second.number)) abort();
      if (kv.second.exact && static_cast<double>(kv.second.integer) != kv.second.number &&
          std::fabs(static_cast<double>(kv.second.integer) - kv.second.number) > std::fabs(kv.second.number) * 1e-15)
        abort();
    }
  }
  // The number reader on its own, with the input as one value.
  pdhsi::Value v;
  if (pdhsi::ParseNumber(text, &v)) {
    if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string::npos) abort();
    if (!std::isfinite(v.number)) abort();
  }
  return 0;
}
