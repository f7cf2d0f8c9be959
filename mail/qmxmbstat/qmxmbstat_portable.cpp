// Command line, scripts, record reader, units and details files of the statistics tool.
#include "qmxmbstat_portable.h"

#include <cstring>
#include <limits>

#include "qmxscripts_portable.h"

namespace qmx {
namespace mbstat {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(const std::string& s) {
  for (char c : s)
    if (!IsDigit(c)) return false;
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A decimal number of at most 64 bits; empty gives 0 when allowed.
bool ParseNumber(const std::string& s, bool emptyAllowed, uint64_t* value) {
  *value = 0;
  if (s.empty()) return emptyAllowed;
  if (s.size() > 20 || !AllDigits(s)) return false;
  for (char c : s) {
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (*value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    *value = *value * 10 + digit;
  }
  return true;
}

int Number(const std::string& s, size_t at, size_t n) { return std::stoi(s.substr(at, n)); }

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Empty, or yyyyMMddHHmmss naming a real moment.
bool IsTime(const std::string& s) {
  if (s.empty()) return true;
  if (s.size() != 14 || !AllDigits(s)) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int year = Number(s, 0, 4), month = Number(s, 4, 2), day = Number(s, 6, 2);
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  const int days = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  return day <= days && Number(s, 8, 2) < 24 && Number(s, 10, 2) < 60 && Number(s, 12, 2) < 60;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) return fields;
    at = tab + 1;
  }
}

// Length of the well-formed UTF-8 character at s[i], or 0.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;   // no overlong forms
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}

const char kFullwidthSemicolon[] = "\xEF\xBC\x9B";
const char kFullwidthNumberSign[] = "\xEF\xBC\x83";

std::string Decimal(int64_t v) { return std::to_string(v); }

}  // namespace

const char kUsage[] =
    "usage: qmxmbstat.exe [-timeout <seconds>] -mailboxdetails|-publicfolderdetails <2007|2010> "
    "<server> \"<details file>\"";

bool ParseArguments(const std::vector<std::string>& args, Arguments* out, std::string* error) {
  *out = Arguments();
  size_t i = 0;
  if (!args.empty() && Lower(args[0]) == "-timeout") {
    uint64_t seconds = 0;
    if (args.size() < 2 || !ParseNumber(args[1], false, &seconds) || seconds < 1 ||
        seconds > kMaxTimeoutSeconds) {
      *error = "-timeout needs a number of seconds from 1 to " + Decimal(kMaxTimeoutSeconds);
      return false;
    }
    out->timeoutSeconds = static_cast<unsigned>(seconds);
    i = 2;
  }
  if (args.size() - i != 4) {
    *error = "4 arguments expected after the options, " + Decimal(static_cast<int64_t>(args.size() - i)) + " given";
    return false;
  }
  for (const ModeEntry& m : Modes())
    if (Lower(args[i]) == m.option) out->mode = &m;
  if (!out->mode) {
    *error = "unknown mode \"" + args[i] + "\": -mailboxdetails or -publicfolderdetails expected";
    return false;
  }
  for (const ReleaseEntry& r : Releases())
    if (args[i + 1] == r.version) out->release = &r;
  if (!out->release) {
    *error = "unknown Exchange release \"" + args[i + 1] + "\": 2007 or 2010 expected";
    return false;
  }
  out->server = args[i + 2];
  if (!IsSafeServerName(out->server)) {
    *error = "server \"" + out->server + "\" is not a host name (letters, digits, \"-\" and \".\")";
    return false;
  }
  out->file = args[i + 3];
  if (out->file.empty()) {
    *error = "the details file name is empty";
    return false;
  }
  for (char c : out->file)
    if (static_cast<unsigned char>(c) < 0x20) {
      *error = "the details file name holds a control character";
      return false;
    }
  return true;
}

std::string PowerShellLiteral(const std::string& utf8) {
  // ' and U+2018 to U+201B all close a single-quoted string; doubled, each stands for itself.
  static const char* const kQuotes[] = {"'", "\xE2\x80\x98", "\xE2\x80\x99", "\xE2\x80\x9A", "\xE2\x80\x9B"};
  std::string out = "'";
  for (size_t i = 0; i < utf8.size();) {
    bool quoted = false;
    for (const char* q : kQuotes) {
      const size_t n = std::strlen(q);
      if (utf8.compare(i, n, q) == 0) {
        out.append(q).append(q);
        i += n;
        quoted = true;
        break;
      }
    }
    if (!quoted) out += utf8[i++];
  }
  return out + "'";
}

std::string BuildScript(const ModeEntry& mode, const ReleaseEntry& release, const std::string& server,
                        const std::string& recordsPathUtf8) {
  const std::pair<const char*, std::string> values[] = {
      {"mode", mode.option + 1},
      {"snapin", release.snapin},
      {"server", PowerShellLiteral(server)},
      {"output", PowerShellLiteral(recordsPathUtf8)},
  };
  std::string script;
  for (const char* const* part : {ScriptStart(), mode.body, ScriptEnd()}) {
    for (const char* const* line = part; *line; ++line) {
      // One pass: a value never has its own text taken for a placeholder.
      const std::string text = *line;
      size_t at = 0;
      for (size_t open; (open = text.find("{{", at)) != std::string::npos;) {
        const size_t close = text.find("}}", open);
        if (close == std::string::npos) break;
        const std::string name = text.substr(open + 2, close - open - 2);
        script.append(text, at, open - at);
        bool known = false;
        for (const auto& v : values)
          if (name == v.first) {
            script += v.second;
            known = true;
          }
        if (!known) script.append(text, open, close + 2 - open);
        at = close + 2;
      }
      script.append(text, at, std::string::npos);
      script += "\r\n";
    }
  }
  return script;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k)
      v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k)
      out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

std::string ShellCommandLine(const std::string& scriptUtf16le) {
  return "PowerShell.exe -NoLogo -NoProfile -NonInteractive -EncodedCommand " + Base64(scriptUtf16le);
}

void RecordReader::Fail(const std::string& why) {
  if (error_.empty()) error_ = why;
}

void RecordReader::Feed(const char* data, size_t size) {
  if (!error_.empty()) return;
  const char* end = data + size;
  while (data < end) {
    const char* newline = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)));
    const char* stop = newline ? newline : end;
    if (partial_.size() + static_cast<size_t>(stop - data) > kMaxRecordLine) {
      Fail("line " + Decimal(static_cast<int64_t>(lineNo_ + 1)) + " is longer than " +
           Decimal(kMaxRecordLine) + " bytes");
      partial_.clear();
      return;
    }
    partial_.append(data, stop);
    if (!newline) return;
    std::string line;
    line.swap(partial_);
    Line(line);
    if (!error_.empty()) return;
    data = newline + 1;
  }
}

void RecordReader::Line(const std::string& raw) {
  const std::string where = "line " + Decimal(static_cast<int64_t>(++lineNo_)) + ": ";
  std::string line = raw;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (lineNo_ == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  if (ended_) return Fail(where + "text after the end record");
  if (line.empty()) return Fail(where + "empty line");
  const std::vector<std::string> f = SplitTabs(line);
  const size_t records = mode_.mode == Mode::kMailboxes ? mailboxes_.size() : folders_.size();
  const std::string tag(1, mode_.tag);
  if (f[0] == "E") {
    uint64_t count = 0;
    if (f.size() != 2 || !ParseNumber(f[1], false, &count))
      return Fail(where + "the end record is not \"E<tab><count>\"");
    if (count != records)
      return Fail(where + "the end record counts " + f[1] + " records, " +
                  Decimal(static_cast<int64_t>(records)) + " came before it");
    ended_ = true;
    return;
  }
  if (f[0] != tag)
    return Fail(where + "a record of type \"" + f[0].substr(0, 16) + "\" where " + tag +
                " or E was expected");
  if (f.size() != mode_.fields)
    return Fail(where + "a record of " + Decimal(static_cast<int64_t>(f.size())) + " fields, " +
                Decimal(static_cast<int64_t>(mode_.fields)) + " expected");
  if (records >= maxRecords_) return Fail(where + "more than " + Decimal(static_cast<int64_t>(maxRecords_)) + " records");
  if (mode_.mode == Mode::kMailboxes) {
    MailboxRecord r;
    r.name = f[1];
    r.storageGroup = f[2];
    r.database = f[3];
    if (!ParseNumber(f[4], true, &r.items)) return Fail(where + "item count \"" + f[4] + "\" is not a number");
    if (!ParseNumber(f[5], true, &r.sizeBytes)) return Fail(where + "size \"" + f[5] + "\" is not a number");
    r.unlimited = f[6].empty();
    if (!ParseNumber(f[6], true, &r.quotaBytes)) return Fail(where + "quota \"" + f[6] + "\" is not a number");
    if (!IsTime(f[7])) return Fail(where + "last logon \"" + f[7] + "\" is not yyyyMMddHHmmss");
    r.lastLogon = f[7];
    r.address = f[8];
    mailboxes_.push_back(std::move(r));
  } else {
    FolderRecord r;
    r.name = f[1];
    r.storageGroup = f[2];
    r.database = f[3];
    if (!ParseNumber(f[4], true, &r.items)) return Fail(where + "item count \"" + f[4] + "\" is not a number");
    if (!ParseNumber(f[5], true, &r.sizeBytes)) return Fail(where + "size \"" + f[5] + "\" is not a number");
    if (!IsTime(f[6])) return Fail(where + "last access \"" + f[6] + "\" is not yyyyMMddHHmmss");
    r.lastAccess = f[6];
    folders_.push_back(std::move(r));
  }
}

bool RecordReader::Finish(std::string* error) {
  if (error_.empty() && !partial_.empty()) {
    std::string line;
    line.swap(partial_);
    Line(line);
  }
  if (error_.empty() && !ended_) {
    const size_t records = mode_.mode == Mode::kMailboxes ? mailboxes_.size() : folders_.size();
    if (lineNo_ == 0)
      Fail("the shell wrote no records and no end record");
    else
      Fail("the output stops after " + Decimal(static_cast<int64_t>(records)) +
           " records without its end record: the shell did not finish");
  }
  if (error) *error = error_;
  return error_.empty();
}

int32_t Saturated32(uint64_t value) {
  const uint64_t max = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(value > max ? max : value);
}

namespace {
constexpr unsigned kMegabyteShift = 20;
constexpr uint64_t kMegabyteRest = (uint64_t{1} << kMegabyteShift) - 1;

// bytes × scale / 1 MB, cut toward zero, without overflow for any 64-bit size.
uint64_t ScaledMegabytes(uint64_t bytes, uint64_t scale) {
  return (bytes >> kMegabyteShift) * scale + (((bytes & kMegabyteRest) * scale) >> kMegabyteShift);
}
}  // namespace

int32_t WholeMegabytes(uint64_t bytes) { return Saturated32(bytes >> kMegabyteShift); }

int32_t TenthsOfMegabyte(uint64_t bytes) { return Saturated32(ScaledMegabytes(bytes, 10)); }

std::string MegabytesTwoDecimals(uint64_t bytes) {
  const int32_t hundredths = Saturated32(ScaledMegabytes(bytes, 100));
  const std::string cents = Decimal(hundredths % 100);
  return Decimal(hundredths / 100) + "." + (cents.size() < 2 ? "0" : "") + cents;
}

std::string RowTime(const std::string& time) {
  if (time.size() != 14 || !AllDigits(time)) return std::string();
  const int year = Number(time, 0, 4);
  if (year < 1900 || year > 2899) return std::string();
  std::string since = Decimal(year - 1900);
  return std::string(3 - since.size(), '0') + since + time.substr(4) + "000";
}

std::string DetailsText(const std::string& text, bool first) {
  std::string out;
  bool leading = first;  // still before the line's first non-blank character
  for (size_t i = 0; i < text.size();) {
    std::string piece;
    const size_t n = Utf8Length(text, i);
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (n == 0) {
      piece = "?";
    } else if (b < 0x20 || b == 0x7F || (b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
      piece = " ";  // C0 and C1 controls
    } else if (b == ';') {
      piece = kFullwidthSemicolon;
    } else if (b == '#' && leading) {
      piece = kFullwidthNumberSign;
    } else {
      piece = text.substr(i, n);
    }
    if (out.size() + piece.size() > kMaxTextBytes) break;
    if (piece != " ") leading = false;
    out += piece;
    i += n ? n : 1;
  }
  return out;
}

std::string MailboxDetailsText(const std::vector<MailboxRecord>& records) {
  std::string text = "# Mailbox Details - Total Mailboxes:'" + Decimal(static_cast<int64_t>(records.size())) +
                     "' (size in MB, maximum size in tenths of MB, 0: no limit)\r\n";
  for (const MailboxRecord& r : records) {
    text += DetailsText(r.name, true) + ";" + DetailsText(r.storageGroup, false) + ";" +
            DetailsText(r.database, false) + ";" + Decimal(Saturated32(r.items)) + ";" +
            Decimal(WholeMegabytes(r.sizeBytes)) + ";" +
            Decimal(r.unlimited ? 0 : TenthsOfMegabyte(r.quotaBytes)) + ";" + RowTime(r.lastLogon) +
            ";" + DetailsText(r.address, false) + "\r\n";
  }
  return text;
}

std::string PublicFolderDetailsText(const std::vector<FolderRecord>& records) {
  std::string text = "# Public Folder Details - Total Public Folders:'" +
                     Decimal(static_cast<int64_t>(records.size())) + "' (size in MB)\r\n";
  for (const FolderRecord& r : records) {
    text += DetailsText(r.name, true) + ";" + DetailsText(r.storageGroup, false) + ";" +
            DetailsText(r.database, false) + ";" + Decimal(Saturated32(r.items)) + ";" +
            MegabytesTwoDecimals(r.sizeBytes) + ";" + RowTime(r.lastAccess) + "\r\n";
  }
  return text;
}

}  // namespace mbstat
}  // namespace qmx
