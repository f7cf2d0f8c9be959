// Table 42 (MSMBSCS): state of the clustered mailbox server (Exchange 2007), one row from the
// cluster status script.
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include <cstdio>
#include <string>
#include <vector>

#include "ctrtable_rules.h"
#include "jbx.h"
#include "qmxcommon.h"
#include "qmxrows.h"
#include "qmxscripts.h"
#include "zrtcoi.h"

namespace {

// Never described to the counter service: asking it only reports whether it answers.
SampleBfr g_clusterStateBfr(0, 1);

}  // namespace

unsigned long qmx_msmbscs_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msmbscs_agent::TakeSample");
  std::fprintf(stderr, "qmx_msmbscs_agent::TakeSample() invoked\n");
  rowCount = 0;
  ULONG status = ZrtTalloInterface(&g_clusterStateBfr);
  if (status != 0) {
    QMX_ERROR("%s", qmx::StatusLine(status).c_str());
    QMX_RETURN(0UL);
  }
  const char* logDir = BSS1_GetEnv("VORTA_LOG_PATH", 0);
  const char* server = BSS1_GetEnv("QMX_EXCH_SERVER", 0);
  std::string text;
  qmx::ClusteredServerItems items;
  if (CheckClusteredMailboxServerStatus(&text, logDir, server) != 0 ||
      !qmx::ParseClusteredServerText(text, &items))
    QMX_RETURN(0UL);
  QMX_DETAIL("-------------------------");
  QMX_DETAIL("mbxname    : %s", items.name.c_str());
  QMX_DETAIL("mbxstate   : %s", items.state.c_str());
  QMX_DETAIL("nodes      : %s", items.nodes.c_str());
  const qmx::TableLayout& layout = Layout();
  std::vector<char> row = qmx::SingleRow(layout);
  qmx::PutRowText(row.data(), layout, "MBXNAME", items.name);
  qmx::PutRowText(row.data(), layout, "MBXSTATE", items.state);
  qmx::PutRowText(row.data(), layout, "NODES", items.nodes);
  QMX_RETURN(AddData(row.data(), 1));
}

QMX_SAMPLE_BRACKETS(msmbscs)

#else

// The host build runs no scripts: the requests stay empty.
QMX_SAMPLE_FUNCTIONS(msmbscs, 0UL)

#endif
