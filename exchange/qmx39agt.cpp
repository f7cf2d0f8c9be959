// Table 39 (MSERBS): the role-based services rows built by the server status collection.
#include "qmx09agt.h"
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32

#include <cstring>

#include "qmxrows.h"

unsigned long qmx_mserbs_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_mserbs_agent::TakeSample");
  RbsRowHolder& holder = g_pRbsRowHolder ? *g_pRbsRowHolder : RbsRowHolder::Instance();
  RefreshRBSData();
  const qmx::TableLayout& layout = Layout();
  for (int r = 0; r < holder.rowCount; ++r) {
    qmx::RowFields f(layout, holder.rows.data() + static_cast<size_t>(r) * layout.rowSize);
    // The short name is the start of the service's display name.
    std::memcpy(f.At("SRVNAME"), f.At("SRVCNAME"), static_cast<size_t>(f.Width("SRVNAME")));
  }
  QMX_RETURN(AddData(holder.rows.data(), holder.rowCount));
}

QMX_SAMPLE_BRACKETS(mserbs)

#else

// The rows come from the service control manager, which exists only on Windows.
QMX_SAMPLE_FUNCTIONS(mserbs, 0UL)

#endif
