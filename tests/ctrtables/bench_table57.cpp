// Time of one table 57 sample by the number of scanner instances, against the PDH stand-in. The
// sample collects every instance's counters in one query with one wait, so it should take about
// one collect interval (1 s) whatever the count. Run by hand under Wine, the stand-in in place of
// pdh.dll:
//   wine bin/table57_bench.exe [samples per count]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ctrtable_rules.h"
#include "pxr.h"
#include "qmx_tables.h"
#include "win_snapshot.h"
#include "zrtPdh.h"

int main(int argc, char** argv) {
  int samples = argc > 1 ? std::atoi(argv[1]) : 3;
  if (samples < 1) samples = 1;
  CounterSnapshot snap;
  pxr::ResetForTests();
  if (qmx_ffextrnss_init() != 0) {
    std::fprintf(stderr, "table 57 not registered\n");
    return 1;
  }
  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  std::printf("collect interval %.3f s\n", qmxPdhCntr::kDefaultCollectIntervalMs / 1000.0);
  int bad = 0;
  for (int instances : {1, 5, 20}) {
    std::string lines;
    for (int i = 0; i < instances; ++i)
      for (int k = 0; k < qmx::kTransportScannerCounterCount; ++k)
        lines += Line(qmx::kTransportScannerObject, "Scanner " + std::to_string(i),
                      qmx::kTransportScannerCounters[k], std::to_string(i * 100 + k));
    if (!snap.Write(lines)) {
      std::fprintf(stderr, "cannot write the snapshot\n");
      return 1;
    }
    unsigned long status = 0;
    std::unique_ptr<pxr::Request> r = pxr::Request::Open("FFEXTRNSS", {}, &status);
    if (!r) {
      std::fprintf(stderr, "no request: 0x%lx\n", status);
      return 1;
    }
    std::vector<double> seconds;
    int rows = 0;
    for (int s = 0; s < samples; ++s) {
      LARGE_INTEGER t0, t1;
      QueryPerformanceCounter(&t0);
      unsigned long rc = r->Sample();
      QueryPerformanceCounter(&t1);
      seconds.push_back(static_cast<double>(t1.QuadPart - t0.QuadPart) / freq.QuadPart);
      rows = r->rowCount();
      if (rc != 0 || rows != instances) ++bad;
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("instances %2d: rows %2d, sample %.3f s (fastest) %.3f s (median) %.3f s (slowest)\n",
                instances, rows, seconds.front(), seconds[seconds.size() / 2], seconds.back());
  }
  if (bad) std::fprintf(stderr, "%d samples failed or missed rows\n", bad);
  return bad ? 1 : 0;
}
