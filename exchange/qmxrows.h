// Filling the rows of the directly collected tables by attribute name, from the table's layout.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "table_layout.h"

namespace qmx {

// Text is cut inside the field's width (never inside a UTF-8 character), terminated and
// zero-filled. Unknown attribute names are ignored.
void PutRowText(char* row, const TableLayout& layout, const char* upperName, const std::string& text);
void PutRowInt32(char* row, const TableLayout& layout, const char* upperName, int32_t value);
// The four header attributes, wherever the table's header order puts them. systemName holds the
// 64 bytes of the managed-system name, stamp the 16 characters of the row time stamp.
void PutRowHeader(char* row, const TableLayout& layout, const char* systemName, int32_t sampleNo,
                  int32_t rowNo, const char* stamp);

// The single row of a one-row table: zero-filled, header with sample and row number 1, this
// process's managed-system name and the current time stamp.
std::vector<char> SingleRow(const TableLayout& layout);

// The rows of one sample, zero-filled, each with its header: the managed-system name, the table's
// sample number (grows by one for every row ever produced), the row number from 1 and the sample's
// time stamp.
class SampleRows {
 public:
  SampleRows(const TableLayout& layout, size_t count, std::atomic<uint32_t>& counter);
  char* operator[](size_t i) { return rows_.data() + i * static_cast<size_t>(layout_.rowSize); }
  char* data() { return rows_.data(); }
  int count() const { return static_cast<int>(count_); }

 private:
  const TableLayout& layout_;
  std::vector<char> rows_;
  size_t count_;
};

// One row's fields by attribute name, for rows whose text fields fill their whole width (padded
// with `pad`, no terminator) and that copy fields in place.
class RowFields {
 public:
  RowFields(const TableLayout& layout, char* row) : layout_(layout), row_(row) {}
  char* At(const char* upperName) const {
    return row_ + layout_.attributes[static_cast<size_t>(layout_.Find(upperName))].offset;
  }
  int Width(const char* upperName) const {
    return layout_.attributes[static_cast<size_t>(layout_.Find(upperName))].width;
  }
  void Int(const char* upperName, int32_t value) const { PutRowInt32(row_, layout_, upperName, value); }
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
