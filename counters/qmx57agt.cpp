// Table 57 (FFEXTRNSS): the Forefront transport scanner's counters, read by the agent itself,
// one row per instance.
#include "ctrtable_rules.h"
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "qmxcommon.h"
#include "zrtPdh.h"

namespace {

// The managed-system name, obtained once per process.
const char* SystemName() {
  static const struct Name {
    char text[64];
    Name() { ReturnLocalHost(text); }
  } name;
  return name.text;
}

// Counts the filled rows over the life of the process; shared by every request of the table.
std::atomic<uint32_t> g_sampleCount{0};

}  // namespace

unsigned long qmx_ffextrnss_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_ffextrnss_agent::TakeSample");
  const char* systemName = SystemName();
  unsigned long status = 0;
  qmxPdhCntr pdh;
  if (!pdh.OpenQuery()) {
    QMX_ERROR("Failed to Initialize Query... ");
    QMX_RETURN(status);
  }
  if (!pdh.SetObjectName(qmx::kTransportScannerObject)) {
    QMX_ERROR("Failed to Set Attribute Group... ");
    pdh.CloseQuery();
    QMX_RETURN(status);
  }
  if (!pdh.GetInstances()) {
    QMX_ERROR("Failed to retrive instances and attributes... ");
    pdh.FreeLists();
    pdh.CloseQuery();
    QMX_RETURN(status);
  }
  pdh.SetCounterList(qmx::kTransportScannerCounters, qmx::kTransportScannerCounterCount);
  const int n = pdh.GetInstanceCount();
  std::vector<char> rows;
  try {
    rows.assign(static_cast<size_t>(n + 1) * qmx::kTransportScannerRowSize, '\0');
  } catch (const std::bad_alloc&) {
    QMX_ERROR("Unable to allocate rows.");
    pdh.FreeLists();
    pdh.CloseQuery();
    QMX_RETURN(static_cast<unsigned long>(PXR_NO_MEMORY));
  }
  // Every instance's counters in one query: one collection, with one wait, serves them all, so
  // the sample takes one interval however many instances there are. An object without instances
  // is read once, without an instance part.
  const int sets = pdh.AddAllInstances();
  bool anyAdded = false;
  for (int i = 0; i < sets; ++i) anyAdded = anyAdded || pdh.SetAdded(i);
  if (anyAdded) pdh.CollectData();
  int filled = 0;
  char stamp[16];
  getHQTimeStamp(stamp);
  for (int i = 0; i < sets; ++i) {
    if (!pdh.SetAdded(i)) {
      QMX_ERROR("Failed to addtion of counter to query... ");
    } else if (!pdh.SetRead(i)) {
      QMX_ERROR("Failed to collect data for attribute group... ");
    } else {
      // Only rows that were read are handed over.
      char* row = rows.data() + static_cast<size_t>(filled) * qmx::kTransportScannerRowSize;
      qmx::FillTransportScannerRow(row, systemName, ++g_sampleCount, i + 1, stamp,
                                   pdh.GetInstanceName(i), pdh.GetValues(i));
      ++filled;
    }
  }
  status = AddData(rows.data(), filled);
  pdh.FreeLists();
  pdh.CloseQuery();
  QMX_RETURN(status);
}

#else

// The host build reads no performance counters: the requests stay empty.
unsigned long qmx_ffextrnss_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_ffextrnss_agent::TakeSample");
  QMX_RETURN(0UL);
}

#endif

QMX_SAMPLE_BRACKETS(ffextrnss)
