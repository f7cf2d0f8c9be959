// Time of one counter-service round over all 63 definitions against the PDH stand-in and the demo
// snapshot. Run by hand under Wine from bin/ (pdh.dll beside it):
//   wine bin/counter_service_bench.exe [snapshot.tsv] [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "collector.h"
#include "counter_set_strings.h"

int main(int argc, char** argv) {
  std::string snapshot = argc > 1 ? argv[1] : QMX_DEMO_SNAPSHOT;
  if (!snapshot.empty() && snapshot[0] == '/') snapshot = "Z:" + snapshot;  // a Linux path under Wine
  int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
  if (rounds < 1) rounds = 1;
  if (!getenv("QMX_PDH_SNAPSHOT")) SetEnvironmentVariableA("QMX_PDH_SNAPSHOT", snapshot.c_str());

  dedazud::Collector collector;
  int described = 0;
  for (int id : qmx::CounterSetIds()) {
    ULONGLONG h = 0;
    if (collector.DescribeSample(id, 240, &h) != S_OK) {
      std::fprintf(stderr, "definition %d: not described\n", id);
      continue;
    }
    collector.DescribeFixedData(h, "_ORIGIN_", "BENCH", 64);
    ++described;
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
  double sum = 0;
  for (double m : ms) sum += m;
  std::printf("definitions described: %d, rows per round: %u\n", described, rows);
  std::printf("first round (queries opened, counters added): %.2f ms\n", firstMs);
  std::printf("round over %d rounds: min %.2f ms, median %.2f ms, mean %.2f ms, max %.2f ms\n", rounds,
              ms.front(), ms[ms.size() / 2], sum / ms.size(), ms.back());
  return described == static_cast<int>(qmx::CounterSetIds().size()) ? 0 : 1;
}
