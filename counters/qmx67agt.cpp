// Table 67 (MSETSMTPA): rows from the counter service, corrected as counter_tables.def says.
#include "counter_table_unit.h"

QMX_COUNTER_TABLE_UNIT(67, msetsmtpa)
