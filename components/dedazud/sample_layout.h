// How the counter service lays out one row: the row header described by strings 240 to 242 and
// the fields of a counter set definition; value scaling and the row time stamp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "counter_set.h"

namespace dedazud {

enum HeaderRole { HDR_OTHER, HDR_ORIGIN, HDR_SAMPLE, HDR_ROW, HDR_TIMESTAMP };

struct HeaderField {
  std::string name;  // "_ORIGIN_", "_SAMPLE_", "_ROW_", "_TIMESTAMP_"
  int width = 0;
  int offset = 0;
  HeaderRole role = HDR_OTHER;
};

// "4 _ORIGIN_ , _SAMPLE_ , _ROW_ , _TIMESTAMP_", "64 4  4 16", "0 64 68 72". False with a
// reason when the three strings do not agree or a number field is not 4 or 8 bytes wide.
bool ParseRowHeader(const std::string& names, const std::string& widths, const std::string& offsets,
                    std::vector<HeaderField>* out, std::string* error);

// The checks the service needs before it writes rows of this layout into memory: every field and
// header field inside the row, no field over the header, widths the types can be written in.
bool CheckLayout(const qmx::CounterSetDefinition& def, const std::vector<HeaderField>& header,
                 std::string* error);

// value x scale rounded to the nearest integer, halves away from zero, held at the range of a
// signed integer of `width` bytes (4 or 8). NaN gives the not-available marker (all bits one).
int64_t ScaleToInteger(double value, double scale, int width, bool* isMarker);

// Writes v little-endian in `width` bytes.
void PutInteger(uint8_t* at, int width, int64_t v);
void PutMarker(uint8_t* at, int width);

// Text into a fixed field, NUL-padded; a UTF-8 sequence that does not fit whole is left out.
void PutText(uint8_t* at, int width, const std::string& text, bool utf8);

// "%03d%02d%02d%02d%02d%02d%03d" from years since 1900, month, day, hour, minute, second and 0.
std::string RowTimestamp(int year, int month, int day, int hour, int minute, int second);

}  // namespace dedazud
