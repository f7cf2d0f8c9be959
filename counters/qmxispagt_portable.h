// The information store tables (04 MSEISPRI, 05 MSEISPUB): what needs no operating system. The
// texts they read (store status, database summary, history; walked with qmx::storage::Tokens), the computed fields and the
// building of the store rows and the total row from the counter rows. Each table is described
// once (StoreTableDesc); the Windows unit qmxispagt.cpp gathers the inputs and hands the rows over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ctrtable_rules.h"

namespace qmx {

// One store of the store status text ("Storage Group=G;Mailbox Store=S;Status=0;..."): the
// group last named before it, its name and whether its status item is exactly "Status=0".
struct StatusStore {
  std::string group;
  std::string store;
  bool mounted = false;
};
// The stores named after storeKey ("Mailbox Store=" or "Public Store="), in text order.
std::vector<StatusStore> ParseStoreStatus(const std::string& text, const char* storeKey);

// One entry of a database summary text (and of a history text): name; size of the database and
// streaming files in bytes; free and total megabytes of the drives under them.
struct SummaryEntry {
  std::string name;
  double sizeBytes = 0;
  double freeMB = 0;
  double totalMB = 0;
};
// Entries of four items. An entry whose numbers are not finite numbers, or the incomplete last
// one, is left out and counted in *dropped.
std::vector<SummaryEntry> ParseSummary(const std::string& text, int* dropped = nullptr);
// A finite number in "%f" form (blanks around it allowed); false for anything else.
bool ParseSummaryNumber(const std::string& token, double* value);

// The history text from the bytes of a history file: its lines (a "\r" before the line end
// dropped) joined with ";". The file holds the summary text of an earlier sample.
std::string HistoryTextFromBytes(const std::string& bytes);
// A history file larger than this is not one the agent wrote: it is not used, and is replaced.
constexpr size_t kMaxHistoryBytes = 1u << 20;

// The computed fields, truncated toward zero and held at the 32-bit range:
// size in megabytes × 100;
int32_t StoreSizeField(double sizeBytes);
// the size as a share of the drives' total capacity, percent × 100; -1 (not available) when the
// total is not above 0, rather than a division by zero;
int32_t StoreShareField(double sizeBytes, double totalMB);
// the growth since the earlier size, percent × 100; 0 when the size did not grow.
int32_t StoreGrowthField(double sizeBytes, double earlierBytes);

// One of the two tables, described once.
struct StoreTableDesc {
  CounterTableDesc table;       // number, stem, start line form; rules: the release markers
  const char* traceName;        // "MSEISPRI", in the trace texts
  const char* historyFile;      // in the log directory
  const char* storeKey;         // the status text's item that names a store of this table
  const char* perfObject;       // the performance object of the store instances
  const char* nameField;        // the instance name attribute
  const char* sizeField;        // the four computed attributes
  const char* growthField;
  const char* shareField;
  const char* stateField;
  const char* ratioField;       // the single instance ratio
  const char* takenFields;      // read from the instance with the ratio (blank-separated)
  std::vector<RowRule> release5Prepared;  // marked when the store rows are prepared
  bool markersAfterMerge;       // the release markers are written after the merge (table 05)
  bool storesMustBeInSummary;   // release 5: a store without a summary entry gets no row
  bool instanceMustExist;       // a store row takes an instance only when the store has one
  const char* summaryTrace;     // printf form: summary text (and history text)
  bool summaryTraceHasHistory;
  const char* preBuildTrace;    // printf forms of the merge's detail traces
  const char* fromPerfmonTrace;
};
const StoreTableDesc& PrivateStoreTable();  // table 04
const StoreTableDesc& PublicStoreTable();   // table 05

// Row offsets of a table's attributes, resolved from the catalogue once.
struct StoreLayout {
  uint32_t rowSize = 0;
  std::string nameUpper;
  uint16_t nameOffset = 0, nameWidth = 0;
  uint16_t countersBegin = 0;  // the first counter after the name
  uint16_t size = 0, growth = 0, share = 0, state = 0, ratio = 0;
  std::vector<uint16_t> taken;
  ResolvedTable markers;        // the table's release markers
  ResolvedTable prepared;       // release 5: at preparation
};
// Null when the description does not fit the catalogue (the tests check both tables resolve).
const StoreLayout* ResolveStoreLayout(const StoreTableDesc& desc);

// What the sample asks the performance counters of one store (through PDH on Windows).
struct StoreProbe {
  bool (*instanceExists)(const StoreTableDesc& desc, const char* name, void* arg);
  int32_t (*singleInstanceRatio)(const StoreTableDesc& desc, const char* name, void* arg);
  void* arg;
};

struct StoreSampleInput {
  int release = -1;
  bool statusKnown = false;     // the store status script answered
  std::string statusText;
  std::string summaryText;
  std::string historyText;
  size_t databaseCount = 0;     // records of the database summary: store rows at most
  char* counterRows = nullptr;  // the counter service's rows, corrected in place
  uint32_t counterRowCount = 0;
  uint32_t counterRowSize = 0;
  StoreProbe probe{};
  // The row header when no counter row gives one.
  const char* systemName64 = nullptr;
  const char* stamp16 = nullptr;
};

// The store rows that were named from the status text, then the total row.
struct StoreRows {
  std::vector<char> bytes;
  int count = 0;
  uint32_t rowSize = 0;
  char* row(int i) { return bytes.data() + static_cast<size_t>(i) * rowSize; }
};

// Builds the sample's rows. Store rows are named from the status text (at most databaseCount of
// them); each counter row gets its computed fields from the summary and history texts, and lends
// its values to the first store row whose name it contains. Rows that no store named are not
// handed over, so the total row follows the last store row. The total row's size is the sum over
// the mounted stores.
StoreRows BuildStoreRows(const StoreTableDesc& desc, const StoreSampleInput& in);

// Whether the history file is to be written: the summary differs from what it holds.
inline bool HistoryNeedsWrite(const std::string& summaryText, const std::string& historyText) {
  return summaryText != historyText;
}

}  // namespace qmx
