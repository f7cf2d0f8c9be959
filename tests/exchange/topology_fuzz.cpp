// The topology file reader on any text: no crash, no more rows than lines.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qmxactdir_portable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto records = qmx::ad::ParseTopology(text);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (records.size() > lines) __builtin_trap();
  return 0;
}
