// The executable's string table holds exactly the strings the definition data produces.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "counter_set_strings.h"

namespace {

// The agent loads definitions as single-byte text into a 4096-byte buffer.
bool Load(int id, std::string* out) {
  char buffer[4096] = {0};
  int n = LoadStringA(GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer, sizeof buffer);
  out->assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  return n > 0;
}

TEST(CounterSetResources, EveryStringLoadsAsTheDataWritesIt) {
  int count = 0, lineFeeds = 0;
  for (const auto& s : qmx::CounterSetResourceStrings()) {
    std::string loaded;
    ASSERT_TRUE(Load(s.first, &loaded)) << s.first;
    EXPECT_EQ(loaded, s.second) << s.first;
    for (char c : loaded) lineFeeds += c == '\n';
    ++count;
  }
  EXPECT_EQ(count, 318);
  EXPECT_EQ(lineFeeds, 2);  // one in 810, one in 820
}

TEST(CounterSetResources, GapsHaveNoString) {
  std::string loaded;
  for (int id : {835, 891, 892, 893, 894, 895, 1121, 243}) EXPECT_FALSE(Load(id, &loaded)) << id;
}

TEST(CounterSetResources, QuotesAndDoubleBlanksSurvive) {
  std::string loaded;
  ASSERT_TRUE(Load(241, &loaded));
  EXPECT_EQ(loaded, "64 4  4 16");
  ASSERT_TRUE(Load(869, &loaded));  // the scales of 866
  EXPECT_EQ(loaded.substr(loaded.size() - 3), "5  ");
  // The product strings of the same table are still there.
  ASSERT_TRUE(Load(5040, &loaded));
  EXPECT_EQ(loaded, "QMX");
}

}  // namespace
