// Details files, tool command lines and the schedule rules of the mailbox and public folder cycles.
#include "qmxmaildetail_portable.h"

#include <cstring>
#include <limits>

namespace qmx {
namespace {

constexpr int64_t kMax32 = std::numeric_limits<int32_t>::max();
constexpr int64_t kMin32 = std::numeric_limits<int32_t>::min();

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int32_t Saturate(int64_t v) {
  return static_cast<int32_t>(v > kMax32 ? kMax32 : v < kMin32 ? kMin32 : v);
}

// Calls f(line) for every line of text, without its line end.
template <typename F>
void ForEachLine(const std::string& text, F f) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t stop = end;
    if (stop > at && text[stop - 1] == '\r') --stop;
    if (!f(text.substr(at, stop - at))) return;
    at = end + 1;
  }
}

size_t FirstNonBlank(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  return i;
}

bool IsBlankLine(const std::string& line) { return FirstNonBlank(line) == line.size(); }

// The ";" fields of a line; missing fields are empty, fields beyond `count` are ignored.
std::vector<std::string> Fields(const std::string& line, size_t count) {
  std::vector<std::string> fields(count);
  size_t at = 0;
  for (size_t i = 0; i < count && at <= line.size(); ++i) {
    size_t end = line.find(';', at);
    if (end == std::string::npos) end = line.size();
    fields[i] = line.substr(at, end - at);
    at = end + 1;
  }
  return fields;
}

std::string Cut(const std::string& text, size_t width) {
  return text.size() > width ? text.substr(0, width) : text;
}

}  // namespace

namespace {

// The leading blanks, sign and digits of a field from *at: the magnitude (beyond 32 bits it only
// needs to stay beyond them) and the sign.
int64_t SignedDigits(const std::string& field, size_t* at, bool* negative) {
  size_t i = FirstNonBlank(field);
  *negative = false;
  if (i < field.size() && (field[i] == '-' || field[i] == '+')) *negative = field[i++] == '-';
  int64_t v = 0;
  for (; i < field.size() && IsDigit(field[i]); ++i)
    if (v <= kMax32 + 1) v = v * 10 + (field[i] - '0');
  *at = i;
  return v;
}

}  // namespace

int32_t DecimalField(const std::string& field) {
  size_t at = 0;
  bool negative = false;
  const int64_t v = SignedDigits(field, &at, &negative);
  return Saturate(negative ? -v : v);
}

int32_t HundredthsField(const std::string& field) {
  size_t i = 0;
  bool negative = false;
  int64_t v = SignedDigits(field, &i, &negative) * 100;
  if (i < field.size() && field[i] == '.') {
    ++i;
    for (int64_t scale = 10; i < field.size() && IsDigit(field[i]) && scale > 0; ++i, scale /= 10)
      v += (field[i] - '0') * scale;
  }
  return Saturate(negative ? -v : v);
}

int32_t DeclaredCount(const std::string& firstLine) {
  size_t quote = firstLine.find('\'');
  if (quote == std::string::npos) return 0;
  return DecimalField(firstLine.substr(quote + 1));
}

std::string DefinedOr(const std::string& field) { return field.empty() ? "Undefined" : field; }

namespace {

void FillCommonFields(const std::vector<std::string>& f, DetailsRecord* r) {
  r->name = f[0];
  r->storageGroup = DefinedOr(f[1]);
  r->store = DefinedOr(f[2]);
  r->items = DecimalField(f[3]);
}

}  // namespace

std::vector<MailboxRecord> ParseMailboxDetails(const std::string& text) {
  std::vector<MailboxRecord> records;
  int32_t declared = -1;
  ForEachLine(text, [&](const std::string& line) {
    if (declared < 0) declared = DeclaredCount(line) < 0 ? 0 : DeclaredCount(line);
    if (static_cast<int64_t>(records.size()) >= declared) return false;
    if (IsBlankLine(line) || line[FirstNonBlank(line)] == '#') return true;
    std::vector<std::string> f = Fields(line, 8);
    MailboxRecord r;
    FillCommonFields(f, &r);
    r.size = DecimalField(f[4]);
    r.maxSize = DecimalField(f[5]) / 10;
    r.lastLogon = Cut(f[6], 16);
    r.lastLogon.resize(16, ' ');
    r.address = f[7];
    records.push_back(std::move(r));
    return true;
  });
  return records;
}

std::vector<PublicFolderRecord> ParsePublicFolderDetails(const std::string& text, int32_t* declared) {
  std::vector<PublicFolderRecord> records;
  bool first = true;
  int32_t count = 0;
  ForEachLine(text, [&](const std::string& line) {
    if (first) {
      first = false;
      count = DeclaredCount(line);
      return count > 0;
    }
    if (static_cast<int64_t>(records.size()) >= count) return false;
    if (IsBlankLine(line)) return true;
    std::vector<std::string> f = Fields(line, 6);
    PublicFolderRecord r;
    FillCommonFields(f, &r);
    r.sizeHundredths = HundredthsField(f[4]);
    r.lastAccess = Cut(f[5], 16);
    records.push_back(std::move(r));
    return true;
  });
  if (declared) *declared = count;
  return records;
}

const char* ReleaseText(int release) {
  return release == 5 ? "2010" : release == 3 ? "2007" : "N/A";
}

std::string PublicFolderFileName(int release) {
  if (release == 5) return "PublicFolderDetails2010.log";
  if (release == 3) return "PublicFolderDetails2007.log";
  return std::string();
}

std::string ToolDirectory(const std::string& logPath) {
  std::string path = logPath;
  // "C:\QMX\logs\" names the same folder as "C:\QMX\logs": its parent holds the tool.
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string DetailsCommandLine(const std::string& logPath, const char* option, int release,
                               const std::string& server, const std::string& detailsFile) {
  const std::string dir = ToolDirectory(logPath);
  const std::string tool = dir.empty() ? "qmxmbstat.exe" : dir + "\\qmxmbstat.exe";
  return "\"" + tool + "\" " + option + " " + ReleaseText(release) + " " + server + " \"" +
         detailsFile + "\"";
}

long CycleInterval(const char* setting) {
  if (!setting || !*setting) return -1;
  int64_t v = 0;
  for (const char* p = setting; *p; ++p) {
    if (!IsDigit(*p)) return -1;
    if (v < 4000000) v = v * 10 + (*p - '0');
  }
  if (v < 1) return -1;
  // Waits take milliseconds in 32 bits.
  return static_cast<long>(v > 4000000 ? 4000000 : v);
}

long PublicFolderInterval(long interval) { return interval < 301 ? 300 : interval; }

bool ParseRunTime(const char* text, int* hour, int* minute) {
  if (!text || std::strlen(text) != 5 || text[2] != ':') return false;
  for (int i : {0, 1, 3, 4})
    if (!IsDigit(text[i])) return false;
  int h = (text[0] - '0') * 10 + (text[1] - '0');
  int m = (text[3] - '0') * 10 + (text[4] - '0');
  if (h > 23 || m > 59) return false;
  *hour = h;
  *minute = m;
  return true;
}

long SecondsUntil(int hour, int minute, int nowHour, int nowMinute) {
  long minutes = (hour * 60L + minute) - (nowHour * 60L + nowMinute);
  minutes %= 1440;
  if (minutes < 0) minutes += 1440;
  return minutes * 60;
}

}  // namespace qmx
