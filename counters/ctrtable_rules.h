// What the counter-backed tables do to the rows the counter service delivered, as data: the
// start line each TakeSample writes, the not-available markers by Exchange release and level, the
// name copies, and the delta fields with their previous-value cells. Needs no operating system:
// the release and level codes are inputs.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace qmx {

// A 4-byte counter field with all bits one: the counter does not exist on this release.
constexpr uint32_t kNotAvailable = 0xFFFFFFFFu;

// The release and the three service-pack levels (ExchangeLevel codes, -1 when not known).
struct ExchangeCodes {
  int release = -1;
  int level2003 = -1;
  int level2007 = -1;
  int level2010 = -1;
};

// The six forms of the start line (blanks, and whether the unit name follows).
enum StartLineForm { FORM_A, FORM_B, FORM_C, FORM_D, FORM_E, FORM_F };

// When a marker rule applies.
enum RuleCondition {
  WHEN_ALWAYS,
  WHEN_RELEASE_2003,             // release 1
  WHEN_RELEASE_2003_BEFORE_SP1,  // release 1, 2003 level neither 6 nor 7
  WHEN_RELEASE_2003_BEFORE_SP2,  // release 1, 2003 level not 7
  WHEN_RELEASE_2007,             // release 3
  WHEN_RELEASE_2010,             // release 5
  WHEN_RELEASE_2010_SP1,         // release 5 and 2010 level 8
  WHEN_2010_BEFORE_SP1,          // 2010 level not 8
  WHEN_NOT_CCR_NODE,             // the machine is no cluster continuous replication node
  WHEN_ASYNC_LEVEL_7,            // table 29: its level is 7
  WHEN_ASYNC_NEWER,              // table 29: level not 7, release 3 or 5
  WHEN_ASYNC_NEWER_LEVEL_8,      // table 29: as above and level 8
};

// Table 29 reads the level of its own release: 2010, 2003 or 2007 level; -1 for any other.
int AsyncTableLevel(const ExchangeCodes& codes);

enum RuleKind {
  RULE_MARKERS,    // the named 4-byte fields receive the not-available marker
  RULE_NAME_COPY,  // first field cleared, then the start of the second copied in
  RULE_NA_TEXT,    // the named text field begins with "N/A" and its terminator
};

struct RowRule {
  RuleKind kind;
  RuleCondition when;
  const char* names;  // attribute names, blank-separated (for a copy: target, then source)
};

// A delta field: the change of a total since the previous sample, first row only.
struct DeltaPair {
  const char* source;
  const char* delta;
};

// One counter-backed table as the catalogue of counter tables describes it.
struct CounterTableDesc {
  int number;
  const char* stem;
  StartLineForm form;
  std::vector<RowRule> rules;
  std::vector<DeltaPair> deltas;
  const char* noBufferText;  // traced when a table with deltas finds no buffer
};

// Every table of counter_tables.def, in number order; null when the table is none of them.
const std::vector<CounterTableDesc>& CounterTableDescs();
const CounterTableDesc* FindCounterTableDesc(int number);

// The rules with the attribute names resolved to row offsets from the table's layout.
struct ResolvedRule {
  RuleKind kind;
  RuleCondition when;
  std::vector<uint16_t> offsets;  // markers: the fields; copy: target, source; N/A: the field
  uint16_t width = 0;             // copy: bytes of the target; N/A: width of the field
};
struct ResolvedDelta {
  uint16_t source;
  uint16_t delta;
};
struct ResolvedTable {
  const CounterTableDesc* desc = nullptr;
  uint32_t rowSize = 0;
  std::vector<ResolvedRule> rules;
  std::vector<ResolvedDelta> deltas;
  bool needsCcr = false;     // a rule asks whether the machine is a CCR node
  bool needsCodes = false;   // a rule depends on the release or a level
};
// Resolves rules against a table's layout into out->rules (and its needs); false with a reason
// when a name does not fit the layout. Tables with their own collector describe rules this way too.
struct TableLayout;
bool ResolveRowRules(const TableLayout& layout, const std::vector<RowRule>& rules,
                     ResolvedTable* out, std::string* error);
// Built once per table on first use; null for a table without a desc. Names that the layout does
// not hold make the whole table unresolved (null): the tests check that every table resolves.
const ResolvedTable* ResolveCounterTable(int number);
// Why a table did not resolve (empty when it did).
std::string CounterTableResolveError(int number);

// "qmx_msedb_agent::TakeSample ()  invoked" and the like, without the line end.
std::string StartLine(const CounterTableDesc& desc);

// "ZrtTalloInterface() returns Severity: %d, Facility: %d, Code: %d - (%#0.8x)" for a status.
std::string StatusLine(uint32_t status);

// Whether a rule holds; ccr is asked only for WHEN_NOT_CCR_NODE.
bool RuleHolds(RuleCondition when, const ExchangeCodes& codes, bool (*ccr)(void*), void* ccrArg);

// Markers, name copies and "N/A" over rows rows of rowSize bytes. Rows shorter than the table's
// row size are left alone (a definition that does not match the table).
void ApplyRowRules(const ResolvedTable& table, char* rows, uint32_t rowCount, uint32_t rowSize,
                   const ExchangeCodes& codes, bool (*ccr)(void*), void* ccrArg);

// The previous-value cells of one table, one per delta pair; all ones until the first sample.
struct DeltaCells {
  std::atomic<uint32_t> cell[4] = {{kNotAvailable}, {kNotAvailable}, {kNotAvailable}, {kNotAvailable}};
  void Reset();
};
// The change of each total of the first row since the previous sample: 0 at the first sample;
// the new total when it went back (the counted service restarted, so the total is the count since
// then); the marker when the total itself is not available.
void ApplyDeltas(const ResolvedTable& table, char* firstRow, uint32_t rowSize, DeltaCells& cells);
// One step of the rule above: the delta for a new total and the cell's previous value.
uint32_t DeltaOf(uint32_t total, uint32_t previous);

// The process-wide cells of a table (tables 33, 35, 36), or null.
DeltaCells* DeltaCellsOf(int number);
// Tests only: forget every table's previous values.
void ResetCounterTableStateForTests();

}  // namespace qmx

namespace qmx {

// Table 57 (FFEXTRNSS), read by the agent itself: the object, its 13 counters in row order, and
// one row of 740 bytes per instance.
extern const char kTransportScannerObject[];
extern const char* const kTransportScannerCounters[13];
constexpr int kTransportScannerCounterCount = 13;
constexpr uint32_t kTransportScannerRowSize = 740;
constexpr uint32_t kTransportScannerNameOffset = 88;
constexpr uint32_t kTransportScannerNameWidth = 600;
constexpr uint32_t kTransportScannerValuesOffset = 688;

// A counter value as the row stores it: truncated toward zero, held at the 32-bit range (NaN 0).
int32_t TruncateToInt32(double value);

// Fills one row: the 64-byte managed-system name, the sample number, the row number, the 16
// characters of the time stamp, the instance name (cut at 600 bytes, never inside a UTF-8
// sequence; null leaves the field empty) and the 13 values.
void FillTransportScannerRow(char* row, const char* systemName64, uint32_t sampleNo, int32_t rowNo,
                             const char* stamp16, const char* instance, const double* values);

}  // namespace qmx
