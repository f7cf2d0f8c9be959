// Table 40 (MSRTOPO): the servers and roles of the topology file the topology thread writes.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "jbx.h"
#include "qmx_tables.h"
#include "qmxactdir_portable.h"
#include "qmxrows.h"
#include "qmxtrace.h"

namespace {
// Grows by one for every row ever produced.
std::atomic<uint32_t> g_rowCounter{0};
}  // namespace

unsigned long qmx_msrtopo_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msrtopo_agent::TakeSample");
  std::fprintf(stderr, "qmx_msrtopo_agent::TakeSample() invoked (qmx40agt)\n");
  rowCount = 0;
  const char* logPath = BSS1_GetEnv("VORTA_LOG_PATH", 0);
  const std::string path = std::string(logPath ? logPath : "") + "\\topology_details.log";
#ifndef _WIN32
  std::string local = path;
  for (char& c : local)
    if (c == '\\') c = '/';
#else
  const std::string& local = path;
#endif
  QMX_STATE("Reading topology detail file: %s", path.c_str());
  std::ifstream in(local, std::ios::binary);
  if (!in) {
    QMX_ERROR("Topology details file open failed: %s", path.c_str());
    QMX_RETURN(0UL);
  }
  std::ostringstream text;
  text << in.rdbuf();
  const std::vector<ServerRoleRecord> records = qmx::ad::ParseTopology(text.str());
  if (records.empty()) QMX_RETURN(0UL);
  const qmx::TableLayout& layout = Layout();
  qmx::SampleRows rows(layout, records.size(), g_rowCounter);
  for (size_t i = 0; i < records.size(); ++i) {
    char* row = rows[i];
    qmx::PutRowText(row, layout, "MACHNAME", records[i].server);
    qmx::PutRowText(row, layout, "DOMNAME", records[i].domain);
    qmx::PutRowText(row, layout, "ROLES", records[i].role);
    QMX_STATE("-------------------------");
    QMX_STATE(" machname    : %s", records[i].server.c_str());
    QMX_STATE(" domname     : %s", records[i].domain.c_str());
    QMX_STATE(" roles       : %s", records[i].role.c_str());
  }
  QMX_RETURN(AddData(rows.data(), rows.count()));
}

QMX_SAMPLE_BRACKETS(msrtopo)
