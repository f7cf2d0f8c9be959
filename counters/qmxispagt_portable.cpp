// The information store tables' texts, computed fields and rows.
#include "qmxispagt_portable.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "qmxrows.h"
#include "qmxstorage_portable.h"
#include "qmxtrace.h"
#include "table_layout.h"

namespace qmx {

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool SameIgnoringCaseAndBlanks(const std::string& a, const std::string& b) {
  const std::string x = Trimmed(a), y = Trimmed(b);
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(x[i])) != std::tolower(static_cast<unsigned char>(y[i])))
      return false;
  return true;
}

void Put32(char* p, int32_t v) { std::memcpy(p, &v, 4); }
int32_t Get32(const char* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A text field's contents, up to its terminator or its width.
std::string FieldText(const char* row, uint16_t offset, uint16_t width) {
  const char* f = row + offset;
  return std::string(f, strnlen(f, width));
}

}  // namespace

std::vector<StatusStore> ParseStoreStatus(const std::string& text, const char* storeKey) {
  static const char kGroup[] = "Storage Group=";
  std::vector<StatusStore> stores;
  std::string group;
  const std::vector<std::string> tokens = storage::Tokens(text);
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (StartsWith(token, kGroup)) {
      group = token.substr(sizeof kGroup - 1);
    } else if (StartsWith(token, storeKey)) {
      StatusStore s;
      s.group = group;
      s.store = token.substr(std::strlen(storeKey));
      // The item after the store gives its state; a text that ends first leaves it not mounted.
      s.mounted = i + 1 < tokens.size() && tokens[++i] == "Status=0";
      stores.push_back(std::move(s));
    }
  }
  return stores;
}

bool ParseSummaryNumber(const std::string& token, double* value) {
  const std::string t = Trimmed(token);
  if (t.empty()) return false;
  const char* begin = t.c_str();
  char* end = nullptr;
  double v = std::strtod(begin, &end);
  if (end != begin + t.size() || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

std::vector<SummaryEntry> ParseSummary(const std::string& text, int* dropped) {
  std::vector<SummaryEntry> entries;
  int bad = 0;
  const std::vector<std::string> items = storage::Tokens(text);
  const size_t filled = items.size() % 4;
  for (size_t i = 0; i + 4 <= items.size(); i += 4) {
    SummaryEntry e;
    e.name = items[i];
    if (ParseSummaryNumber(items[i + 1], &e.sizeBytes) && ParseSummaryNumber(items[i + 2], &e.freeMB) &&
        ParseSummaryNumber(items[i + 3], &e.totalMB))
      entries.push_back(std::move(e));
    else
      ++bad;
  }
  if (filled > 0) ++bad;
  if (dropped) *dropped = bad;
  return entries;
}

std::string HistoryTextFromBytes(const std::string& bytes) {
  std::string text;
  size_t pos = 0;
  bool first = true;
  while (pos < bytes.size()) {
    size_t eol = bytes.find('\n', pos);
    size_t end = eol == std::string::npos ? bytes.size() : eol;
    size_t len = end - pos;
    // Text mode reads a line end "\r\n" as "\n"; a lone "\r" is text.
    if (eol != std::string::npos && len > 0 && bytes[end - 1] == '\r') --len;
    if (!first) text += ';';
    text.append(bytes, pos, len);
    first = false;
    pos = eol == std::string::npos ? bytes.size() : eol + 1;
  }
  return text;
}

int32_t StoreSizeField(double sizeBytes) { return TruncateToInt32(sizeBytes / 1048576.0 * 100.0); }

int32_t StoreShareField(double sizeBytes, double totalMB) {
  if (!(totalMB > 0)) return -1;
  return TruncateToInt32(sizeBytes / 1048576.0 / totalMB * 10000.0);
}

int32_t StoreGrowthField(double sizeBytes, double earlierBytes) {
  if (!(sizeBytes > earlierBytes)) return 0;
  return TruncateToInt32((sizeBytes - earlierBytes) / sizeBytes * 10000.0);
}

namespace {

#define MARK(when, names) RowRule{RULE_MARKERS, when, names}

// Both tables, in the field order of StoreTableDesc.
const StoreTableDesc kStoreTables[2] = {
    {CounterTableDesc{4, "mseispri", FORM_F,
                      {MARK(WHEN_RELEASE_2003, "avglocdt"),
                       MARK(WHEN_RELEASE_2007, "avglocdt msgsdelm sendqsiz")},
                      {}, nullptr},
     "MSEISPRI", "mseispri_history.txt", "Mailbox Store=", "MSExchangeIS Mailbox",
     "mbname", "mailissize", "mailisprgr", "mailisdbpr", "mailststat", "singinra",
     "avglocdt catcount recqsize sendqsiz",
     {MARK(WHEN_RELEASE_2010, "avglocdt catcount recqsize sendqsiz singinra")},
     /*markersAfterMerge*/ false, /*storesMustBeInSummary*/ true, /*instanceMustExist*/ true,
     "Storage Group String : %s", false, "Pre-Build    mdname : %s", "From Perfmon mdname : %s"},
    {CounterTableDesc{5, "mseispub", FORM_E,
                      {MARK(WHEN_RELEASE_2003, "avgtimld msgsubmn"),
                       MARK(WHEN_RELEASE_2007, "avgtimld msgdelmn sndqsize")},
                      {}, nullptr},
     "MSEISPUB", "mseispub_history.txt", "Public Store=", "MSExchangeIS Public",
     "name", "pubissize", "pubisprcgr", "pubisdbprc", "pubststate", "sglinrat",
     "avgtimld catcount recqsize sndqsize",
     {},
     /*markersAfterMerge*/ true, /*storesMustBeInSummary*/ false, /*instanceMustExist*/ false,
     "Storage groups : %s, History : %s", true, "Pre-Build mdname    : %s", "From PerfMon mdname : %s"},
};

#undef MARK

const TableAttribute* Named(const TableLayout& layout, const char* name) {
  for (const TableAttribute& a : layout.attributes)
    if (a.name == name) return &a;
  return nullptr;
}

bool IsInt32(const TableAttribute* a) { return a && a->type == TYPE_INT32 && a->width == 4; }

bool Resolve(const StoreTableDesc& desc, StoreLayout* out) {
  const TableLayout* layout = TableLayoutByNumber(desc.table.number);
  if (!layout || std::strcmp(layout->stem, desc.table.stem) != 0) return false;
  const TableAttribute* name = Named(*layout, desc.nameField);
  if (!name || name->type != TYPE_UTF8) return false;
  out->rowSize = static_cast<uint32_t>(layout->rowSize);
  out->nameUpper = name->upper;
  out->nameOffset = name->offset;
  out->nameWidth = name->width;
  out->countersBegin = static_cast<uint16_t>(name->offset + name->width);
  struct {
    const char* attr;
    uint16_t* to;
  } fields[] = {{desc.sizeField, &out->size},   {desc.growthField, &out->growth},
                {desc.shareField, &out->share}, {desc.stateField, &out->state},
                {desc.ratioField, &out->ratio}};
  for (auto& f : fields) {
    const TableAttribute* a = Named(*layout, f.attr);
    if (!IsInt32(a)) return false;
    *f.to = a->offset;
  }
  // The counters run from the name to the computed fields, which end the row.
  if (out->size < out->countersBegin || out->state + 4u != out->rowSize) return false;
  std::string error;
  const RowRule taken{RULE_MARKERS, WHEN_ALWAYS, desc.takenFields};
  ResolvedTable takenRule;
  if (!ResolveRowRules(*layout, {taken}, &takenRule, &error)) return false;
  out->taken = takenRule.rules[0].offsets;
  out->markers.rowSize = out->prepared.rowSize = out->rowSize;
  return ResolveRowRules(*layout, desc.table.rules, &out->markers, &error) &&
         ResolveRowRules(*layout, desc.release5Prepared, &out->prepared, &error);
}

}  // namespace

const StoreTableDesc& PrivateStoreTable() { return kStoreTables[0]; }
const StoreTableDesc& PublicStoreTable() { return kStoreTables[1]; }

const StoreLayout* ResolveStoreLayout(const StoreTableDesc& desc) {
  static const struct Both {
    StoreLayout layout[2];
    bool ok[2];
    Both() {
      ok[0] = Resolve(PrivateStoreTable(), &layout[0]);
      ok[1] = Resolve(PublicStoreTable(), &layout[1]);
    }
  } both;
  int i = &desc == &PrivateStoreTable() ? 0 : &desc == &PublicStoreTable() ? 1 : -1;
  return i >= 0 && both.ok[i] ? &both.layout[i] : nullptr;
}

StoreRows BuildStoreRows(const StoreTableDesc& desc, const StoreSampleInput& in) {
  QMX_ENTRY();
  StoreRows out;
  const StoreLayout* L = ResolveStoreLayout(desc);
  const TableLayout* layout = TableLayoutByNumber(desc.table.number);
  if (!L || !layout) {
    QMX_ERROR("%s: the table's layout does not fit its description", desc.traceName);
    return out;
  }
  const char* nameUpper = L->nameUpper.c_str();
  ExchangeCodes codes;
  codes.release = in.release;

  // The store rows, named from the status text.
  const std::vector<SummaryEntry> summary = ParseSummary(in.summaryText);
  struct Named {
    std::string name;
    int32_t state;
  };
  std::vector<Named> stores;
  for (const StatusStore& s : ParseStoreStatus(in.statusText, desc.storeKey)) {
    std::string name = in.release == 5 ? s.store : s.group + "-" + s.store;
    if (desc.storesMustBeInSummary && in.release == 5) {
      bool matched = false;
      for (const SummaryEntry& e : summary) matched = matched || SameIgnoringCaseAndBlanks(e.name, name);
      if (!matched) continue;
      QMX_DETAIL("Mailbox matched : %s", name.c_str());
    }
    if (stores.size() >= in.databaseCount) {
      // More stores than databases in the directory: no row is left for it.
      QMX_ERROR("%s: store %s has no database record, left out", desc.traceName, name.c_str());
      continue;
    }
    stores.push_back({std::move(name), s.mounted ? 0 : 1});
  }
  out.rowSize = L->rowSize;
  out.count = static_cast<int>(stores.size()) + 1;
  out.bytes.assign(static_cast<size_t>(out.count) * out.rowSize, '\0');
  for (size_t i = 0; i < stores.size(); ++i) {
    PutRowText(out.row(static_cast<int>(i)), *layout, nameUpper, stores[i].name);
    Put32(out.row(static_cast<int>(i)) + L->state, stores[i].state);
  }
  char* total = out.row(out.count - 1);
  PutRowText(total, *layout, nameUpper, "_Total");
  Put32(total + L->state, 2);
  if (desc.summaryTraceHasHistory)
    QMX_DETAIL(desc.summaryTrace, in.summaryText.c_str(), in.historyText.c_str());
  else
    QMX_DETAIL(desc.summaryTrace, in.summaryText.c_str());

  const std::vector<SummaryEntry> history = ParseSummary(in.historyText);
  const bool release5 = in.release == 5;
  uint32_t counterRows = in.counterRows ? in.counterRowCount : 0;
  if (counterRows && in.counterRowSize < L->rowSize) {
    QMX_ERROR("%s: counter rows of %u bytes, %u expected; none used", desc.traceName,
              in.counterRowSize, L->rowSize);
    counterRows = 0;
  }
  auto prepare = [&](const char* systemName, int32_t sampleNo, const char* stamp) {
    for (int i = 0; i < out.count; ++i) {
      char* row = out.row(i);
      PutRowHeader(row, *layout, systemName, sampleNo, i + 1, stamp);
      if (!in.statusKnown) std::memset(row + L->nameOffset, 0, L->nameWidth);
      std::memset(row + L->countersBegin, 0, L->state - L->countersBegin);
    }
    ApplyRowRules(L->prepared, out.bytes.data(), static_cast<uint32_t>(out.count), out.rowSize,
                  codes, nullptr, nullptr);
  };
  bool prepared = false;
  for (uint32_t k = 0; k < counterRows; ++k) {
    char* r = in.counterRows + static_cast<size_t>(k) * in.counterRowSize;
    Put32(r + L->state, 0);
    const std::string instance = FieldText(r, L->nameOffset, L->nameWidth);
    QMX_DETAIL("SMG: MSEISPRI Mailbox name: %s", instance.c_str());
    if (!desc.markersAfterMerge) ApplyRowRules(L->markers, r, 1, in.counterRowSize, codes, nullptr, nullptr);

    // The instance's database: the first summary entry whose name it contains.
    for (const SummaryEntry& e : summary) {
      if (e.name.empty() || instance.find(e.name) == std::string::npos) continue;
      Put32(r + L->size, StoreSizeField(e.sizeBytes));
      Put32(r + L->share, StoreShareField(e.sizeBytes, e.totalMB));
      // Growth is 0 unless the history holds the database with a smaller size.
      int32_t growth = 0;
      if (!in.historyText.empty()) {
        QMX_DETAIL("%s History file contents : %s", desc.traceName, in.historyText.c_str());
        for (const SummaryEntry& h : history)
          if (h.name == e.name) {
            growth = StoreGrowthField(e.sizeBytes, h.sizeBytes);
            break;
          }
      }
      Put32(r + L->growth, growth);
      break;
    }

    if (!prepared) {
      int32_t sampleNo = Get32(r + 64);
      prepare(r, sampleNo, r + 72);
      prepared = true;
    }

    // The first store row whose name the instance contains takes the instance's values.
    for (int i = 0; i < out.count; ++i) {
      char* row = out.row(i);
      const std::string name = FieldText(row, L->nameOffset, L->nameWidth);
      // A row without a name names no store. The total row and the total instance belong to each
      // other alone: a store named "Total" does not take the total instance, and a store instance
      // whose name holds "_Total" does not take the total row.
      if (name.empty() || (i == out.count - 1) != (instance == "_Total")) continue;
      QMX_DETAIL(desc.preBuildTrace, name.c_str());
      QMX_DETAIL(desc.fromPerfmonTrace, instance.c_str());
      if (instance.find(name) == std::string::npos) continue;
      if (desc.instanceMustExist &&
          (name.size() <= 1 || !in.probe.instanceExists ||
           !in.probe.instanceExists(desc, name.c_str(), in.probe.arg)))
        continue;
      int32_t ratio = -1;
      if (!release5) {
        ratio = in.probe.singleInstanceRatio ? in.probe.singleInstanceRatio(desc, name.c_str(), in.probe.arg) : 0;
        for (uint16_t off : L->taken) std::memcpy(row + off, r + off, 4);
      } else {
        for (uint16_t off : L->taken) Put32(row + off, -1);
      }
      Put32(row + L->ratio, ratio);
      std::memcpy(row, r, 64);
      std::memcpy(row + 72, r + 72, 16);
      std::memcpy(row + L->nameOffset, r + L->nameOffset, L->nameWidth);
      for (uint16_t off = L->countersBegin; off < L->state; off += 4) {
        bool own = off == L->ratio;
        for (uint16_t t : L->taken) own = own || off == t;
        if (!own) std::memcpy(row + off, r + off, 4);
      }
      break;
    }
  }
  if (!prepared) {
    // No counter row gave a header: the rows carry this sample's own.
    static const char kBlank[64] = {0};
    prepare(in.systemName64 ? in.systemName64 : kBlank, 0, in.stamp16 ? in.stamp16 : kBlank);
  }
  if (desc.markersAfterMerge)
    ApplyRowRules(L->markers, in.counterRows, counterRows, in.counterRowSize, codes, nullptr, nullptr);
  ApplyRowRules(L->markers, out.bytes.data(), static_cast<uint32_t>(out.count), out.rowSize, codes,
                nullptr, nullptr);

  // The total row: the size of the mounted stores together.
  int64_t sum = 0;
  for (int i = 0; i + 1 < out.count; ++i)
    if (Get32(out.row(i) + L->state) == 0) sum += Get32(out.row(i) + L->size);
  Put32(total + L->size, TruncateToInt32(static_cast<double>(sum)));
  Put32(total + L->state, 2);
  return out;
}

}  // namespace qmx
