// Table 14 (MSEPFLDD): one row per public folder of the details file the public folder cycle has
// the statistics tool write for this Exchange release.
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "qmxmaildetail.h"
#include "qmxrows.h"

namespace {
std::atomic<uint32_t> g_rowCounter{0};
}  // namespace

unsigned long qmx_msepfldd_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msepfldd_agent::TakeSample");
  std::fprintf(stderr, "qmx_msepfldd_agent::TakeSample () invoked (qmx14agt)\n");
  rowCount = 0;
  std::string count;
  std::vector<qmx::PublicFolderRecord> records;
  // Only the records read are rows, whatever count line 1 gives.
  if (!ReadPublicFolderDetails(&count, &records) || records.empty()) {
    QMX_FLOW("No public folder information found");
    QMX_RETURN(0UL);
  }
  const qmx::TableLayout& layout = Layout();
  qmx::SampleRows rows(layout, records.size(), g_rowCounter);
  for (size_t i = 0; i < records.size(); ++i) {
    const qmx::PublicFolderRecord& r = records[i];
    qmx::RowFields row(layout, rows[i]);
    qmx::PutRowText(rows[i], layout, "PFLDNAME", r.name);
    qmx::PutRowText(rows[i], layout, "SGNAME", r.storageGroup);
    qmx::PutRowText(rows[i], layout, "ISNAME", r.store);
    row.Int("NUMPFLDMSG", r.items);
    row.Int("PFLDSIZE", r.sizeHundredths);
    row.Text("PFLDLASTLG", r.lastAccess.c_str());
    TracePublicFolderRecord(qmx_trace, "-----------TakeSample--------------", r);
  }
  QMX_RETURN(AddData(rows.data(), rows.count()));
}

QMX_SAMPLE_BRACKETS(msepfldd)

#else

// The host build reads no details files: the requests stay empty.
QMX_SAMPLE_FUNCTIONS(msepfldd, 0UL)

#endif
