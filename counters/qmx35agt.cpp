// Table 35 (MSECONFA): rows from the counter service, corrected as counter_tables.def says.
#include "counter_table_unit.h"

QMX_COUNTER_TABLE_UNIT(35, mseconfa)
