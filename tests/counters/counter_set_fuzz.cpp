// Arbitrary bytes as the five strings of a definition (split at the byte 0x1E): the reader must
// neither crash nor read out of bounds, whatever it is given.
#include <cstddef>
#include <cstdint>
#include <string>

#include "counter_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string strings[5];
  size_t k = 0;
  for (size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\x1e' && k < 4) ++k;
    else strings[k] += c;
  }
  qmx::CounterSetDefinition d;
  std::string error;
  if (qmx::ParseCounterSet(strings, &d, &error)) {
    qmx::CheckCounterSet(d, &error);
    if (d.fields.size() != static_cast<size_t>(d.fieldCount)) __builtin_trap();
  }
  int rows = 0, rowSize = 0;
  // The agent's read takes NUL-terminated text: the std::string gives it one.
  qmx::ReadRowsAndRowSize(strings[0].c_str(), strings[1].c_str(), &rows, &rowSize);
  return 0;
}
