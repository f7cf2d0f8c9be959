// Reading counter set definitions: the full reading for checks and tools, and the two numbers
// the agent itself takes at table loading.
#include "counter_set.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include "qmxtrace.h"

namespace qmx {
namespace {

// A line feed inside a string counts as a blank; so do tabs and carriage returns.
bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Reads a decimal integer at s[*pos] after blanks; moves *pos past it.
bool ReadInt(const std::string& s, size_t* pos, int* value) {
  size_t i = *pos;
  while (i < s.size() && IsBlank(s[i])) ++i;
  size_t start = i;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  size_t digits = i;
  long long v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10 + (s[i] - '0');
    if (v > INT_MAX) return false;
    ++i;
  }
  if (i == digits) return false;
  *value = static_cast<int>(s[start] == '-' ? -v : v);
  *pos = i;
  return true;
}

std::vector<std::string> SplitBlanks(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    size_t j = i;
    while (j < s.size() && !IsBlank(s[j])) ++j;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

bool TokenToInt(const std::string& t, int* value) {
  size_t pos = 0;
  return ReadInt(t, &pos, value) && pos == t.size();
}

bool TokenToDouble(const std::string& t, double* value) {
  if (t.empty()) return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (errno != 0 || end != t.c_str() + t.size()) return false;
  *value = v;
  return true;
}

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

}  // namespace

bool ParseCounterSet(const std::string strings[5], CounterSetDefinition* out, std::string* error) {
  QMX_ENTRY();
  if (!strings || !out) QMX_RETURN(Fail(error, "nothing to read"));
  *out = CounterSetDefinition();
  const std::string& h = strings[0];

  // Header: three numbers, the object up to the first "(", the inner count, the names up to the
  // last ")" (counter names may hold parentheses of their own).
  size_t pos = 0;
  if (!ReadInt(h, &pos, &out->fieldCount) || !ReadInt(h, &pos, &out->initialRows) ||
      !ReadInt(h, &pos, &out->thirdNumber))
    QMX_RETURN(Fail(error, "header does not start with three numbers"));
  if (out->fieldCount < 0) QMX_RETURN(Fail(error, "negative field count"));
  size_t open = h.find('(', pos);
  size_t close = h.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open)
    QMX_RETURN(Fail(error, "header has no parenthesised field list"));
  std::string object = h.substr(pos, open - pos);
  size_t b = 0;
  while (b < object.size() && IsBlank(object[b])) ++b;
  object.erase(0, b);
  if (!object.empty() && IsBlank(object.back())) object.pop_back();
  out->object = object;
  size_t inner = open + 1;
  if (!ReadInt(h.substr(0, close), &inner, &out->innerCount))
    QMX_RETURN(Fail(error, "no count after \"(\""));
  std::string list = h.substr(inner, close - inner);
  std::vector<std::string> names;
  size_t start = 0;
  while (true) {
    size_t comma = list.find(',', start);
    names.push_back(Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (names.size() == 1 && names[0].empty()) names.clear();
  for (const std::string& n : names)
    if (n.empty()) QMX_RETURN(Fail(error, "empty field name"));

  // The leading count governs every other string.
  size_t n = static_cast<size_t>(out->fieldCount);
  if (names.size() != n) QMX_RETURN(Fail(error, "field count and names disagree"));
  std::vector<std::string> sizes = SplitBlanks(strings[1]), offsets = SplitBlanks(strings[2]),
                           scales = SplitBlanks(strings[3]), types = SplitBlanks(strings[4]);
  if (sizes.size() != n + 1 || offsets.size() != n || scales.size() != n || types.size() != n)
    QMX_RETURN(Fail(error, "field count and attribute strings disagree"));
  if (!TokenToInt(sizes[0], &out->rowSize)) QMX_RETURN(Fail(error, "row size is no number"));
  out->fields.resize(n);
  for (size_t k = 0; k < n; ++k) {
    CounterField& f = out->fields[k];
    f.name = names[k];
    f.scaleText = scales[k];
    if (!TokenToInt(sizes[k + 1], &f.size) || !TokenToInt(offsets[k], &f.offset) ||
        !TokenToDouble(scales[k], &f.scale) || !TokenToInt(types[k], &f.type))
      QMX_RETURN(Fail(error, "field " + std::to_string(k + 1) + " has a value that is no number"));
  }
  QMX_RETURN(true);
}

bool CheckCounterSet(const CounterSetDefinition& d, std::string* error) {
  QMX_ENTRY();
  int offset = 88;
  if (d.initialRows < 1) QMX_RETURN(Fail(error, "no initial rows"));
  if (d.fields.empty()) QMX_RETURN(Fail(error, "no fields"));
  for (size_t k = 0; k < d.fields.size(); ++k) {
    const CounterField& f = d.fields[k];
    std::string where = "field " + std::to_string(k + 1) + " (" + f.name + "): ";
    if (f.offset != offset) QMX_RETURN(Fail(error, where + "offset leaves a gap or overlaps"));
    bool text = f.type == CS_TEXT || f.type == CS_UTF8;
    if (f.type != CS_INTEGER && !text) QMX_RETURN(Fail(error, where + "unknown type"));
    if (text != f.isInstance()) QMX_RETURN(Fail(error, where + "only the instance name is text"));
    if (f.type == CS_INTEGER && f.size != 4 && f.size != 8)
      QMX_RETURN(Fail(error, where + "integer neither 4 nor 8 bytes"));
    if (text && f.size < 1) QMX_RETURN(Fail(error, where + "empty text"));
    if (text != (f.scale == 0)) QMX_RETURN(Fail(error, where + "scale 0 is for text only"));
    offset += f.size;
  }
  if (offset > d.rowSize) QMX_RETURN(Fail(error, "fields run past the row"));
  QMX_RETURN(true);
}

void ReadRowsAndRowSize(const char* header, const char* sizes, int* initialRows, int* rowSize) {
  QMX_ENTRY();
  int count = 0, rows = 0, size = 0;
  if (header) {
    std::istringstream in(header);
    if (!(in >> count >> rows)) rows = 0;
  }
  if (sizes) {
    std::istringstream in(sizes);
    if (!(in >> size)) size = 0;
  }
  if (initialRows) *initialRows = rows;
  if (rowSize) *rowSize = size;
}

}  // namespace qmx
