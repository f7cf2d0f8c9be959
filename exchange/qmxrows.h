// Filling the rows of the directly collected tables by attribute name, from the table's layout.
#pragma once

#include <cstdint>
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

}  // namespace qmx
