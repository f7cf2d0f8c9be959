// Any answer body, for any of the four operations, read through a real XML parser into the
// answer reader: no crash, no unbounded growth, and a usable answer is a consistent one.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "expat_events.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kOperations[] = {"CreateItem", "FindItem", "GetItem", "DeleteItem"};
  if (size == 0) return 0;
  const std::string op = kOperations[data[0] % 4];
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  const qmxews::Answer a = qmxews::ReadWithExpat(op, body);
  if (!a.malformed.empty() && (a.fault || !a.items.empty() || !a.responseCode.empty())) std::abort();
  if (a.items.size() > qmxews::AnswerReader::kMaxItems) std::abort();
  for (const qmxews::Item& i : a.items)
    if (i.id.empty() || i.subject.size() > qmxews::AnswerReader::kMaxText) std::abort();
  return 0;
}
