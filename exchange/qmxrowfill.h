// Filling the rows of directly collected tables by attribute name, from the table's layout.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qmxcommon_portable.h"
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

// The rows of one sample, zero-filled, each with its header: the managed-system name, the table's
// sample number (grows by one for every row ever produced), the row number from 1 and the sample's
// time stamp.
class SampleRows {
 public:
  SampleRows(const TableLayout& layout, size_t count, std::atomic<uint32_t>& counter)
      : layout_(layout), rows_(count * static_cast<size_t>(layout.rowSize), '\0'), count_(count) {
    char origin[kManagedSystemNameLen];
    ReturnLocalHost(origin);
    char stamp[kHQTimeStampLen];
    getHQTimeStamp(stamp);
    for (size_t i = 0; i < count; ++i)
      SetRowHeader((*this)[i], layout, origin, ++counter, static_cast<uint32_t>(i + 1), stamp);
  }
  char* operator[](size_t i) { return rows_.data() + i * static_cast<size_t>(layout_.rowSize); }
  char* data() { return rows_.data(); }
  int count() const { return static_cast<int>(count_); }

 private:
  const TableLayout& layout_;
  std::vector<char> rows_;
  size_t count_;
};

}  // namespace qmx
