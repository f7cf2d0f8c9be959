// The common TakeSample of the counter-backed tables.
#include <cstdio>

#include "counter_table_unit.h"

namespace qmx {

unsigned long SampleCounterTable(vorta& request, int number, SampleBfr& bfr,
                                 const CounterSampleSource& source) {
  QMX_ENTRY();
  const ResolvedTable* table = ResolveCounterTable(number);
  if (!table) {
    QMX_ERROR("Table %d has no description: %s", number, CounterTableResolveError(number).c_str());
    QMX_RETURN(0UL);
  }
  std::fprintf(stderr, "%s\n", StartLine(*table->desc).c_str());
  request.rowCount = 0;
  const uint32_t status = source.fetch(&bfr, source.arg);

  if (!table->deltas.empty()) {
    DeltaCells* cells = DeltaCellsOf(number);
    if (!bfr.pBuffer) {
      QMX_ERROR("%s", table->desc->noBufferText ? table->desc->noBufferText : "");
    } else if (cells && bfr.nRowsUsed > 0) {
      // A buffer that never received a row holds no totals to remember.
      ApplyDeltas(*table, bfr.pBuffer.get(), bfr.nRowSize, *cells);
    }
  }

  if (status != 0) {
    QMX_ERROR("%s", StatusLine(status).c_str());
    QMX_RETURN(0UL);
  }
  if (bfr.pBuffer && !table->rules.empty()) {
    ExchangeCodes codes;
    if (table->needsCodes && source.codes) codes = source.codes(source.arg);
    ApplyRowRules(*table, bfr.pBuffer.get(), bfr.nRowsUsed, bfr.nRowSize, codes, source.ccr,
                  source.arg);
  }
  QMX_RETURN(request.AddData(bfr.pBuffer.get(), static_cast<int>(bfr.nRowsUsed)));
}

#ifndef _WIN32
namespace {
// No counter service in this build: like an undescribed sample, the buffer stays as it is.
uint32_t Undescribed(SampleBfr* bfr, void*) { return bfr->ulResult; }
}  // namespace

unsigned long CounterTableSample(vorta& request, int number, SampleBfr& bfr) {
  const CounterSampleSource source = {&Undescribed, nullptr, nullptr, nullptr};
  return SampleCounterTable(request, number, bfr, source);
}
#endif

}  // namespace qmx
