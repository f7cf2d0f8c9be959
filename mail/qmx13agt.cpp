// Table 13 (MSEMBXD): one row per mailbox of the details file the mailbox cycle has the statistics
// tool write.
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "jbx.h"
#include "qmxmaildetail.h"
#include "qmxrows.h"

namespace {
std::atomic<uint32_t> g_rowCounter{0};
}  // namespace

unsigned long qmx_msembxd_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msembxd_agent::TakeSample");
  std::fprintf(stderr, "qmx_msembxd_agent::TakeSample () invoked (qmx13agt)\n");
  rowCount = 0;
  const char* logPath = BSS1_GetEnv("VORTA_LOG_PATH", 0);
  const std::string path = std::string(logPath ? logPath : "") + "\\" + qmx::kMailboxDetailsFile;
  QMX_FLOW("Reading mailbox detail file: %s", path.c_str());
  std::string text;
  if (!ReadDetailsFile(path, &text)) {
    QMX_ERROR("Mailbox Detail file open failed: %s", path.c_str());
    QMX_RETURN(0UL);
  }
  // As many rows as the file has mailbox lines, never what its first line merely claims.
  const std::vector<qmx::MailboxRecord> records = qmx::ParseMailboxDetails(text);
  if (records.empty()) QMX_RETURN(0UL);
  const qmx::TableLayout& layout = Layout();
  qmx::SampleRows rows(layout, records.size(), g_rowCounter);
  for (size_t i = 0; i < records.size(); ++i) {
    const qmx::MailboxRecord& r = records[i];
    qmx::RowFields row(layout, rows[i]);
    qmx::PutRowText(rows[i], layout, "MBXNAME", r.name);
    qmx::PutRowText(rows[i], layout, "SGNAME", r.storageGroup);
    qmx::PutRowText(rows[i], layout, "ISNAME", r.store);
    row.Int("NUMMBXMSGS", r.items);
    row.Int("MBXSIZE", r.size);
    row.Int("MBXMAXSIZE", r.maxSize);
    row.Text("MBXLASTLGN", r.lastLogon.c_str(), ' ');
    qmx::PutRowText(rows[i], layout, "EMAILADDRS", r.address);
    QMX_FLOW("-------------------------");
    QMX_FLOW("mbxname    : %s", r.name.c_str());
    QMX_FLOW("sgname     : %s", r.storageGroup.c_str());
    QMX_FLOW("isname     : %s", r.store.c_str());
    QMX_FLOW("nummbxmsgs : %d", static_cast<int>(r.items));
    QMX_FLOW("mbxsize    : %d", static_cast<int>(r.size));
    QMX_FLOW("mbxmaxsize : %d", static_cast<int>(r.maxSize));
    QMX_FLOW("mbxlastlgn : %s", r.lastLogon.c_str());
    QMX_FLOW("emailaddrs : %s", r.address.c_str());
  }
  QMX_RETURN(AddData(rows.data(), rows.count()));
}

QMX_SAMPLE_BRACKETS(msembxd)

#else

// The host build reads no details files: the requests stay empty.
QMX_SAMPLE_FUNCTIONS(msembxd, 0UL)

#endif
