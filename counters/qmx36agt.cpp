// Table 36 (MSEAF): rows from the counter service, corrected as counter_tables.def says.
#include "counter_table_unit.h"

QMX_COUNTER_TABLE_UNIT(36, mseaf)
