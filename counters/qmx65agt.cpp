// Table 65 (MSESDS): rows from the counter service, corrected as counter_tables.def says.
#include "counter_table_unit.h"

QMX_COUNTER_TABLE_UNIT(65, msesds)
