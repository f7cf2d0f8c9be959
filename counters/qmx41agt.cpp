// Table 41 (MSEMCD): no source of rows; its requests stay empty.
#include "qmx_tables.h"
#include "qmxtrace.h"

unsigned long qmx_msemcd_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msemcd_agent::TakeSample");
  QMX_RETURN(0UL);
}

QMX_SAMPLE_BRACKETS(msemcd)
