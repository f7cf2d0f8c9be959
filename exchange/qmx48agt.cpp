// Table 48 (MSEDAG): one row per copy of a mailbox database on this server, with the
// availability group it belongs to.
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "jbx.h"
#include "qmxactdir.h"
#include "qmxdag.h"
#include "qmxrows.h"

namespace {
std::atomic<uint32_t> g_rowCounter{0};

// The "Cluster" key exists on members of a failover cluster, which every group member is.
bool ClusterConfigured() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Cluster", 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}
}  // namespace

unsigned long qmx_msedag_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msedag_agent::TakeSample");
  std::fprintf(stderr, "qmx_msedag_agent::TakeSample() invoked (qmx48agt)\n");
  rowCount = 0;
  const char* serverSetting = BSS1_GetEnv("QMX_EXCH_SERVER", 0);
  const std::string server = serverSetting ? serverSetting : "";
  if (!ClusterConfigured()) {
    QMX_ERROR("No DAG configuration found.");
    QMX_RETURN(0UL);
  }
  std::string dagName, witness;
  int members = 0;
  long rc = GetDAGInfo(nullptr, &dagName, &members, &witness);
  if (rc != 0 || members == 0) {
    QMX_ERROR("GetDAGInfo() failed with errorcode = %d", static_cast<int>(rc));
    QMX_RETURN(0UL);
  }
  int count = 0;
  std::vector<MailboxCopyRecord> copies;
  rc = GetMailboxCopyStatus(nullptr, &count, server, &copies);
  if (rc != 0 || copies.empty()) {
    QMX_ERROR("GetMailboxCopyStatus() failed with errorcode = %d", static_cast<int>(rc));
    QMX_RETURN(0UL);
  }
  const qmx::TableLayout& layout = Layout();
  qmx::SampleRows rows(layout, copies.size(), g_rowCounter);
  for (size_t i = 0; i < copies.size(); ++i) {
    char* row = rows[i];
    qmx::PutRowText(row, layout, "DAGNAME", dagName);
    qmx::PutRowInt32(row, layout, "MEMCOUNT", members);
    qmx::PutRowText(row, layout, "WITSERNAME", witness);
    qmx::PutRowText(row, layout, "MBDBCOPIES", copies[i].database);
    qmx::PutRowText(row, layout, "DBCPSTATUS", copies[i].status);
    qmx::PutRowInt32(row, layout, "ACTPREF", copies[i].activationPreference);
    qmx::PutRowInt32(row, layout, "REPLAYLT", qmx::ad::ReplayLagMinutes(copies[i].replayLag));
  }
  QMX_RETURN(AddData(rows.data(), rows.count()));
}

#else

// The host build reads no directory: the requests stay empty.
unsigned long qmx_msedag_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msedag_agent::TakeSample");
  QMX_RETURN(0UL);
}

#endif

QMX_SAMPLE_BRACKETS(msedag)
