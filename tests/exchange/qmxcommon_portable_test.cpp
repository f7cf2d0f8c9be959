#include "qmxcommon_portable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "jbx.h"
#include "test_env.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using qmxtest::SetEnv;

std::tm Tm(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(HQTimeStamp, Format) {
  struct Case {
    std::tm t;
    const char* want;
  } cases[] = {
      {Tm(2011, 11, 9, 14, 25, 33), "1111109142533000"},
      {Tm(2011, 11, 9, 14, 5, 7), "1111109140507000"},
      {Tm(1999, 1, 2, 3, 4, 5), "0990102030405000"},
      {Tm(2038, 12, 31, 23, 59, 59), "1381231235959000"},
  };
  for (const Case& c : cases) {
    char out[kHQTimeStampLen + 4];
    std::memset(out, '#', sizeof out);
    FormatHQTimeStamp(c.t, out);
    EXPECT_EQ(std::string(out, kHQTimeStampLen), c.want);
    EXPECT_EQ(out[kHQTimeStampLen], '#');  // exactly 16 characters, no terminator
  }
}

TEST(HQTimeStamp, CurrentLocalTime) {
  char out[kHQTimeStampLen];
  std::time_t before = std::time(nullptr);
  getHQTimeStamp(out);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &before);
#else
  localtime_r(&before, &local);
#endif
  std::string s(out, kHQTimeStampLen);
  EXPECT_EQ(s.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(std::stoi(s.substr(0, 3)), local.tm_year);
  EXPECT_EQ(s.substr(13), "000");
}

TEST(ManagedSystemName, PaddedAndCut) {
  char out[kManagedSystemNameLen + 1];
  out[kManagedSystemNameLen] = '#';
  PadManagedSystemName("HOST:EX", out);
  EXPECT_EQ(std::string(out, kManagedSystemNameLen), "HOST:EX" + std::string(57, ' '));
  EXPECT_EQ(out[kManagedSystemNameLen], '#');
  std::string seventy(70, 'h');
  PadManagedSystemName(seventy.c_str(), out);
  EXPECT_EQ(std::string(out, kManagedSystemNameLen), std::string(64, 'h'));
  EXPECT_EQ(out[kManagedSystemNameLen], '#');
}

TEST(ManagedSystemName, FromTheEnvironment) {
  struct Case {
    const char* host;
    const char* subsystem;
    const char* computer;
    std::string want;
  } cases[] = {
      {"VCLUS", "SUB", "NODE1", "SUB:VCLUS:EX"},
      {"VCLUS", nullptr, "NODE1", "VCLUS:EX"},
      {nullptr, "SUB", "NODE1", "NODE1:EX"},
      {nullptr, nullptr, "NODE1", "NODE1:EX"},
      {"", "", "NODE1", "NODE1:EX"},
      // 70 characters and ":EX": the first 64 of the text.
      {"0123456789012345678901234567890123456789012345678901234567890123456789", nullptr, "N",
       "0123456789012345678901234567890123456789012345678901234567890123"},
  };
  for (const Case& c : cases) {
    SetEnv("VORTA_HOSTNAME", c.host);
    SetEnv("VORTA_SUBSYSTEM_ID", c.subsystem);
    SetEnv("COMPUTERNAME", c.computer);
    char out[kManagedSystemNameLen];
    ReturnLocalHost(out);
    std::string want = c.want + std::string(kManagedSystemNameLen - c.want.size(), ' ');
    EXPECT_EQ(std::string(out, kManagedSystemNameLen), want) << c.want;
  }
}

constexpr uint64_t kMinute = 600000000ull;  // 100 ns units

TEST(FileAge, CalendarReading) {
  AgeAsCalendar zero = AgeToCalendar(0);
  EXPECT_EQ(zero.year, 1601);
  EXPECT_EQ(zero.month, 1);
  EXPECT_EQ(zero.day, 1);
  EXPECT_EQ(zero.hour, 0);
  EXPECT_EQ(zero.minute, 0);
  AgeAsCalendar a = AgeToCalendar(61 * kMinute + 59 * 10000000ull);
  EXPECT_EQ(a.hour, 1);
  EXPECT_EQ(a.minute, 1);
  EXPECT_EQ(a.second, 59);
  a = AgeToCalendar(365ull * 24 * 60 * kMinute);  // 1601 is no leap year
  EXPECT_EQ(a.year, 1602);
  EXPECT_EQ(a.month, 1);
  EXPECT_EQ(a.day, 1);
  a = AgeToCalendar((31ull + 28) * 24 * 60 * kMinute);
  EXPECT_EQ(a.month, 3);
  EXPECT_EQ(a.day, 1);
  // 1601-01-01 to 2011-11-09 14:25:33 is 12965322333 seconds.
  a = AgeToCalendar(12965322333ull * 10000000ull);
  EXPECT_EQ(a.year, 2011);
  EXPECT_EQ(a.month, 11);
  EXPECT_EQ(a.day, 9);
  EXPECT_EQ(a.hour, 14);
  EXPECT_EQ(a.minute, 25);
  EXPECT_EQ(a.second, 33);
}

TEST(FileAge, Verdicts) {
  struct Case {
    uint64_t age;
    const char* interval;
    int verdict;
  } cases[] = {
      {9 * kMinute, "600", 0},
      {10 * kMinute, "600", 1},
      {9 * kMinute + 59 * 10000000ull, "600", 0},
      {61 * kMinute, "7200", 1},  // an hour or more is stale whatever the interval
      {59 * kMinute, "7200", 0},
      {24 * 60 * kMinute + kMinute, "7200", 1},
      {0, "", 1},
      {0, nullptr, 1},
      {0, "59", 1},  // under a minute of interval: nothing is fresh
      {0, "60", 0},
      {kMinute, "6x", 1},
      {kMinute, "99999999999999999999999", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FileAgeVerdict(c.age, c.interval), c.verdict)
        << c.age / kMinute << " min, " << (c.interval ? c.interval : "(unset)");
}

}  // namespace
