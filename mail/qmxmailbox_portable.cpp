#include "qmxmailbox_portable.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qmxcivil.h"

namespace qmx::reach {
namespace {

using civil::DaysFromCivil;
using civil::DaysInMonth;

constexpr size_t kLineMax = 1023;
// Widths the cycle holds its record fields in (terminator included).
constexpr size_t kAddressWidth = 384, kReachableWidth = 2, kResponseWidth = 10, kRunTimeWidth = 40,
                 kServerWidth = 384;
constexpr long long kMaxThresholdSeconds = 86400;
constexpr long kMaxIntervalSeconds = 2147483;  // x 1000 still fits a signed 32-bit wait

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Cut(const std::string& s, size_t width) { return s.substr(0, width - 1); }

// Reads 1 to `most` digits at *p.
bool Digits(const char*& p, int most, int* out) {
  int n = 0, v = 0;
  while (n < most && std::isdigit(static_cast<unsigned char>(*p))) v = v * 10 + (*p++ - '0'), ++n;
  *out = v;
  return n > 0 && !std::isdigit(static_cast<unsigned char>(*p));
}

bool Expect(const char*& p, char c) {
  if (*p != c) return false;
  ++p;
  return true;
}

// A whole decimal number of up to 18 digits with an optional sign.
bool WholeNumber(const char* text, long long* out) {
  if (!text) return false;
  const char* p = text;
  while (*p == ' ') ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  size_t n = std::strspn(p, "0123456789");
  if (n == 0 || n > 18) return false;
  const char* end = p + n;
  while (*end == ' ') ++end;
  if (*end) return false;
  long long v = std::strtoll(p, nullptr, 10);
  *out = negative ? -v : v;
  return true;
}


}  // namespace

std::vector<std::string> TargetAddresses(const char* setting) {
  std::vector<std::string> targets;
  for (const std::string& piece : SplitFields(setting ? setting : "")) {
    std::string t = Trim(piece);
    if (!t.empty()) targets.push_back(t);
  }
  return targets;
}

bool ParseMailTime(const std::string& text, MailTime* out) {
  std::string t = Trim(text);
  const char* p = t.c_str();
  MailTime m;
  if (!Digits(p, 2, &m.month) || !Expect(p, '/') || !Digits(p, 2, &m.day) || !Expect(p, '/') ||
      !Digits(p, 4, &m.year) || !Blank(*p))
    return false;
  while (Blank(*p)) ++p;
  if (!Digits(p, 2, &m.hour) || !Expect(p, ':') || !Digits(p, 2, &m.minute) || !Expect(p, ':') ||
      !Digits(p, 2, &m.second) || *p)
    return false;
  // Three digits of years since 1900 in the stamp.
  if (m.year < 1900 || m.year > 2899 || m.month < 1 || m.month > 12 || m.day < 1 ||
      m.day > DaysInMonth(m.year, m.month) || m.hour > 23 || m.minute > 59 || m.second > 59)
    return false;
  *out = m;
  return true;
}

std::string StampOf(const MailTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%03d%02d%02d%02d%02d%02d000", t.year - 1900, t.month, t.day,
                t.hour, t.minute, t.second);
  return buf;
}

long long SecondsOf(const MailTime& t) {
  return DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) * 86400 +
         MillisecondsOfDay(t) / 1000;
}

long MillisecondsOfDay(const MailTime& t) {
  return ((t.hour * 60L + t.minute) * 60L + t.second) * 1000L;
}

bool ReplyCounts(const MailTime& sent, const MailTime& received, double* seconds) {
  long long d = SecondsOf(received) - SecondsOf(sent);
  if (d < 0) return false;
  *seconds = static_cast<double>(d);
  return true;
}

ToolOutput ReadToolOutput(const std::string& output) {
  ToolOutput r;
  size_t pos = 0;
  while (pos < output.size()) {
    size_t nl = output.find('\n', pos);
    size_t end = nl == std::string::npos ? output.size() : nl;
    size_t len = std::min(end - pos, kLineMax);
    std::string line = output.substr(pos, len);
    pos = pos + len == end ? end + 1 : pos + len;
    if (const size_t nul = line.find('\0'); nul != std::string::npos) line.resize(nul);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    const size_t colon = line.find(':');
    const std::string value = colon == std::string::npos ? std::string() : Trim(line.substr(colon + 1));
    MailTime t;
    if (line.find("SentTime:") != std::string::npos) {
      if (ParseMailTime(value, &t)) r.sent = t, r.sentSeen = true;
    } else if (line.find("ReceivedTime:") != std::string::npos) {
      if (ParseMailTime(value, &t)) r.received = t, r.replySeen = true;
    } else if (line.find("Name:") != std::string::npos) {
      r.replyFrom = value;
    }
    r.lines.push_back(std::move(line));
  }
  return r;
}

int CheckReplies(const std::string& addresses, const std::string& found) {
  const std::string list = Upper(found);
  for (const std::string& a : SplitFields(addresses))
    if (list.find(Upper(a)) == std::string::npos) return 99;
  return 0;
}

std::string CheckResponsesComplete(const std::string& sentStamp, const std::string& addresses,
                                   const std::string& found) {
  std::string result = found;
  const std::vector<std::string> pieces = SplitFields(Upper(found));
  for (const std::string& a : SplitFields(Upper(addresses))) {
    bool has = false;
    for (const std::string& p : pieces) has = has || p == a;
    if (has) continue;
    if (!result.empty()) result += ";";
    result += a + ";N;0.00;" + sentStamp + ";unknown";
  }
  return result;
}

std::string ResponseText(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%f", seconds);
  return buf;
}

std::string TargetServer(const std::string& userData) {
  const size_t eq = userData.rfind('=');
  if (eq == std::string::npos || eq + 1 == userData.size()) return "unknown";
  return userData.substr(eq + 1);
}

std::string DnsDomainOf(const std::string& dn) {
  std::string domain;
  size_t pos = 0;
  while (pos < dn.size()) {
    size_t comma = dn.find(',', pos);
    std::string rdn = Trim(dn.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (rdn.size() > 3 && Upper(rdn.substr(0, 3)) == "DC=") domain += "." + Upper(rdn.substr(3));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return domain;
}

std::string EscapeFilterValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      char buf[4];
      std::snprintf(buf, sizeof buf, "\\%02x", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<ReachRecord> RecordsOfResult(const std::string& result) {
  const std::vector<std::string> p = SplitFields(result);
  std::vector<ReachRecord> records;
  for (size_t k = 0; k + 5 <= p.size(); k += 5) {
    ReachRecord r;
    r.address = Cut(p[k], kAddressWidth);
    r.reachable = Cut(p[k + 1], kReachableWidth);
    r.response = Cut(p[k + 2], kResponseWidth);
    r.runTime = Cut(p[k + 3], kRunTimeWidth);
    r.server = Cut(p[k + 4], kServerWidth);
    records.push_back(std::move(r));
  }
  return records;
}

std::string FormatResultsFile(const std::vector<ReachRecord>& records) {
  std::string text;
  for (const ReachRecord& r : records)
    text += r.server + ";" + r.address + ";" + r.reachable + ";" + r.response + ";" + r.runTime + "\n";
  return text;
}

int32_t ResponseHundredths(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty()) return 0;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(t.c_str(), &end);
  if (end == t.c_str() || std::isnan(v)) return 0;
  v *= 100.0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

std::vector<ReachRow> ParseResultsFile(const std::string& text) {
  std::vector<ReachRow> rows;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string::npos ? text.size() : nl;
    std::string line = text.substr(pos, std::min(end - pos, kLineMax));
    pos = end + 1;
    if (const size_t nul = line.find('\0'); nul != std::string::npos) line.resize(nul);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::vector<std::string> f = SplitFields(line);
    f.resize(5);
    ReachRow r;
    r.server = f[0];
    r.address = f[1];
    r.reachable = f[2] == "Y" ? 1 : 0;
    r.responseHundredths = ResponseHundredths(f[3]);
    r.runTime = f[4];
    rows.push_back(std::move(r));
  }
  return rows;
}

long ReachabilityInterval(const char* setting) {
  long long v = 0;
  if (!WholeNumber(setting, &v) || v < 1) return -1;
  return static_cast<long>(v > kMaxIntervalSeconds ? kMaxIntervalSeconds : v);
}

long long ThresholdMs(const char* setting) {
  long long v = 0;
  if (!WholeNumber(setting, &v) || v <= 0) v = 60;
  if (v > kMaxThresholdSeconds) v = kMaxThresholdSeconds;
  return v * 1000;
}

}  // namespace qmx::reach
