// The TakeSample of the tables the counter service feeds: one routine for all of them, driven by
// counter_tables.def. The build generates each table's collector unit qmxNNagt.cpp from its entry
// there: the unit expands QMX_COUNTER_TABLE_UNIT once.
#pragma once

#include <cstdint>

#include "ctrtable_rules.h"
#include "qmx_tables.h"
#include "qmxtrace.h"

namespace qmx {

// Where a sample's inputs come from: the counter service, the Exchange codes and the CCR test.
struct CounterSampleSource {
  uint32_t (*fetch)(SampleBfr* bfr, void* arg);  // the status of the fetch; 0 is success
  ExchangeCodes (*codes)(void* arg);              // asked only when a rule depends on them
  bool (*ccr)(void* arg);                         // asked only when a rule needs it
  void* arg;
};

// The common sample: start line on standard error, the request emptied, the rows fetched into
// the table's buffer, the deltas, then on success the corrections and AddData (its status is
// returned); on failure the status is traced and the request stays empty (0 is returned).
unsigned long SampleCounterTable(vorta& request, int number, SampleBfr& bfr,
                                 const CounterSampleSource& source);

// The same with this build's sources: the counter service, the registry's Exchange codes and
// IsCCREnv on Windows; in the host build no sample is ever described, so nothing is fetched.
unsigned long CounterTableSample(vorta& request, int number, SampleBfr& bfr);

}  // namespace qmx

#define QMX_COUNTER_TABLE_UNIT(number, stem) \
  QMX_SAMPLE_FUNCTIONS(stem, qmx::CounterTableSample(*this, number, qmx_##stem##_SampleBfr))
