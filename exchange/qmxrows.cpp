// Row fields by attribute name.
#include "qmxrows.h"

#include "qmxcommon_portable.h"

#include <algorithm>
#include <cstring>

namespace qmx {
namespace {

const TableAttribute* Attribute(const TableLayout& layout, const char* upperName) {
  int i = layout.Find(upperName);
  return i < 0 ? nullptr : &layout.attributes[static_cast<size_t>(i)];
}

}  // namespace

void PutRowText(char* row, const TableLayout& layout, const char* upperName, const std::string& text) {
  const TableAttribute* a = Attribute(layout, upperName);
  if (!a || a->width == 0) return;
  size_t n = std::min<size_t>(text.size(), a->width - 1u);
  // Do not leave the first bytes of a cut UTF-8 character behind.
  if (n < text.size())
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  char* field = row + a->offset;
  std::memset(field, 0, a->width);
  std::memcpy(field, text.data(), n);
}

void PutRowInt32(char* row, const TableLayout& layout, const char* upperName, int32_t value) {
  const TableAttribute* a = Attribute(layout, upperName);
  if (a && a->width >= sizeof value) std::memcpy(row + a->offset, &value, sizeof value);
}

void PutRowHeader(char* row, const TableLayout& layout, const char* systemName, int32_t sampleNo,
                  int32_t rowNo, const char* stamp) {
  if (const TableAttribute* a = Attribute(layout, "ORIGINNODE"))
    std::memcpy(row + a->offset, systemName, std::min<size_t>(a->width, 64));
  if (const TableAttribute* a = Attribute(layout, "TIMESTAMP"))
    std::memcpy(row + a->offset, stamp, std::min<size_t>(a->width, 16));
  PutRowInt32(row, layout, "SAMPLENO", sampleNo);
  PutRowInt32(row, layout, "ROWNO", rowNo);
}

std::vector<char> SingleRow(const TableLayout& layout) {
  std::vector<char> row(static_cast<size_t>(layout.rowSize), '\0');
  char stamp[kHQTimeStampLen];
  getHQTimeStamp(stamp);
  PutRowHeader(row.data(), layout, CachedLocalHost(), 1, 1, stamp);
  return row;
}

SampleRows::SampleRows(const TableLayout& layout, size_t count, std::atomic<uint32_t>& counter)
    : layout_(layout), rows_(count * static_cast<size_t>(layout.rowSize), '\0'), count_(count) {
  char stamp[kHQTimeStampLen];
  getHQTimeStamp(stamp);
  for (size_t i = 0; i < count; ++i)
    PutRowHeader((*this)[i], layout, CachedLocalHost(), static_cast<int32_t>(++counter),
                 static_cast<int32_t>(i + 1), stamp);
}

}  // namespace qmx
