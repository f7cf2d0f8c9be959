// Time of one counter-service round over all 63 definitions against the PDH stand-in and the demo
// snapshot. Run by hand under Wine from bin/ (pdh.dll beside it):
//   wine bin/counter_service_bench.exe [snapshot.tsv] [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "collector.h"
#include "counter_set.h"
#include "counter_set_strings.h"

int main(int argc, char** argv) {
  std::string snapshot = argc > 1 ? argv[1] : QMX_DEMO_SNAPSHOT;
  if (!snapshot.empty() && snapshot[0] == '/') snapshot = "Z:" + snapshot;  // a Linux path under Wine
  int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
  if (rounds < 1) rounds = 1;
  if (!getenv("QMX_PDH_SNAPSHOT")) SetEnvironmentVariableA("QMX_PDH_SNAPSHOT", snapshot.c_str());

  dedazud::Collector collector;
  int described = 0;
  std::vector<std::pair<ULONGLONG, qmx::CounterSetDefinition>> samples;
  for (int id : qmx::CounterSetIds()) {
    ULONGLONG h = 0;
    if (collector.DescribeSample(id, 240, &h) != S_OK) {
      std::fprintf(stderr, "definition %d: not described\n", id);
      continue;
    }
    collector.DescribeFixedData(h, "_ORIGIN_", "BENCH", 64);
    ++described;
    std::vector<std::string> v;
    qmx::CounterSetDefinition def;
    std::string error;
    if (qmx::CounterSetStrings(id, &v) && v.size() == 5) {
      std::string five[5] = {v[0], v[1], v[2], v[3], v[4]};
      if (qmx::ParseCounterSet(five, &def, &error)) samples.emplace_back(h, def);
    }
  }
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t0);
  unsigned rows = collector.CollectRound();  // opens the queries and adds every counter
  QueryPerformanceCounter(&t1);
  double firstMs = 1000.0 * (t1.QuadPart - t0.QuadPart) / freq.QuadPart;
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    QueryPerformanceCounter(&t0);
    rows = collector.CollectRound();
    QueryPerformanceCounter(&t1);
    ms.push_back(1000.0 * (t1.QuadPart - t0.QuadPart) / freq.QuadPart);
  }
  std::sort(ms.begin(), ms.end());
  // Every counter of the demo snapshot is there, so no field may hold the not-available marker.
  int markers = 0;
  for (auto& [h, def] : samples) {
    std::vector<BYTE> buf(static_cast<size_t>(def.rowSize) * 16);
    ULONG written = 0;
    if (collector.Copy(h, static_cast<ULONG>(buf.size()), &written, buf.data()) != S_OK) continue;
    for (ULONG off = 0; off + def.rowSize <= written; off += def.rowSize)
      for (const auto& f : def.fields) {
        if (f.isInstance()) continue;
        bool allOnes = true;
        for (int b = 0; b < f.size; ++b) allOnes = allOnes && buf[off + f.offset + b] == 0xFF;
        if (allOnes) {
          ++markers;
          std::fprintf(stderr, "marker: %s / %s\n", def.object.c_str(), f.name.c_str());
        }
      }
  }
  std::printf("fields holding the not-available marker: %d\n", markers);
  double sum = 0;
  for (double m : ms) sum += m;
  std::printf("definitions described: %d, rows per round: %u\n", described, rows);
  std::printf("first round (queries opened, counters added): %.2f ms\n", firstMs);
  std::printf("round over %d rounds: min %.2f ms, median %.2f ms, mean %.2f ms, max %.2f ms\n", rounds,
              ms.front(), ms[ms.size() / 2], sum / ms.size(), ms.back());
  return described == static_cast<int>(qmx::CounterSetIds().size()) ? 0 : 1;
}
