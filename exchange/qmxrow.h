// Writing the fields of a table's row by attribute name, from the table's layout.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "table_layout.h"

namespace qmx {

class RowFields {
 public:
  RowFields(const TableLayout& layout, char* row) : layout_(layout), row_(row) {}
  char* At(const char* upperName) const {
    return row_ + layout_.attributes[static_cast<size_t>(layout_.Find(upperName))].offset;
  }
  int Width(const char* upperName) const {
    return layout_.attributes[static_cast<size_t>(layout_.Find(upperName))].width;
  }
  void Int(const char* upperName, int32_t value) const {
    std::memcpy(At(upperName), &value, sizeof value);
  }
  // The text cut to the field, the rest filled with `pad`.
  void Text(const char* upperName, const char* text, char pad = '\0') const {
    const size_t width = static_cast<size_t>(Width(upperName));
    const size_t n = text ? std::min(std::strlen(text), width) : 0;
    char* f = At(upperName);
    std::memset(f, pad, width);
    if (n) std::memcpy(f, text, n);
  }

 private:
  const TableLayout& layout_;
  char* row_;
};

}  // namespace qmx
