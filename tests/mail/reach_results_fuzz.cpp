// The results-file reader on any text: no crash, no more rows than lines, fields within a line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qmxmailbox_portable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto rows = qmx::reach::ParseResultsFile(text);
  size_t lines = text.empty() ? 0 : 1;
  for (char c : text) lines += c == '\n';
  if (rows.size() > lines) __builtin_trap();
  for (const auto& r : rows)
    if (r.server.size() > 1023 || r.address.size() > 1023 || r.runTime.size() > 1023 ||
        (r.reachable != 0 && r.reachable != 1))
      __builtin_trap();
  return 0;
}
