// Filling the rows of directly collected tables by attribute name, from the table's layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "table_layout.h"

namespace qmx {

// Text into its field: cut to leave a terminator inside the width, zero-filled.
inline void SetRowText(char* row, const TableLayout& layout, const char* upper, const std::string& text) {
  int i = layout.Find(upper);
  if (i < 0) return;
  const TableAttribute& a = layout.attributes[static_cast<size_t>(i)];
  std::memset(row + a.offset, 0, a.width);
  size_t n = text.size() < a.width ? text.size() : static_cast<size_t>(a.width) - 1;
  std::memcpy(row + a.offset, text.data(), n);
}

inline void SetRowInt(char* row, const TableLayout& layout, const char* upper, int32_t value) {
  int i = layout.Find(upper);
  if (i < 0) return;
  std::memcpy(row + layout.attributes[static_cast<size_t>(i)].offset, &value, sizeof value);
}

// The row header: managed-system name (64 bytes as given), sample and row numbers, time stamp.
inline void SetRowHeader(char* row, const TableLayout& layout, const char* originnode,
                         uint32_t sampleno, uint32_t rowno, const char* stamp16) {
  const TableAttribute& o = layout.attributes[static_cast<size_t>(layout.Find("ORIGINNODE"))];
  std::memcpy(row + o.offset, originnode, o.width);
  SetRowInt(row, layout, "SAMPLENO", static_cast<int32_t>(sampleno));
  SetRowInt(row, layout, "ROWNO", static_cast<int32_t>(rowno));
  const TableAttribute& t = layout.attributes[static_cast<size_t>(layout.Find("TIMESTAMP"))];
  std::memcpy(row + t.offset, stamp16, t.width < 16 ? t.width : 16);
}

}  // namespace qmx
