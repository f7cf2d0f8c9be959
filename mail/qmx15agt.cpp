// Table 15 (MSEREACH): the records of the results file the reachability thread writes.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "jbx.h"
#include "qmx_tables.h"
#ifdef _WIN32
#include "qmxmailbox.h"
#endif
#include "qmxmailbox_portable.h"
#include "qmxrows.h"
#include "qmxtrace.h"

namespace {
// Grows by one for every row ever produced.
std::atomic<uint32_t> g_rowCounter{0};
}  // namespace

unsigned long qmx_msereach_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msereach_agent::TakeSample");
  std::fprintf(stderr, "qmx_msereach_agent::TakeSample () invoked (qmx15agt)\n");
  rowCount = 0;
  const char* logPath = BSS1_GetEnv("VORTA_LOG_PATH", 0);
  const std::string path = std::string(logPath ? logPath : "") + "\\MailBox_Reachability_Results.log";
  QMX_FLOW("Reading mailbox detail file: %s", path.c_str());
  // The thread replaces the file in one step, so one read sees one whole cycle's records.
  std::string text;
#ifdef _WIN32
  const bool opened = ReadResultsText(path, &text);
#else
  std::string local = path;
  for (char& c : local)
    if (c == '\\') c = '/';
  std::ifstream in(local, std::ios::binary);
  const bool opened = static_cast<bool>(in);
  if (opened) {
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
  }
#endif
  if (!opened) {
    QMX_ERROR("Mailbox Reachability Results file open failed: %s", path.c_str());
    QMX_RETURN(0UL);
  }
  const std::vector<qmx::reach::ReachRow> records = qmx::reach::ParseResultsFile(text);
  if (records.empty()) QMX_RETURN(0UL);
  const qmx::TableLayout& layout = Layout();
  qmx::SampleRows rows(layout, records.size(), g_rowCounter);
  for (size_t i = 0; i < records.size(); ++i) {
    const qmx::reach::ReachRow& r = records[i];
    char* row = rows[i];
    qmx::PutRowText(row, layout, "TRGSERVER", r.server);
    qmx::PutRowText(row, layout, "TRGEADDRS", r.address);
    qmx::PutRowInt32(row, layout, "REACHABLE", r.reachable);
    qmx::PutRowInt32(row, layout, "RESPTIME", r.responseHundredths);
    // The stamp fills all 16 bytes of its field.
    qmx::RowFields(layout, row).Text("RUNTIME", r.runTime.c_str());
    QMX_FLOW("-------------------------");
    QMX_FLOW(" trgserver   : %s", r.server.c_str());
    QMX_FLOW(" trgeaddrs   : %s", r.address.c_str());
    QMX_FLOW(" reachable   : %d", static_cast<int>(r.reachable));
    QMX_FLOW(" resptime    : %d", static_cast<int>(r.responseHundredths));
    QMX_FLOW(" runtime     : %s", r.runTime.c_str());
  }
  QMX_RETURN(AddData(rows.data(), rows.count()));
}

void qmx_msereach_agent::TakeSampleConstructor() {
  QMX_ENTRY_NAMED("qmx_msereach_agent::TakeSampleConstructor");
}

void qmx_msereach_agent::TakeSampleDestructor() {
  QMX_ENTRY_NAMED("qmx_msereach_agent::TakeSampleDestructor");
}
