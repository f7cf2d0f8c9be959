// Row time stamp, managed-system name and the age rule of script output files.
#include "qmxcommon_portable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jbx.h"
#include "qmxtrace.h"

void FormatHQTimeStamp(const std::tm& t, char* out) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%03d%02d%02d%02d%02d%02d%03d", t.tm_year, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, 0);
  std::memcpy(out, buf, kHQTimeStampLen);
}

void getHQTimeStamp(char* out) {
  QMX_ENTRY();
  std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  FormatHQTimeStamp(local, out);
}

void PadManagedSystemName(const char* text, char* out) {
  size_t n = text ? strnlen(text, kManagedSystemNameLen) : 0;
  std::memset(out, ' ', kManagedSystemNameLen);
  if (n) std::memcpy(out, text, n);
}

namespace {
const char* NonEmptyEnv(const char* name) {
  const char* v = BSS1_GetEnv(name, 0);
  return v && *v ? v : nullptr;
}
}  // namespace

void ReturnLocalHost(char* out) {
  QMX_ENTRY();
  std::memset(out, ' ', kManagedSystemNameLen);
  const char* host = NonEmptyEnv("VORTA_HOSTNAME");
  const char* subsystem = NonEmptyEnv("VORTA_SUBSYSTEM_ID");
  std::string name;
  if (host && subsystem) {
    QMX_FLOW("This is cluster configuration so setting VORTA_SUBSYSTEM_ID:VORTA_HOSTNAME:EX in system name");
    name = std::string(subsystem) + ":" + host + ":EX";
  } else if (host) {
    QMX_FLOW("VORTA_SUBSYSTEM_ID is empty so setting VORTA_HOSTNAME:EX in system name");
    name = std::string(host) + ":EX";
  } else {
    const char* computer = BSS1_GetEnv("COMPUTERNAME", 0);
    QMX_FLOW("VORTA_HOSTNAME is empty so setting System Name normally");
    name = std::string(computer ? computer : "") + ":EX";
  }
  PadManagedSystemName(name.c_str(), out);
  QMX_FLOW("Local Host obtained %.64s", out);
}

const char* CachedLocalHost() {
  static const struct Name {
    char text[kManagedSystemNameLen];
    Name() { ReturnLocalHost(text); }
  } name;
  return name.text;
}

AgeAsCalendar AgeToCalendar(uint64_t age100ns) {
  const uint64_t kPerSecond = 10000000ull;
  uint64_t seconds = age100ns / kPerSecond;
  int64_t days = static_cast<int64_t>(seconds / 86400);
  uint64_t rest = seconds % 86400;
  // Days from 1601-01-01 to a civil date (proleptic Gregorian), counted from 0000-03-01.
  int64_t z = days - 134774 + 719468;  // 1601-01-01 is 134774 days before 1970-01-01
  int64_t era = z / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  AgeAsCalendar c;
  c.year = static_cast<int>(y);
  c.month = static_cast<int>(m);
  c.day = static_cast<int>(d);
  c.hour = static_cast<int>(rest / 3600);
  c.minute = static_cast<int>(rest / 60 % 60);
  c.second = static_cast<int>(rest % 60);
  return c;
}

int FileAgeVerdict(uint64_t age100ns, const char* interval) {
  QMX_ENTRY();
  AgeAsCalendar age = AgeToCalendar(age100ns);
  QMX_FLOW("Year %d Month %d Day%d Hour %d Minute %d \n", age.year, age.month, age.day, age.hour,
           age.minute);
  uint64_t seconds = 0;
  if (interval && *interval) {
    for (const char* p = interval; *p; ++p) {
      if (*p < '0' || *p > '9') {
        QMX_FLOW("Invalid parameters specified in QMX_INTERVAL\n");
        QMX_RETURN(1);
      }
      seconds = seconds > UINT64_MAX / 100 ? UINT64_MAX / 10 : seconds * 10 + (*p - '0');
    }
  }
  uint64_t minutes = seconds / 60;
  QMX_FLOW("Agent Refresh Interval in mins- %d\n", static_cast<int>(minutes > 0x7FFFFFFF ? 0x7FFFFFFF : minutes));
  if (age.year == 1601 && age.month == 1 && age.day == 1 && age.hour == 0 &&
      static_cast<uint64_t>(age.minute) < minutes) {
    QMX_FLOW("Modification time is less than Agent Refresh Interval\n");
    QMX_RETURN(0);
  }
  QMX_FLOW("Modification time is more than Agent Refresh Interval\n");
  QMX_RETURN(1);
}
