// Table 12 (MSESGRPD): one row per storage group of this server with its size, the free space of
// its drives, its growth since the previous sample and its number of mailboxes.
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "earegenv.h"
#include "qmxcommon.h"
#include "qmxrows.h"
#include "qmxstorage.h"
#include "qmxstorage_portable.h"

namespace {
std::atomic<uint32_t> g_rowCounter{0};
}  // namespace

unsigned long qmx_msesgrpd_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msesgrpd_agent::TakeSample");
  std::fputs("qmx_msesgrpd_agent::TakeSample () invoked (qmx12agt)\n", stderr);
  rowCount = 0;
  RegKey key;
  if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Exchange\\v8.0\\MailboxRole", key)) {
    QMX_FLOW("qmx_msesgrpd_agent::TakeSample: Mailbox role found");
  } else if (GetExchangeVersion() != kExchange2003) {
    QMX_FLOW("TakeSample: MailboxRole not configured.");
    QMX_RETURN(0UL);
  }
  key.reset();
  std::string count;
  std::vector<StorageGroupDetails> groups = GetStorGrpDetails(nullptr, &count);
  if (groups.empty()) QMX_RETURN(0UL);
  const qmx::TableLayout& layout = Layout();
  qmx::SampleRows rows(layout, groups.size(), g_rowCounter);
  const int32_t n = static_cast<int32_t>(groups.size());
  for (int32_t i = 0; i < n; ++i) {
    const StorageGroupDetails& g = groups[static_cast<size_t>(i)];
    char* row = rows[static_cast<size_t>(i)];
    qmx::PutRowInt32(row, layout, "ROWNO", n);  // this table's rowno is the rows of the sample
    qmx::PutRowText(row, layout, "SGNAME", g.name);
    qmx::PutRowInt32(row, layout, "SGSIZE", qmx::storage::RowFigure(g.sizeBytes / 1048576.0 * 100.0));
    qmx::PutRowInt32(row, layout, "SGPCTFREE", qmx::storage::RowFigure(g.freeHundredthsPercent));
    qmx::PutRowInt32(row, layout, "SGPCTGRWTH", qmx::storage::RowFigure(g.growthPercent));
    qmx::PutRowInt32(row, layout, "NUMMBX", g.mailboxes);
  }
  QMX_RETURN(AddData(rows.data(), rows.count()));
}

#else

// The host build reads no directory: the requests stay empty.
unsigned long qmx_msesgrpd_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msesgrpd_agent::TakeSample");
  QMX_RETURN(0UL);
}

#endif

void qmx_msesgrpd_agent::TakeSampleConstructor() {
  QMX_ENTRY_NAMED("qmx_msesgrpd_agent::TakeSampleConstructor");
}

void qmx_msesgrpd_agent::TakeSampleDestructor() {
  QMX_ENTRY_NAMED("qmx_msesgrpd_agent::TakeSampleDestructor");
}
