// The record text reader and the persisted growth value on any text: no crash, no more records
// than whole records of fields, the summary and group figures of what was read, and a value
// written back that stays within its limit and gives back the size written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qmxstorage_portable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace qs = qmx::storage;
  std::string text(reinterpret_cast<const char*>(data), size);
  const size_t fields = qs::Tokens(text).size();
  for (int release : {3, 5}) {
    auto records = qs::ParseRecordText(text, release);
    if (records.size() > fields / 8) __builtin_trap();
    auto space = [](const std::string&, double* f, double* t) { return *f = 1, *t = 2, true; };
    qs::SummaryText(records, space);
    for (const StorageGroupDetails& g : qs::GroupFigures(records, records, space))
      if (g.freeHundredthsPercent != 5000 && g.freeHundredthsPercent != -1) __builtin_trap();
  }
  const std::string owner = text.substr(0, text.size() / 3);
  qs::PreviousSize(text, owner);
  const std::string value = qs::PersistedValue(text, owner, 42, 0, "Thu Dec 10 17:11:24 2026");
  if (value.size() > 1000 && value.find('\n') + 1 != value.size()) __builtin_trap();
  if (qs::PreviousSize(value, owner) != 42) __builtin_trap();
  return 0;
}
