// Table 43 (MSENLBS): network load balancing status of this machine, one row from the output of
// the load-balancing script.
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include <cstdio>
#include <string>
#include <vector>

#include "jbx.h"
#include "qmxcommon.h"
#include "qmxrows.h"
#include "qmxscripts.h"

namespace {

// The output lines are short; more than this is not a node list.
constexpr size_t kMaxNlbOutput = 1 << 20;

std::string ReadNlbOutput(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    size_t got;
    while (text.size() < kMaxNlbOutput && (got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
      text.append(chunk, got);
    std::fclose(f);
  }
  return text;
}

}  // namespace

unsigned long qmx_msenlbs_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msenlbs_agent::TakeSample");
  std::fprintf(stderr, "qmx_msenlbs_agent::TakeSample() invoked\n");
  rowCount = 0;
  const char* logDir = BSS1_GetEnv("VORTA_LOG_PATH", 0);
  const char* server = BSS1_GetEnv("QMX_EXCH_SERVER", 0);
  std::string ignored;
  GetNLBStatus(&ignored, logDir, server);
  const std::string path = std::string(logDir ? logDir : "") + "\\nlbStatus.log";
  std::string text = ReadNlbOutput(path);
  if (text.empty()) QMX_FLOW("No load balancing output in %s", path.c_str());
  qmx::NlbNodeStatus node = qmx::ParseNlbOutput(text);
  const qmx::TableLayout& layout = Layout();
  std::vector<char> row = qmx::SingleRow(layout);
  qmx::PutRowInt32(row.data(), layout, "NLBSTATUS", node.status);
  qmx::PutRowText(row.data(), layout, "MACHNAME", node.name);
  QMX_RETURN(AddData(row.data(), 1));
}

QMX_SAMPLE_BRACKETS(msenlbs)

#else

// The host build runs no scripts: the requests stay empty.
QMX_SAMPLE_FUNCTIONS(msenlbs, 0UL)

#endif
