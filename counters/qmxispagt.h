// The sample of the information store tables (04 MSEISPRI, 05 MSEISPUB) on Windows, and the two
// readings they take through PDH.
#pragma once

#include <cstdint>

#include "qmx_tables.h"
#include "qmxispagt_portable.h"

// The store's single instance ratio × 100, read through PDH from the table's performance object;
// 0 when it cannot be read.
int32_t CalcSingInstRatio(const qmx::StoreTableDesc& desc, const char* storeName);
// 1 when the mailbox store is a performance instance (its "Active Client Logons" reads), else 0.
int IsMailboxNameExixtsInPerfmon(const char* storeName);

namespace qmx {
// One sample of a store table: the counter service's rows of the store instances, the store
// status script, the directory's database records with their file sizes and drive space, and
// the table's history file in the log directory. The rows go to AddData only when the status
// script named any store.
unsigned long SampleStoreTable(vorta& request, const StoreTableDesc& desc, SampleBfr& bfr);
}  // namespace qmx
