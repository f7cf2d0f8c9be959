// Row decoding, query and condition parsing, and the Prometheus text format.
#include "monitor_format.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "qmxtrace.h"

namespace pxr_http {

namespace {

constexpr const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string UpperName(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = Upper(c);
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseWholeNumber(const std::string& text, long long* out) {
  size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i >= text.size()) return false;
  for (size_t k = i; k < text.size(); ++k)
    if (text[k] < '0' || text[k] > '9') return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno == ERANGE || end != text.c_str() + text.size()) return false;
  *out = v;
  return true;
}

// The row timestamp changes with every sample: as a label it would start a new series each time.
bool IsLabelAttribute(const Attribute& a) {
  return IsTextType(a.type) && a.name != "timestamp";
}

bool IsHeaderCounter(const Attribute& a) { return a.name == "sampleno" || a.name == "rowno"; }

std::string Identifier(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 1);
  for (char c : text) {
    c = Lower(c);
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    out.push_back(ok ? c : '_');
  }
  if (out.empty() || (out[0] >= '0' && out[0] <= '9')) out.insert(out.begin(), '_');
  return out;
}

}  // namespace

bool DescribeRequest(vorta* object, TableLayout* layout) {
  QMX_ENTRY_NAMED("pxr_http::DescribeRequest");
  if (!object || !layout) QMX_RETURN(false);
  TableManager* m = object->manager;
  layout->application = m ? m->application() : "";
  layout->table = m ? m->table() : "";
  layout->rowSize = object->rowSize;
  layout->step = object->allocStep;
  layout->attributes.clear();
  int count = object->GetAttributeCount();
  for (int i = 0; i < count; ++i) {
    AttributeInfo info{nullptr, 0, 0, 0};
    if (object->GetAttributeInfo(&info, i) != 0) {
      QMX_ERROR("pxr_http::DescribeRequest: %s gives no attribute %d of %d", layout->table.c_str(),
                i, count);
      QMX_RETURN(false);
    }
    Attribute a;
    a.name = SanitizeUtf8(info.name ? info.name : "");
    a.offset = info.offset;
    a.width = info.width;
    a.type = info.type;
    layout->attributes.push_back(std::move(a));
  }
  QMX_RETURN(true);
}

std::string SanitizeUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k <= need && i + k < n; ++k) {
      unsigned char b = static_cast<unsigned char>(s[i + k]);
      bool ok = (k == 1) ? (b >= lo && b <= hi) : IsContinuation(b);
      if (!ok) break;
    }
    if (k == need + 1) {
      out.append(s.data() + i, need + 1);
      i += need + 1;
    } else {
      // The longest valid start of a sequence counts as one bad character.
      out += kReplacement;
      i += k;
    }
  }
  return out;
}

std::string FieldText(const char* field, size_t width) {
  size_t n = 0;
  while (n < width && field[n] != '\0') ++n;
  while (n > 0 && field[n - 1] == ' ') --n;
  return SanitizeUtf8(std::string_view(field, n));
}

bool IsIntegerType(uint16_t type) { return type == ATTR_INT32 || type == ATTR_INT64; }
bool IsTextType(uint16_t type) { return type == ATTR_TEXT || type == ATTR_UTF8; }

bool FieldFits(const Attribute& a, int rowSize) {
  if (rowSize <= 0 || static_cast<int>(a.offset) + static_cast<int>(a.width) > rowSize) return false;
  switch (a.type) {
    case ATTR_INT32: return a.width == 4;
    case ATTR_INT64: return a.width == 8;
    case ATTR_TEXT:
    case ATTR_UTF8: return a.width > 0;
  }
  return false;
}

bool FieldInteger(const char* row, int rowSize, const Attribute& a, long long* value) {
  if (!IsIntegerType(a.type) || !FieldFits(a, rowSize)) return false;
  if (a.type == ATTR_INT32) {
    int32_t v;
    std::memcpy(&v, row + a.offset, sizeof v);
    *value = v;
  } else {
    int64_t v;
    std::memcpy(&v, row + a.offset, sizeof v);
    *value = v;
  }
  return true;
}

Json TableJson(const TableLayout& layout) {
  Json attrs = Json::array();
  for (const Attribute& a : layout.attributes)
    attrs.push_back(Json{{"name", a.name}, {"offset", a.offset}, {"width", a.width}, {"type", a.type}});
  return Json{{"application", SanitizeUtf8(layout.application)},
              {"name", SanitizeUtf8(layout.table)},
              {"rowSize", layout.rowSize},
              {"step", layout.step},
              {"attributes", std::move(attrs)}};
}

Json RowJson(const char* row, const TableLayout& layout) {
  Json out = Json::object();
  for (const Attribute& a : layout.attributes) {
    long long v;
    if (FieldInteger(row, layout.rowSize, a, &v))
      out[a.name] = v;
    else if (IsTextType(a.type) && FieldFits(a, layout.rowSize))
      out[a.name] = FieldText(row + a.offset, a.width);
    else
      out[a.name] = nullptr;
  }
  return out;
}

Json ErrorJson(const std::string& message) { return Json{{"error", SanitizeUtf8(message)}}; }

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool PercentDecode(std::string_view text, bool plusIsBlank, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      int h = HexDigit(text[i + 1]), l = HexDigit(text[i + 2]);
      if (h < 0 || l < 0) return false;
      char d = static_cast<char>(h * 16 + l);
      if (d == '\0') return false;
      out->push_back(d);
      i += 2;
    } else if (c == '+' && plusIsBlank) {
      out->push_back(' ');
    } else if (c == '\0') {
      return false;
    } else {
      out->push_back(c);
    }
  }
  return true;
}

bool ParseQuery(std::string_view query, std::vector<std::pair<std::string, std::string>>* params,
                std::string* error) {
  params->clear();
  size_t start = 0;
  while (start <= query.size()) {
    size_t amp = query.find('&', start);
    if (amp == std::string_view::npos) amp = query.size();
    std::string_view part = query.substr(start, amp - start);
    if (!part.empty()) {
      size_t eq = part.find('=');
      std::string name, value;
      if (!PercentDecode(part.substr(0, eq), true, &name) ||
          (eq != std::string_view::npos && !PercentDecode(part.substr(eq + 1), true, &value))) {
        *error = "invalid percent-encoding in the query string";
        return false;
      }
      params->emplace_back(std::move(name), std::move(value));
    }
    start = amp + 1;
  }
  return true;
}

bool ParseCondition(const std::string& text, RequestCondition* condition, std::string* error) {
  size_t first = text.find(':');
  size_t second = first == std::string::npos ? std::string::npos : text.find(':', first + 1);
  if (second == std::string::npos) {
    *error = "condition \"" + SanitizeUtf8(text) + "\" is not ATTRIBUTE:OP:VALUE";
    return false;
  }
  std::string attribute = text.substr(0, first);
  std::string op = text.substr(first + 1, second - first - 1);
  if (attribute.empty()) {
    *error = "condition \"" + SanitizeUtf8(text) + "\" names no attribute";
    return false;
  }
  for (char& c : attribute) {
    c = Upper(c);
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
      *error = "attribute \"" + SanitizeUtf8(text.substr(0, first)) +
               "\" may hold only letters, digits and \"_\"";
      return false;
    }
  }
  _IntfOper oper;
  if (!pxr::ParseOperator(op, &oper)) {
    *error = "operator \"" + SanitizeUtf8(op) + "\" is not one of EQ, NE, LT, LE, GT, GE";
    return false;
  }
  condition->attribute = attribute;
  condition->oper = oper;
  condition->value = text.substr(second + 1);
  return true;
}

bool CheckCondition(const RequestCondition& condition, const TableLayout& layout,
                    std::string* error) {
  for (const Attribute& a : layout.attributes) {
    if (UpperName(a.name) != condition.attribute) continue;
    long long v;
    if (IsIntegerType(a.type) && !ParseWholeNumber(condition.value, &v)) {
      *error = "attribute " + condition.attribute + " is an integer; \"" +
               SanitizeUtf8(condition.value) + "\" is not a whole number";
      return false;
    }
    return true;
  }
  *error = "table " + layout.table + " has no attribute " + condition.attribute;
  return false;
}

std::string MetricName(const std::string& table, const std::string& attribute) {
  std::string a = Identifier(attribute);
  // These endings belong to histograms and summaries; a gauge that ends so misleads tools.
  if (a == "count" || a == "sum" || a == "bucket") a += "_value";
  return "qmx_" + Identifier(table) + "_" + a;
}

std::string LabelName(const std::string& attribute) {
  std::string n = Identifier(attribute);
  // Names starting with "__" are Prometheus's own.
  if (n.size() >= 2 && n[0] == '_' && n[1] == '_') n.insert(0, "a");
  return n;
}

namespace {

// Backslashes and line feeds escaped, and double quotes too where asked; invalid UTF-8 replaced.
std::string EscapeExposition(std::string_view text, bool quotes) {
  std::string out;
  out.reserve(text.size());
  for (char c : SanitizeUtf8(text)) {
    if (c == '\\') out += "\\\\";
    else if (quotes && c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out.push_back(c);
  }
  return out;
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) { return EscapeExposition(value, true); }

std::string EscapeHelp(std::string_view text) { return EscapeExposition(text, false); }

std::string FormatSeconds(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f", seconds);
  return buf;
}

namespace {

bool HasText(const std::string& name, const char* part) {
  std::string a, b(part);
  for (char c : name) a.push_back(Lower(c));
  for (char& c : b) c = Lower(c);
  return a.find(b) != std::string::npos;
}

}  // namespace

std::string CounterUnit(const std::string& counter) {
  // The first rule that matches wins: "Bytes/sec" is a rate, "% Bytes" a percentage.
  static const struct {
    const char* part;
    const char* unit;
  } kRules[] = {
      {"/sec", "per second"},     {"per second", "per second"}, {"%", "percent"},
      {"percent", "percent"},     {"(MB)", "megabytes"},        {"(KB)", "kilobytes"},
      {"bytes", "bytes"},         {"timestamp", "file time (100 ns since 1601)"},
      {"latency", "milliseconds"}, {"(ms)", "milliseconds"},    {"msec", "milliseconds"},
  };
  for (const auto& r : kRules)
    if (HasText(counter, r.part)) return r.unit;
  return "count";
}

std::string CounterHelpText(const std::string& object, const std::string& counter) {
  return "Performance object \"" + object + "\", counter \"" + counter + "\", unit " +
         CounterUnit(counter) + "; the value as performance monitor shows it";
}

std::string ScaledValue(long long field, double scale) {
  if (scale == 1 || !(scale > 0 || scale < 0)) return std::to_string(field);
  double v = static_cast<double>(field) / scale;
  char buf[64];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

std::string FormatTableMetrics(const TableLayout& layout, const char* rows, int count,
                               const HelpLookup& help) {
  if (!rows || count <= 0 || layout.rowSize <= 0) return std::string();
  auto rowAt = [&](int i) { return rows + static_cast<size_t>(i) * static_cast<size_t>(layout.rowSize); };

  // Labels of each row, from its text attributes; a label name seen twice keeps its first value.
  std::vector<std::string> labels(static_cast<size_t>(count));
  std::set<std::string> labelNames;
  std::vector<const Attribute*> labelAttrs;
  for (const Attribute& a : layout.attributes) {
    if (!IsLabelAttribute(a) || !FieldFits(a, layout.rowSize)) continue;
    if (labelNames.insert(LabelName(a.name)).second) labelAttrs.push_back(&a);
  }
  for (int i = 0; i < count; ++i) {
    std::string& l = labels[static_cast<size_t>(i)];
    for (const Attribute* a : labelAttrs) {
      if (!l.empty()) l += ',';
      l += LabelName(a->name) + "=\"" + EscapeLabelValue(FieldText(rowAt(i) + a->offset, a->width)) + "\"";
    }
  }
  // Rows that no text tells apart get their position as well, or their series would collide.
  std::set<std::string> seen;
  bool clash = false;
  for (const std::string& l : labels) clash = clash || !seen.insert(l).second;
  if (clash && labelNames.count("row") == 0) {
    for (int i = 0; i < count; ++i) {
      std::string& l = labels[static_cast<size_t>(i)];
      l += (l.empty() ? "" : ",") + std::string("row=\"") + std::to_string(i) + "\"";
    }
  }

  std::string out;
  std::set<std::string> families;
  for (const Attribute& a : layout.attributes) {
    if (!IsIntegerType(a.type) || IsHeaderCounter(a) || !FieldFits(a, layout.rowSize)) continue;
    std::string name = MetricName(layout.table, a.name);
    if (!families.insert(name).second) continue;
    MetricHelp h = help ? help(layout.table, a.name) : MetricHelp();
    std::string lines;
    for (int i = 0; i < count; ++i) {
      const char* f = rowAt(i) + a.offset;
      // A 4-byte counter of all ones: the counter does not exist on this release.
      if (a.width == 4 && std::memcmp(f, "\xFF\xFF\xFF\xFF", 4) == 0) continue;
      long long v = 0;
      FieldInteger(rowAt(i), layout.rowSize, a, &v);
      lines += name;
      const std::string& l = labels[static_cast<size_t>(i)];
      if (!l.empty()) lines += "{" + l + "}";
      lines += ' ';
      lines += ScaledValue(v, h.scale);
      lines += '\n';
    }
    if (lines.empty()) continue;
    std::string text = h.text;
    if (text.empty()) text = "Table " + layout.table + " attribute " + a.name;
    out += "# HELP " + name + " " + EscapeHelp(text) + "\n";
    out += "# TYPE " + name + " gauge\n";
    out += lines;
  }
  return out;
}

std::string FormatSampleStats(const std::vector<SampleStats>& stats) {
  struct Family {
    const char* name;
    const char* type;
    const char* help;
  };
  static const Family kFamilies[] = {
      {"qmx_table_sample_duration_seconds", "gauge", "Duration of the table's last sample."},
      {"qmx_table_rows", "gauge", "Rows of the table's last good sample."},
      {"qmx_table_last_success_timestamp_seconds", "gauge",
       "Time of the table's last good sample, in seconds since 1970."},
      {"qmx_table_failed_samples_total", "counter", "Samples of the table that failed."},
      {"qmx_table_skipped_rounds_total", "counter",
       "Sampling rounds that found the table still busy with the previous sample."},
  };
  std::string out;
  for (size_t f = 0; f < sizeof kFamilies / sizeof kFamilies[0]; ++f) {
    out += std::string("# HELP ") + kFamilies[f].name + " " + kFamilies[f].help + "\n";
    out += std::string("# TYPE ") + kFamilies[f].name + " " + kFamilies[f].type + "\n";
    for (const SampleStats& s : stats) {
      std::string value;
      switch (f) {
        case 0: if (s.sampled) value = FormatSeconds(s.durationSeconds); break;
        case 1: if (s.lastSuccess > 0) value = std::to_string(s.rows); break;
        case 2: {
          if (s.lastSuccess > 0) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.3f", s.lastSuccess);
            value = buf;
          }
          break;
        }
        case 3: value = std::to_string(s.failures); break;
        case 4: value = std::to_string(s.skippedRounds); break;
      }
      if (value.empty()) continue;
      out += std::string(kFamilies[f].name) + "{table=\"" + EscapeLabelValue(s.table) + "\"} " + value + "\n";
    }
  }
  return out;
}

}  // namespace pxr_http
