// Fuzz target for the information store tables' texts and rows. First byte: table, release and
// whether the status is known; then the store status text, the database summary text and the
// history file's bytes, separated by 0x01. The counter rows are named after the summary's
// databases and the status's stores. The rows built must be the named stores (no more than the
// databases) and a total row holding the sum over the mounted stores.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qmxispagt_portable.h"

using namespace qmx;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("JBX_RAS1", "NONE", 1);
  return 0;
}

namespace {

bool Exists(const StoreTableDesc&, const char* name, void*) { return std::strlen(name) % 2 == 0; }
int32_t Ratio(const StoreTableDesc&, const char* name, void*) { return static_cast<int32_t>(std::strlen(name)); }

int32_t Get32(const char* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const StoreTableDesc& desc = data[0] & 1 ? PublicStoreTable() : PrivateStoreTable();
  static const int kReleases[] = {-1, 1, 3, 5};
  std::string parts[3];
  int part = 0;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 1 && part < 2) {
      ++part;
      continue;
    }
    parts[part] += static_cast<char>(data[i]);
  }
  StoreSampleInput in;
  in.release = kReleases[(data[0] >> 1) & 3];
  in.statusKnown = (data[0] & 8) == 0;
  in.statusText = parts[0];
  in.summaryText = parts[1];
  in.historyText = HistoryTextFromBytes(parts[2]);
  const std::vector<SummaryEntry> summary = ParseSummary(in.summaryText);
  in.databaseCount = summary.size() + (data[0] >> 4);

  std::vector<std::string> instances;
  for (const SummaryEntry& e : summary) instances.push_back(e.name);
  for (const StatusStore& s : ParseStoreStatus(in.statusText, desc.storeKey)) instances.push_back(s.group + "-" + s.store);
  instances.push_back("_Total");
  if (instances.size() > 64) instances.resize(64);
  const uint32_t rowSize = 836;
  std::vector<char> rows(instances.size() * rowSize, '\x22');
  for (size_t i = 0; i < instances.size(); ++i) {
    char* r = rows.data() + i * rowSize;
    std::memset(r + 88, 0, 600);
    std::memcpy(r + 88, instances[i].data(), std::min<size_t>(instances[i].size(), 600));
  }
  in.counterRows = rows.data();
  in.counterRowCount = static_cast<uint32_t>(instances.size());
  in.counterRowSize = rowSize;
  in.probe = {&Exists, &Ratio, nullptr};

  StoreRows out = BuildStoreRows(desc, in);
  if (out.count < 1 || out.rowSize != rowSize || out.bytes.size() != static_cast<size_t>(out.count) * rowSize)
    std::abort();
  if (static_cast<size_t>(out.count) > in.databaseCount + 1) std::abort();
  if (in.statusKnown) {
    int64_t sum = 0;
    for (int i = 0; i + 1 < out.count; ++i) {
      const char* r = out.row(i);
      const int32_t state = Get32(r + 832);
      if (state != 0 && state != 1) std::abort();
      if (state == 0) sum += Get32(r + 820);
    }
    const char* total = out.row(out.count - 1);
    if (std::strncmp(total + 88, "_Total", 6) != 0 || Get32(total + 832) != 2) std::abort();
    if (sum >= INT32_MIN && sum <= INT32_MAX && Get32(total + 820) != sum) std::abort();
  }
  // A summary written as the history reads back as the same text.
  if (in.summaryText.find('\n') == std::string::npos &&
      HistoryNeedsWrite(in.summaryText, HistoryTextFromBytes(in.summaryText)))
    std::abort();
  return 0;
}
