// Windows entry points of the counter-backed tables besides their TakeSample.
#pragma once

#include "counter_table_unit.h"

// True when HKEY_LOCAL_MACHINE\Cluster\Nodes opens: the machine is a cluster continuous
// replication node.
bool IsCCREnv();

namespace qmx {
// The common sample with the counter service and IsCCREnv, but with the Exchange codes given:
// the registry can name no Exchange 2003 release, so the 2003 branches are reached only this way.
unsigned long CounterTableSampleWithCodes(vorta& request, int number, SampleBfr& bfr,
                                          const ExchangeCodes& codes);
}  // namespace qmx
