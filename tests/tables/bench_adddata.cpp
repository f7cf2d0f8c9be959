// AddData over 1000 rows of 760 bytes with two conditions, beside one memcpy of the same rows.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "qmx_tables.h"

namespace {

constexpr int kRows = 1000;

std::vector<char> MakeRows() {
  const qmx::TableLayout& t = qmx_msestrdr_base::Layout();
  std::vector<char> rows(static_cast<size_t>(t.rowSize) * kRows, '\0');
  int32_t v = 5;
  for (int i = 0; i < kRows; ++i) {
    char* row = rows.data() + static_cast<size_t>(i) * t.rowSize;
    std::memcpy(row + t.attributes[static_cast<size_t>(t.Find("INLOCDELC"))].offset, &v, 4);
    std::memcpy(row + t.attributes[static_cast<size_t>(t.Find("SDRVNAME"))].offset, "driver", 6);
  }
  return rows;
}

void BM_AddData(benchmark::State& state) {
  pxr::ResetForTests();
  qmx_msestrdr_init();
  std::vector<char> rows = MakeRows();
  unsigned long status = 0;
  std::unique_ptr<pxr::Request> r = pxr::Request::Open(
      "MSESTRDR", {{"INLOCDELC", OPER_GE, "1"}, {"SDRVNAME", OPER_EQ, "driver"}}, &status);
  for (auto _ : state) {
    r->object()->rowCount = 0;
    benchmark::DoNotOptimize(r->object()->AddData(rows.data(), kRows));
  }
  if (r->rowCount() != kRows) state.SkipWithError("not every row qualified");
}
BENCHMARK(BM_AddData);

void BM_CopyRows(benchmark::State& state) {
  std::vector<char> rows = MakeRows(), copy(rows.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), rows.data(), rows.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CopyRows);

}  // namespace

BENCHMARK_MAIN();
