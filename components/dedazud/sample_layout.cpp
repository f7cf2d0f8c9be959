#include "sample_layout.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>

#include "qmxtrace.h"

namespace dedazud {
namespace {

std::vector<std::string> Words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool ToInt(const std::string& s, int* out) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool ParseRowHeader(const std::string& names, const std::string& widths, const std::string& offsets,
                    std::vector<HeaderField>* out, std::string* error) {
  QMX_ENTRY();
  std::istringstream in(names);
  int count = 0;
  if (!(in >> count) || count <= 0 || count > 16) {
    *error = "row header: no field count";
    QMX_RETURN(false);
  }
  std::string rest;
  std::getline(in, rest);
  std::vector<std::string> nameList;
  for (size_t start = 0;;) {
    size_t comma = rest.find(',', start);
    nameList.push_back(Trim(rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  std::vector<std::string> w = Words(widths), o = Words(offsets);
  if (static_cast<int>(nameList.size()) != count || static_cast<int>(w.size()) != count ||
      static_cast<int>(o.size()) != count) {
    *error = "row header: names, widths and offsets do not match the count";
    QMX_RETURN(false);
  }
  std::vector<HeaderField> fields;
  for (int k = 0; k < count; ++k) {
    HeaderField f;
    f.name = nameList[k];
    if (f.name.empty() || !ToInt(w[k], &f.width) || !ToInt(o[k], &f.offset) || f.width <= 0) {
      *error = "row header: bad entry " + std::to_string(k + 1);
      QMX_RETURN(false);
    }
    f.role = f.name == "_ORIGIN_" ? HDR_ORIGIN : f.name == "_SAMPLE_" ? HDR_SAMPLE
           : f.name == "_ROW_" ? HDR_ROW : f.name == "_TIMESTAMP_" ? HDR_TIMESTAMP : HDR_OTHER;
    if ((f.role == HDR_SAMPLE || f.role == HDR_ROW) && f.width != 4 && f.width != 8) {
      *error = "row header: " + f.name + " must be 4 or 8 bytes";
      QMX_RETURN(false);
    }
    fields.push_back(f);
  }
  *out = fields;
  QMX_RETURN(true);
}

bool CheckLayout(const qmx::CounterSetDefinition& def, const std::vector<HeaderField>& header,
                 std::string* error) {
  QMX_ENTRY();
  if (def.rowSize <= 0 || def.rowSize > 1 << 20 || def.fields.empty() ||
      static_cast<int>(def.fields.size()) != def.fieldCount) {
    *error = "bad row size or field count";
    QMX_RETURN(false);
  }
  int headerEnd = 0;
  for (const HeaderField& h : header) {
    if (h.offset < 0 || h.offset + h.width > def.rowSize) {
      *error = "header field " + h.name + " outside the row";
      QMX_RETURN(false);
    }
    if (h.offset + h.width > headerEnd) headerEnd = h.offset + h.width;
  }
  for (const qmx::CounterField& f : def.fields) {
    bool sizeOk = f.type == qmx::CS_INTEGER ? (f.size == 4 || f.size == 8)
                : (f.type == qmx::CS_TEXT || f.type == qmx::CS_UTF8) ? f.size > 0 : false;
    if (!sizeOk) {
      *error = "field \"" + f.name + "\": type " + std::to_string(f.type) + " of " +
               std::to_string(f.size) + " bytes";
      QMX_RETURN(false);
    }
    if (f.offset < headerEnd || f.offset + f.size > def.rowSize) {
      *error = "field \"" + f.name + "\" outside the row or over the row header";
      QMX_RETURN(false);
    }
  }
  QMX_RETURN(true);
}

int64_t ScaleToInteger(double value, double scale, int width, bool* isMarker) {
  QMX_ENTRY();
  double v = std::round(value * scale);  // halves away from zero
  *isMarker = std::isnan(v);
  if (*isMarker) return -1;
  double lo = width == 8 ? -9223372036854775808.0 : -2147483648.0;
  double hiExclusive = width == 8 ? 9223372036854775808.0 : 2147483648.0;
  if (v <= lo) return width == 8 ? std::numeric_limits<int64_t>::min() : INT32_MIN;
  if (v >= hiExclusive) return width == 8 ? std::numeric_limits<int64_t>::max() : INT32_MAX;
  return static_cast<int64_t>(v);
}

void PutInteger(uint8_t* at, int width, int64_t v) {
  uint64_t u = static_cast<uint64_t>(v);
  for (int i = 0; i < width; ++i) at[i] = static_cast<uint8_t>(u >> (8 * i));
}

void PutMarker(uint8_t* at, int width) { memset(at, 0xFF, static_cast<size_t>(width)); }

void PutText(uint8_t* at, int width, const std::string& text, bool utf8) {
  QMX_ENTRY();
  size_t n = text.size() < static_cast<size_t>(width) ? text.size() : static_cast<size_t>(width);
  if (utf8 && n < text.size()) {
    // Step back to the start of the sequence that was cut.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  memcpy(at, text.data(), n);
  memset(at + n, 0, static_cast<size_t>(width) - n);
}

std::string RowTimestamp(int year, int month, int day, int hour, int minute, int second) {
  QMX_ENTRY();
  char buf[40];
  snprintf(buf, sizeof buf, "%03d%02d%02d%02d%02d%02d%03d", year - 1900, month, day, hour, minute,
           second, 0);
  return buf;
}

}  // namespace dedazud
