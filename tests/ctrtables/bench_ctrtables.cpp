// The common sample's own work on 1000 rows of 760 bytes (table 26 on Exchange 2010: nine markers
// per row) followed by AddData with one condition, beside one copy of the same rows.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "counter_table_unit.h"
#include "ctrtable_rules.h"

namespace {

constexpr uint32_t kRows = 1000;
constexpr uint32_t kRowSize = 760;

void Fill(SampleBfr& bfr) {
  bfr.nRowSize = kRowSize;
  bfr.Allocate(static_cast<long long>(kRowSize) * kRows);
  std::memset(bfr.pBuffer.get(), 0x01, bfr.nBufferSize);
  bfr.nRowsUsed = kRows;
}

void BM_CorrectAndAddData(benchmark::State& state) {
  pxr::ResetForTests();
  qmx_mseassit_init();
  SampleBfr bfr(0, 1);
  Fill(bfr);
  unsigned long status = 0;
  std::unique_ptr<pxr::Request> r =
      pxr::Request::Open("MSEASSIT", {{"SAMPLENO", OPER_GE, "0"}}, &status);
  const qmx::ResolvedTable* t = qmx::ResolveCounterTable(26);
  qmx::ExchangeCodes codes;
  codes.release = 5;
  for (auto _ : state) {
    r->object()->rowCount = 0;
    qmx::ApplyRowRules(*t, bfr.pBuffer.get(), bfr.nRowsUsed, bfr.nRowSize, codes, nullptr, nullptr);
    benchmark::DoNotOptimize(r->object()->AddData(bfr.pBuffer.get(), static_cast<int>(bfr.nRowsUsed)));
  }
  if (r->rowCount() != static_cast<int>(kRows)) state.SkipWithError("not every row qualified");
}
BENCHMARK(BM_CorrectAndAddData);

// The two parts apart: the corrections alone, and AddData alone.
void BM_CorrectOnly(benchmark::State& state) {
  SampleBfr bfr(0, 1);
  Fill(bfr);
  const qmx::ResolvedTable* t = qmx::ResolveCounterTable(26);
  qmx::ExchangeCodes codes;
  codes.release = 5;
  for (auto _ : state) {
    qmx::ApplyRowRules(*t, bfr.pBuffer.get(), bfr.nRowsUsed, bfr.nRowSize, codes, nullptr, nullptr);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CorrectOnly);

// range(0): 1 with the condition, 0 without (then only InsertRow's copy is left).
void BM_AddDataOnly(benchmark::State& state) {
  pxr::ResetForTests();
  qmx_mseassit_init();
  SampleBfr bfr(0, 1);
  Fill(bfr);
  unsigned long status = 0;
  std::vector<RequestCondition> conditions;
  if (state.range(0)) conditions.push_back({"SAMPLENO", OPER_GE, "0"});
  std::unique_ptr<pxr::Request> r = pxr::Request::Open("MSEASSIT", conditions, &status);
  for (auto _ : state) {
    r->object()->rowCount = 0;
    benchmark::DoNotOptimize(r->object()->AddData(bfr.pBuffer.get(), static_cast<int>(bfr.nRowsUsed)));
  }
}
BENCHMARK(BM_AddDataOnly)->Arg(1)->Arg(0);

void BM_CopyRowsOnce(benchmark::State& state) {
  SampleBfr bfr(0, 1);
  Fill(bfr);
  std::vector<char> copy(bfr.nBufferSize);
  for (auto _ : state) {
    std::memcpy(copy.data(), bfr.pBuffer.get(), bfr.nBufferSize);
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CopyRowsOnce);

}  // namespace

BENCHMARK_MAIN();
