// The counter tables' corrections, built from counter_tables.def over the catalogue's layouts.
#include "ctrtable_rules.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "table_layout.h"

namespace qmx {

namespace {

#define NO_RULES {}
#define RULES(...) {__VA_ARGS__}
#define MARK(when, names) RowRule{RULE_MARKERS, when, names}
#define COPY(when, names) RowRule{RULE_NAME_COPY, when, names}
#define NA_TEXT(when, names) RowRule{RULE_NA_TEXT, when, names}
#define NO_DELTAS {}
#define DELTAS(...) {__VA_ARGS__}
#define DELTA(source, delta) DeltaPair{source, delta}

std::vector<CounterTableDesc> BuildDescs() {
  return {
#define QMX_COUNTER_TABLE(number, stem, form, rules, deltas, noBufferText) \
  CounterTableDesc{number, #stem, form, rules, deltas, noBufferText},
#include "counter_tables.def"
#undef QMX_COUNTER_TABLE
  };
}

#undef NO_RULES
#undef RULES
#undef MARK
#undef COPY
#undef NA_TEXT
#undef NO_DELTAS
#undef DELTAS
#undef DELTA

std::vector<std::string> Words(const char* text) {
  std::vector<std::string> out;
  std::istringstream in(text ? text : "");
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

const TableAttribute* AttributeNamed(const TableLayout& layout, const std::string& name) {
  for (const TableAttribute& a : layout.attributes)
    if (a.name == name) return &a;
  return nullptr;
}

bool IsCounter(const TableAttribute* a) { return a && a->type == TYPE_INT32 && a->width == 4; }
bool IsText(const TableAttribute* a) { return a && (a->type == TYPE_TEXT || a->type == TYPE_UTF8); }

bool DependsOnCodes(RuleCondition when) { return when != WHEN_ALWAYS && when != WHEN_NOT_CCR_NODE; }

}  // namespace

bool ResolveRowRules(const TableLayout& layout, const std::vector<RowRule>& rules,
                     ResolvedTable* out, std::string* error) {
  const char* const stem = layout.stem;
  for (const RowRule& rule : rules) {
    ResolvedRule r;
    r.kind = rule.kind;
    r.when = rule.when;
    std::vector<std::string> names = Words(rule.names);
    std::vector<const TableAttribute*> attrs;
    for (const std::string& n : names) {
      const TableAttribute* a = AttributeNamed(layout, n);
      if (!a) {
        *error = std::string(stem) + ": no attribute " + n;
        return false;
      }
      attrs.push_back(a);
      r.offsets.push_back(a->offset);
    }
    switch (rule.kind) {
      case RULE_MARKERS:
        for (size_t i = 0; i < attrs.size(); ++i)
          if (!IsCounter(attrs[i])) {
            *error = std::string(stem) + ": " + names[i] + " is no 4-byte counter";
            return false;
          }
        if (attrs.empty()) {
          *error = std::string(stem) + ": a marker rule without fields";
          return false;
        }
        break;
      case RULE_NAME_COPY:
        if (attrs.size() != 2 || !IsText(attrs[0]) || !IsText(attrs[1])) {
          *error = std::string(stem) + ": a name copy takes two text fields";
          return false;
        }
        r.width = std::min(attrs[0]->width, attrs[1]->width);
        break;
      case RULE_NA_TEXT:
        if (attrs.size() != 1 || !IsText(attrs[0]) || attrs[0]->width < 4) {
          *error = std::string(stem) + ": \"N/A\" takes one text field of 4 bytes or more";
          return false;
        }
        r.width = attrs[0]->width;
        break;
    }
    if (rule.when == WHEN_NOT_CCR_NODE) out->needsCcr = true;
    if (DependsOnCodes(rule.when)) out->needsCodes = true;
    out->rules.push_back(std::move(r));
  }
  return true;
}

namespace {

// Resolves one table; false with a reason when a name does not fit the layout.
bool Resolve(const CounterTableDesc& desc, ResolvedTable* out, std::string* error) {
  const TableLayout* layout = TableLayoutByNumber(desc.number);
  if (!layout || std::strcmp(layout->stem, desc.stem) != 0) {
    *error = "no table " + std::to_string(desc.number) + " with the stem " + desc.stem;
    return false;
  }
  out->desc = &desc;
  out->rowSize = static_cast<uint32_t>(layout->rowSize);
  if (!ResolveRowRules(*layout, desc.rules, out, error)) return false;
  if (desc.deltas.size() > 4) {
    *error = std::string(desc.stem) + ": more delta fields than cells";
    return false;
  }
  for (const DeltaPair& d : desc.deltas) {
    const TableAttribute* s = AttributeNamed(*layout, d.source);
    const TableAttribute* t = AttributeNamed(*layout, d.delta);
    if (!IsCounter(s) || !IsCounter(t)) {
      *error = std::string(desc.stem) + ": delta " + d.source + " -> " + d.delta + " needs two counters";
      return false;
    }
    out->deltas.push_back({s->offset, t->offset});
  }
  return true;
}

struct Resolved {
  std::vector<ResolvedTable> tables;  // index: table number
  std::vector<bool> ok;
  std::vector<std::string> errors;
};

const Resolved& AllResolved() {
  static const Resolved all = [] {
    Resolved r;
    r.tables.resize(69);
    r.ok.assign(69, false);
    r.errors.resize(69);
    for (const CounterTableDesc& desc : CounterTableDescs()) {
      if (desc.number < 1 || desc.number > 68) continue;
      size_t n = static_cast<size_t>(desc.number);
      r.ok[n] = Resolve(desc, &r.tables[n], &r.errors[n]);
    }
    return r;
  }();
  return all;
}

DeltaCells g_cells33, g_cells35, g_cells36;

void Put32(char* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint32_t Get32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

const std::vector<CounterTableDesc>& CounterTableDescs() {
  static const std::vector<CounterTableDesc> descs = BuildDescs();
  return descs;
}

const CounterTableDesc* FindCounterTableDesc(int number) {
  for (const CounterTableDesc& s : CounterTableDescs())
    if (s.number == number) return &s;
  return nullptr;
}

const ResolvedTable* ResolveCounterTable(int number) {
  if (number < 1 || number > 68) return nullptr;
  const Resolved& r = AllResolved();
  size_t n = static_cast<size_t>(number);
  return r.ok[n] ? &r.tables[n] : nullptr;
}

std::string CounterTableResolveError(int number) {
  if (number < 1 || number > 68) return "no such table";
  return AllResolved().errors[static_cast<size_t>(number)];
}

int AsyncTableLevel(const ExchangeCodes& c) {
  switch (c.release) {
    case 5: return c.level2010;
    case 1: return c.level2003;
    case 3: return c.level2007;
    default: return -1;
  }
}

bool RuleHolds(RuleCondition when, const ExchangeCodes& c, bool (*ccr)(void*), void* ccrArg) {
  switch (when) {
    case WHEN_ALWAYS: return true;
    case WHEN_RELEASE_2003: return c.release == 1;
    case WHEN_RELEASE_2003_BEFORE_SP1: return c.release == 1 && c.level2003 != 6 && c.level2003 != 7;
    case WHEN_RELEASE_2003_BEFORE_SP2: return c.release == 1 && c.level2003 != 7;
    case WHEN_RELEASE_2007: return c.release == 3;
    case WHEN_RELEASE_2010: return c.release == 5;
    case WHEN_RELEASE_2010_SP1: return c.release == 5 && c.level2010 == 8;
    case WHEN_2010_BEFORE_SP1: return c.level2010 != 8;
    case WHEN_NOT_CCR_NODE: return !(ccr && ccr(ccrArg));
    case WHEN_ASYNC_LEVEL_7: return AsyncTableLevel(c) == 7;
    case WHEN_ASYNC_NEWER: return AsyncTableLevel(c) != 7 && (c.release == 3 || c.release == 5);
    case WHEN_ASYNC_NEWER_LEVEL_8:
      return AsyncTableLevel(c) == 8 && (c.release == 3 || c.release == 5);
  }
  return false;
}

void ApplyRowRules(const ResolvedTable& table, char* rows, uint32_t rowCount, uint32_t rowSize,
                   const ExchangeCodes& codes, bool (*ccr)(void*), void* ccrArg) {
  if (!rows || rowCount == 0 || rowSize < table.rowSize || table.rules.empty()) return;
  // Each condition is decided once per sample, not per row (the CCR test reads the registry).
  for (const ResolvedRule& rule : table.rules) {
    if (!RuleHolds(rule.when, codes, ccr, ccrArg)) continue;
    for (uint32_t i = 0; i < rowCount; ++i) {
      char* row = rows + static_cast<size_t>(i) * rowSize;
      switch (rule.kind) {
        case RULE_MARKERS:
          for (uint16_t off : rule.offsets) Put32(row + off, kNotAvailable);
          break;
        case RULE_NAME_COPY: {
          char* to = row + rule.offsets[0];
          const char* from = row + rule.offsets[1];
          // A longer name is cut and keeps no terminator within the field.
          size_t n = strnlen(from, rule.width);
          std::memset(to, 0, rule.width);
          std::memcpy(to, from, n);
          break;
        }
        case RULE_NA_TEXT:
          std::memcpy(row + rule.offsets[0], "N/A", 4);
          break;
      }
    }
  }
}

void DeltaCells::Reset() {
  for (auto& c : cell) c.store(kNotAvailable);
}

uint32_t DeltaOf(uint32_t total, uint32_t previous) {
  if (previous == kNotAvailable) return 0;
  if (total == kNotAvailable) return kNotAvailable;
  if (total < previous) return total;  // restarted: the count since the restart
  return total - previous;
}

void ApplyDeltas(const ResolvedTable& table, char* firstRow, uint32_t rowSize, DeltaCells& cells) {
  if (!firstRow || rowSize < table.rowSize) return;
  for (size_t k = 0; k < table.deltas.size() && k < 4; ++k) {
    const ResolvedDelta& d = table.deltas[k];
    uint32_t total = Get32(firstRow + d.source);
    // Two requests of one table share the cells; each sees the change since the other's sample.
    uint32_t previous = cells.cell[k].exchange(total);
    Put32(firstRow + d.delta, DeltaOf(total, previous));
  }
}

DeltaCells* DeltaCellsOf(int number) {
  switch (number) {
    case 33: return &g_cells33;
    case 35: return &g_cells35;
    case 36: return &g_cells36;
    default: return nullptr;
  }
}

void ResetCounterTableStateForTests() {
  g_cells33.Reset();
  g_cells35.Reset();
  g_cells36.Reset();
}

std::string StartLine(const CounterTableDesc& desc) {
  static const char* kForms[] = {
      "qmx_%s_agent::TakeSample () invoked (qmx%02dagt)",  // A
      "qmx_%s_agent::TakeSample()  invoked",               // B
      "qmx_%s_agent::TakeSample ()  invoked",              // C
      "qmx_%s_agent::TakeSample() invoked",                // D
      "qmx_%s_agent::TakeSample() invoked (qmx%02dagt)",   // E
      "qmx_%s_agent::TakeSample()  invoked (qmx%02dagt)",  // F
  };
  char line[128];
  std::snprintf(line, sizeof line, kForms[desc.form], desc.stem, desc.number);
  return line;
}

std::string StatusLine(uint32_t status) {
  char line[160];
  std::snprintf(line, sizeof line,
                "ZrtTalloInterface() returns Severity: %d, Facility: %d, Code: %d - (%#.8x)",
                static_cast<int32_t>(status) < 0 ? 1 : 0, static_cast<int>((status >> 16) & 0x1FFF),
                static_cast<int>(status & 0xFFFF), static_cast<unsigned>(status));
  return line;
}

}  // namespace qmx

namespace qmx {

const char kTransportScannerObject[] = "Forefront Exchange Transport Scanner";
const char* const kTransportScannerCounters[13] = {
    "Malware Message Parts Cleaned",      "Malware Message Parts Deleted",
    "Malware Message Parts Detected",     "Malware Message Parts Quarantined",
    "Message Parts Scanned",              "Message Parts Scanned/sec",
    "Messages Scanned/sec",               "Sender Filter Messages Detected",
    "Sender Filter Messages Quarantined", "Sender Filter Messages Skipped",
    "Subject Filter Messages Detected",   "Subject Filter Messages Quarantined",
    "Subject Filter Messages Skipped"};

int32_t TruncateToInt32(double value) {
  if (value != value) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void FillTransportScannerRow(char* row, const char* systemName64, uint32_t sampleNo, int32_t rowNo,
                             const char* stamp16, const char* instance, const double* values) {
  std::memcpy(row, systemName64, 64);
  std::memcpy(row + 64, &sampleNo, 4);
  std::memcpy(row + 68, &rowNo, 4);
  std::memcpy(row + 72, stamp16, 16);
  char* name = row + kTransportScannerNameOffset;
  std::memset(name, 0, kTransportScannerNameWidth);
  if (instance) {
    size_t n = std::strlen(instance);
    if (n > kTransportScannerNameWidth) {
      n = kTransportScannerNameWidth;
      // Back off continuation bytes so that no sequence is cut in two.
      while (n > 0 && (static_cast<unsigned char>(instance[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(name, instance, n);
  }
  for (int k = 0; k < kTransportScannerCounterCount; ++k) {
    int32_t v = TruncateToInt32(values[k]);
    std::memcpy(row + kTransportScannerValuesOffset + 4 * k, &v, 4);
  }
}

}  // namespace qmx
