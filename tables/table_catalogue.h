// What the loader needs of each table: its layout and ids (table_layout.h), its registration
// function, and for the counter-service tables the process-wide SampleBfr.
#pragma once

#include <vector>

#include "sample_bfr.h"
#include "table_layout.h"

namespace qmx {

struct TableEntry {
  const TableLayout* layout;                       // number, stem, name, group, ids, rows
  unsigned long (*init)();                         // qmx_<stem>_init
  unsigned long (*eventArrived)(char* rows, int count);  // EventArrived_qmx_<stem>
  SampleBfr* buffer;                               // qmx_<stem>_SampleBfr, or null
};

// The 68 tables in number order.
const std::vector<TableEntry>& TableCatalogue();
const TableEntry* FindTableByNumber(int number);
const TableEntry* FindTableByStem(const char* stem);   // "msedb"
const TableEntry* FindTableByName(const char* name);   // "MSEDB"

}  // namespace qmx
