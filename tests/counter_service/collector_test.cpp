// The counter service's engine without COM: layout checks, scaling and the row header format.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "collector.h"
#include "counter_set_strings.h"
#include "sample_layout.h"

namespace {

using dedazud::ScaleToInteger;

TEST(ScaleToInteger, RoundsHalvesAwayFromZeroAndHoldsAtTheRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case { double value, scale; int width; int64_t want; bool marker; };
  const Case cases[] = {
      {2.5, 1, 4, 3, false},
      {-2.5, 1, 4, -3, false},
      {2.4999, 1, 4, 2, false},
      {0.125, 100, 4, 13, false},                        // 12.5
      {5.5 * 1048576, 0.00000095367431640625, 4, 6, false},  // bytes to megabytes
      {1536, 0.0009765625, 4, 2, false},                 // 1.5 kilobytes
      {3e9, 1, 4, 2147483647, false},
      {-3e9, 1, 4, -2147483647 - 1, false},
      {2147483647.4, 1, 4, 2147483647, false},
      {1e19, 1, 8, std::numeric_limits<int64_t>::max(), false},
      {-1e19, 1, 8, std::numeric_limits<int64_t>::min(), false},
      {3e9, 1, 8, 3000000000LL, false},
      {inf, 1, 4, 2147483647, false},
      {nan, 100, 4, -1, true},
  };
  for (const Case& c : cases) {
    bool marker = false;
    EXPECT_EQ(ScaleToInteger(c.value, c.scale, c.width, &marker), c.want) << c.value << " x " << c.scale;
    EXPECT_EQ(marker, c.marker) << c.value;
  }
}

TEST(SampleLayout, TextIsPaddedAndNeverCutInsideAUtf8Sequence) {
  uint8_t field[6];
  memset(field, 0x55, sizeof field);
  dedazud::PutText(field, 4, "ab\xC3\xA9z", true);  // "abé" + "z": the é fits, z does not
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 4), "ab\xC3\xA9");
  dedazud::PutText(field, 3, "ab\xC3\xA9", true);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 3), std::string("ab\0", 3));
  dedazud::PutText(field, 3, "ab\xC3\xA9", false);  // single-byte text: cut where it ends
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field), 3), "ab\xC3");
  EXPECT_EQ(field[4], 0x55);
}

TEST(SampleLayout, RowTimestamp) {
  EXPECT_EQ(dedazud::RowTimestamp(2011, 11, 9, 14, 25, 33), "1111109142533000");
  EXPECT_EQ(dedazud::RowTimestamp(1999, 1, 2, 3, 4, 5), "0990102030405000");
}

TEST(SampleLayout, ReadsTheShippedRowHeader) {
  std::vector<std::string> s;
  ASSERT_TRUE(qmx::CounterSetStrings(240, &s));
  ASSERT_EQ(s.size(), 3u);
  std::vector<dedazud::HeaderField> h;
  std::string error;
  ASSERT_TRUE(dedazud::ParseRowHeader(s[0], s[1], s[2], &h, &error)) << error;
  ASSERT_EQ(h.size(), 4u);
  EXPECT_EQ(h[0].role, dedazud::HDR_ORIGIN);
  EXPECT_EQ(h[0].width, 64);
  EXPECT_EQ(h[1].role, dedazud::HDR_SAMPLE);
  EXPECT_EQ(h[1].offset, 64);
  EXPECT_EQ(h[2].role, dedazud::HDR_ROW);
  EXPECT_EQ(h[2].offset, 68);
  EXPECT_EQ(h[3].role, dedazud::HDR_TIMESTAMP);
  EXPECT_EQ(h[3].offset, 72);
  EXPECT_EQ(h[3].width, 16);
  EXPECT_FALSE(dedazud::ParseRowHeader("3 _ORIGIN_ , _SAMPLE_", "64 4", "0 64", &h, &error));
  EXPECT_FALSE(dedazud::ParseRowHeader("2 _ORIGIN_ , _SAMPLE_", "64 2", "0 64", &h, &error));
}

// Definitions that would make the service write outside a row are refused.
TEST(Collector, RefusesLayoutsItCannotWriteSafely) {
  std::vector<std::string> header;
  ASSERT_TRUE(qmx::CounterSetStrings(240, &header));
  struct Case { const char* what; std::string s[5]; };
  const Case cases[] = {
      {"field past the row", {"1 1 1 Obj( 1 A)", "92 8", "88", "1", "2"}},
      {"field over the header", {"1 1 1 Obj( 1 A)", "100 4", "80", "1", "2"}},
      {"two-byte integer", {"1 1 1 Obj( 1 A)", "100 2", "88", "1", "2"}},
      {"unknown type", {"1 1 1 Obj( 1 A)", "100 4", "88", "1", "7"}},
      {"counts disagree", {"2 1 1 Obj( 2 A, B)", "100 4", "88", "1", "2"}},
  };
  for (const Case& c : cases) {
    std::map<unsigned, std::string> table = {{240, header[0]}, {241, header[1]}, {242, header[2]}};
    for (unsigned k = 0; k < 5; ++k) table[500 + k] = c.s[k];
    dedazud::Collector col([&](unsigned id, std::string* out) {
      auto it = table.find(id);
      if (it == table.end()) return false;
      *out = it->second;
      return true;
    });
    ULONGLONG h = 5;
    EXPECT_EQ(col.DescribeSample(500, 240, &h), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)) << c.what;
    EXPECT_EQ(h, 0u);
  }
  // And a good one of the same shape is taken.
  std::map<unsigned, std::string> good = {{240, header[0]}, {241, header[1]}, {242, header[2]},
                                          {500, "1 1 1 Obj( 1 A)"}, {501, "92 4"}, {502, "88"},
                                          {503, "1"}, {504, "2"}};
  dedazud::Collector col([&](unsigned id, std::string* out) {
    auto it = good.find(id);
    if (it == good.end()) return false;
    *out = it->second;
    return true;
  });
  ULONGLONG h = 0;
  EXPECT_EQ(col.DescribeSample(500, 240, &h), S_OK);
  EXPECT_NE(h, 0u);
  EXPECT_EQ(col.DescribeSample(505, 240, &h), HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
}

}  // namespace
