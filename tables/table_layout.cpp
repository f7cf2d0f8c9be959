// Row layouts of the 68 tables, worked out once from catalogue.def.
#include "table_layout.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qmxtrace.h"

namespace qmx {
namespace {

struct RawTable {
  int number;
  const char* stem;
  const char* name;
  const char* group;
  int step;
  HeaderOrder header;
  TableVariation variation;
  TableSource source;
  int definitionId;
  int alternateId;
  const char* attributes;
};

const RawTable kRawTables[] = {
#define QMX_TABLE(number, stem, NAME, group, step, header, variation, source, definition, alternate, \
                  attributes)                                                                       \
  {number, #stem, #NAME, group, step, header, variation, source, definition, alternate, attributes},
#include "catalogue.def"
#undef QMX_TABLE
};

uint32_t Hash(const char* s) {
  uint32_t h = 2166136261u;
  for (; *s; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 16777619u;
  return h;
}

void AddHeader(HeaderOrder order, std::vector<TableAttribute>* out) {
  struct H { const char* name; const char* upper; uint16_t width; uint16_t type; };
  static const H kOrigin = {"originnode", "ORIGINNODE", 64, TYPE_TEXT};
  static const H kSample = {"sampleno", "SAMPLENO", 4, TYPE_INT32};
  static const H kRow = {"rowno", "ROWNO", 4, TYPE_INT32};
  static const H kTime = {"timestamp", "TIMESTAMP", 16, TYPE_TEXT};
  const H* order4[4] = {&kOrigin, &kSample, &kRow, &kTime};
  if (order == HEADER_TIME_FIRST) {
    order4[1] = &kTime;
    order4[2] = &kSample;
    order4[3] = &kRow;
  }
  uint16_t offset = 0;
  for (const H* h : order4) {
    TableAttribute a;
    a.name = h->name;
    a.upper = h->upper;
    a.offset = offset;
    a.width = h->width;
    a.type = h->type;
    offset = static_cast<uint16_t>(offset + h->width);
    out->push_back(a);
  }
}

void BuildIndex(TableLayout* t) {
  size_t size = 16;
  while (size < t->attributes.size() * 4) size *= 2;
  t->slots_.assign(size, TableLayout::Slot{0, -1});
  for (size_t i = 0; i < t->attributes.size(); ++i) {
    uint32_t h = Hash(t->attributes[i].upper.c_str());
    size_t s = h & (size - 1);
    while (t->slots_[s].index >= 0) s = (s + 1) & (size - 1);
    t->slots_[s] = TableLayout::Slot{h, static_cast<int32_t>(i)};
  }
}

std::vector<TableLayout> BuildAll() {
  QMX_ENTRY_NAMED("TableLayouts");
  std::vector<TableLayout> all;
  for (const RawTable& r : kRawTables) {
    TableLayout t;
    t.number = r.number;
    t.stem = r.stem;
    t.name = r.name;
    t.group = r.group;
    t.step = r.step;
    t.header = r.header;
    t.variation = r.variation;
    t.source = r.source;
    t.definitionId = r.definitionId;
    t.alternateId = r.alternateId;
    std::string error;
    if (!BuildTableLayout(&t, r.attributes, &error)) {
      // The catalogue is fixed at build time and its tests read every entry; say so loudly.
      QMX_ALWAYS("TableLayouts: table %d (%s): %s", r.number, r.name, error.c_str());
      std::fprintf(stderr, "TableLayouts: table %d (%s): %s\n", r.number, r.name, error.c_str());
    }
    all.push_back(std::move(t));
  }
  return all;
}

}  // namespace

int TableLayout::Find(const char* upper) const {
  if (!upper || slots_.empty()) return -1;
  size_t mask = slots_.size() - 1;
  uint32_t h = Hash(upper);
  for (size_t s = h & mask;; s = (s + 1) & mask) {
    const Slot& slot = slots_[s];
    if (slot.index < 0) return -1;
    if (slot.hash == h && std::strcmp(attributes[static_cast<size_t>(slot.index)].upper.c_str(), upper) == 0)
      return slot.index;
  }
}

bool ParseAttributeList(const char* text, int offset, std::vector<TableAttribute>* out,
                        std::string* error) {
  QMX_ENTRY();
  std::string dummy;
  if (!error) error = &dummy;
  if (!text || !out) {
    *error = "no attribute list";
    return false;
  }
  const char* p = text;
  while (true) {
    // One entry: words up to the next comma.
    const char* end = std::strchr(p, ',');
    std::string entry = end ? std::string(p, end) : std::string(p);
    std::vector<std::string> words;
    size_t i = 0;
    while (i < entry.size()) {
      while (i < entry.size() && entry[i] == ' ') ++i;
      size_t j = i;
      while (j < entry.size() && entry[j] != ' ') ++j;
      if (j > i) words.push_back(entry.substr(i, j - i));
      i = j;
    }
    if (words.empty() || (words.size() == 2 && words[1] != "int64") ||
        (words.size() == 3 && words[1] != "text" && words[1] != "utf8") || words.size() > 3) {
      *error = "cannot read attribute \"" + entry + "\"";
      return false;
    }
    TableAttribute a;
    a.name = words[0];
    for (char c : a.name) {
      if (!std::islower(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c))) {
        *error = "attribute name \"" + a.name + "\" is not lower case";
        return false;
      }
      a.upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    int width = 4;
    a.type = TYPE_INT32;
    if (words.size() == 2) {
      width = 8;
      a.type = TYPE_INT64;
    } else if (words.size() == 3) {
      char* stop = nullptr;
      long w = std::strtol(words[2].c_str(), &stop, 10);
      if (*stop != '\0' || w < 1 || w > 4096) {
        *error = "bad width in \"" + entry + "\"";
        return false;
      }
      width = static_cast<int>(w);
      a.type = words[1] == "text" ? TYPE_TEXT : TYPE_UTF8;
    }
    if (offset + width > 0xFFFF) {
      *error = "row longer than 65535 bytes";
      return false;
    }
    a.offset = static_cast<uint16_t>(offset);
    a.width = static_cast<uint16_t>(width);
    offset += width;
    out->push_back(a);
    if (!end) break;
    p = end + 1;
  }
  return true;
}

bool BuildTableLayout(TableLayout* t, const char* attributes, std::string* error) {
  QMX_ENTRY();
  t->attributes.clear();
  AddHeader(t->header, &t->attributes);
  bool ok = ParseAttributeList(attributes, kRowHeaderSize, &t->attributes, error);
  const TableAttribute& last = t->attributes.back();
  t->rowSize = (last.offset + last.width + 3) / 4 * 4;
  t->bufferName = std::string("QMX.") + t->name;
  BuildIndex(t);
  QMX_RETURN(ok);
}

const std::vector<TableLayout>& TableLayouts() {
  static const std::vector<TableLayout> all = BuildAll();
  return all;
}

const TableLayout* TableLayoutByNumber(int number) {
  const std::vector<TableLayout>& all = TableLayouts();
  if (number < 1 || number > static_cast<int>(all.size())) return nullptr;
  const TableLayout* t = &all[static_cast<size_t>(number - 1)];
  return t->number == number ? t : nullptr;
}

const TableLayout* TableLayoutByStem(const char* stem) {
  if (!stem) return nullptr;
  for (const TableLayout& t : TableLayouts())
    if (std::strcmp(t.stem, stem) == 0) return &t;
  return nullptr;
}

const TableLayout* TableLayoutByName(const char* name) {
  if (!name) return nullptr;
  for (const TableLayout& t : TableLayouts())
    if (std::strcmp(t.name, name) == 0) return &t;
  return nullptr;
}

}  // namespace qmx
