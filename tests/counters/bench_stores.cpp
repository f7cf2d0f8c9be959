// One MSEISPRI sample's own work for 20 mailbox stores on Exchange 2007: the status, summary and
// history texts read, 21 counter rows (20 stores and _Total) merged into the store rows with their
// computed fields, and the total. The PDH readings are answered at once, so the figure is the
// table code's part of a sample; under Wine each reading adds a PDH query (see README).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qmxispagt_portable.h"

namespace {

constexpr int kStores = 20;

bool Exists(const qmx::StoreTableDesc&, const char*, void*) { return true; }
int32_t Ratio(const qmx::StoreTableDesc&, const char*, void*) { return 100; }

struct Sample {
  std::vector<std::string> instances;
  std::vector<char> rows;
  qmx::StoreSampleInput in;
  Sample() {
    char entry[256];
    for (int i = 0; i < kStores; ++i) {
      const std::string group = "Storage Group " + std::to_string(i + 1);
      const std::string db = "Mailbox Database " + std::to_string(i + 1);
      in.statusText += "Storage Group=" + group + ";Mailbox Store=" + db + ";Status=" + (i % 5 ? "0" : "1") + ";";
      std::snprintf(entry, sizeof entry, "%s%s;%f;%f;%f", i ? ";" : "", db.c_str(), (i + 1) * 1073741824.0,
                    i ? 0.0 : 400000.0, i ? 0.0 : 1000000.0);
      in.summaryText += entry;
      std::snprintf(entry, sizeof entry, "%s%s;%f;%f;%f", i ? ";" : "", db.c_str(), (i + 1) * 1000000000.0,
                    i ? 0.0 : 400000.0, i ? 0.0 : 1000000.0);
      in.historyText += entry;
      instances.push_back(group + "-" + db);
    }
    instances.push_back("_Total");
    rows.assign(instances.size() * 836, '\0');
    in.release = 3;
    in.statusKnown = true;
    in.databaseCount = kStores;
    in.counterRows = rows.data();
    in.counterRowCount = static_cast<uint32_t>(instances.size());
    in.counterRowSize = 836;
    in.probe = {&Exists, &Ratio, nullptr};
  }
  // The counter service refills its rows before every sample.
  void Refill() {
    for (size_t i = 0; i < instances.size(); ++i) {
      char* r = rows.data() + i * 836;
      std::memset(r, 0, 836);
      std::memcpy(r + 88, instances[i].data(), instances[i].size());
    }
  }
};

void BM_PrivateStoreSample20(benchmark::State& state) {
  Sample s;
  int rows = 0;
  for (auto _ : state) {
    s.Refill();
    qmx::StoreRows out = qmx::BuildStoreRows(qmx::PrivateStoreTable(), s.in);
    rows = out.count;
    benchmark::DoNotOptimize(out.bytes.data());
  }
  if (rows != kStores + 1) state.SkipWithError("not one row per store and the total");
}
BENCHMARK(BM_PrivateStoreSample20);

// The texts alone: the summary and history read as a sample reads them.
void BM_SummaryAndHistory20(benchmark::State& state) {
  Sample s;
  for (auto _ : state) {
    benchmark::DoNotOptimize(qmx::ParseSummary(s.in.summaryText));
    benchmark::DoNotOptimize(qmx::ParseSummary(qmx::HistoryTextFromBytes(s.in.historyText)));
  }
}
BENCHMARK(BM_SummaryAndHistory20);

}  // namespace

BENCHMARK_MAIN();
