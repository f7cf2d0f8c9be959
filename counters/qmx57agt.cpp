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
  int filled = 0;
  // The first pass always runs: an object without instances is read without an instance part.
  for (int i = 0;; ) {
    const char* name = pdh.GetInstanceName(i);
    if (!pdh.AddCounters(name)) {
      QMX_ERROR("Failed to addtion of counter to query... ");
    } else if (!pdh.CollectData()) {
      QMX_ERROR("Failed to collect data for attribute group... ");
    } else {
      char stamp[16];
      getHQTimeStamp(stamp);
      // Only rows that were read are handed over.
      char* row = rows.data() + static_cast<size_t>(filled) * qmx::kTransportScannerRowSize;
      qmx::FillTransportScannerRow(row, systemName, ++g_sampleCount, i + 1, stamp, name,
                                   pdh.GetValues());
      ++filled;
    }
    ++i;
    if (!name || i >= n) break;
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

void qmx_ffextrnss_agent::TakeSampleConstructor() {
  QMX_ENTRY_NAMED("qmx_ffextrnss_agent::TakeSampleConstructor");
}

void qmx_ffextrnss_agent::TakeSampleDestructor() {
  QMX_ENTRY_NAMED("qmx_ffextrnss_agent::TakeSampleDestructor");
}
