// The statistics tool's command line, scripts, record reader, size units and details files: no
// operating system needed.
#include "qmxmbstat_portable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace qmx::mbstat;

namespace {

const ModeEntry& MailboxMode() { return Modes()[0]; }
const ModeEntry& FolderMode() { return Modes()[1]; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (size_t end; (end = line.find(sep, at)) != std::string::npos; at = end + 1)
    parts.push_back(line.substr(at, end - at));
  parts.push_back(line.substr(at));
  return parts;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(MbstatArguments, GoodCommandLines) {
  struct Case {
    std::vector<std::string> args;
    Mode mode;
    const char* version;
    unsigned timeout;
  } cases[] = {
      {{"-mailboxdetails", "2010", "EXCH01", "C:\\QMX\\logs\\MailBox_Details.log"}, Mode::kMailboxes, "2010",
       kDefaultTimeoutSeconds},
      {{"-publicfolderdetails", "2007", "ex-01.corp.example.com", "PublicFolderDetails2007.log"},
       Mode::kPublicFolders, "2007", kDefaultTimeoutSeconds},
      {{"-MailboxDetails", "2007", "e", "x"}, Mode::kMailboxes, "2007", kDefaultTimeoutSeconds},
      {{"-timeout", "5", "-publicfolderdetails", "2010", "EXCH01", "C:\\a b\\f.log"}, Mode::kPublicFolders, "2010", 5},
      {{"-timeout", "86400", "-mailboxdetails", "2010", "EXCH01", "f"}, Mode::kMailboxes, "2010", 86400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    Arguments a;
    std::string error;
    ASSERT_TRUE(ParseArguments(c.args, &a, &error)) << error;
    EXPECT_EQ(a.mode->mode, c.mode);
    EXPECT_STREQ(a.release->version, c.version);
    EXPECT_EQ(a.server, c.args[c.args.size() - 2]);
    EXPECT_EQ(a.file, c.args.back());
    EXPECT_EQ(a.timeoutSeconds, c.timeout);
  }
}

TEST(MbstatArguments, BadCommandLinesSayWhy) {
  struct Case {
    std::vector<std::string> args;
    const char* reason;
  } cases[] = {
      {{}, "4 arguments expected"},
      {{"-mailboxdetails", "2010", "EXCH01"}, "4 arguments expected"},
      {{"-mailboxdetails", "2010", "EXCH01", "f", "extra"}, "4 arguments expected"},
      {{"-details", "2010", "EXCH01", "f"}, "unknown mode \"-details\""},
      {{"-mailboxdetails", "N/A", "EXCH01", "f"}, "unknown Exchange release \"N/A\""},
      {{"-mailboxdetails", "2013", "EXCH01", "f"}, "unknown Exchange release \"2013\""},
      {{"-mailboxdetails", "2010", "EX'01", "f"}, "is not a host name"},
      {{"-mailboxdetails", "2010", "EX01;calc", "f"}, "is not a host name"},
      {{"-mailboxdetails", "2010", "", "f"}, "is not a host name"},
      {{"-mailboxdetails", "2010", std::string(254, 'a'), "f"}, "is not a host name"},
      {{"-mailboxdetails", "2010", "EXCH01", ""}, "file name is empty"},
      {{"-mailboxdetails", "2010", "EXCH01", "a\nb"}, "control character"},
      {{"-timeout", "0", "-mailboxdetails", "2010", "EXCH01", "f"}, "-timeout needs"},
      {{"-timeout", "86401", "-mailboxdetails", "2010", "EXCH01", "f"}, "-timeout needs"},
      {{"-timeout", "5s", "-mailboxdetails", "2010", "EXCH01", "f"}, "-timeout needs"},
      {{"-timeout", "99999999999999999999999", "-mailboxdetails", "2010", "EXCH01", "f"}, "-timeout needs"},
      {{"-timeout"}, "-timeout needs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    Arguments a;
    std::string error;
    EXPECT_FALSE(ParseArguments(c.args, &a, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(MbstatScript, PowerShellLiteralsDoubleEveryQuote) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", "''"},
      {"C:\\QMX\\logs\\f.log", "'C:\\QMX\\logs\\f.log'"},
      {"it's", "'it''s'"},
      {"''", "''''''"},
      {"a\xE2\x80\x98" "b\xE2\x80\x99" "c\xE2\x80\x9A" "d\xE2\x80\x9B",
       "'a\xE2\x80\x98\xE2\x80\x98" "b\xE2\x80\x99\xE2\x80\x99" "c\xE2\x80\x9A\xE2\x80\x9A" "d\xE2\x80\x9B\xE2\x80\x9B'"},
      {"$(calc) `n \"x\"", "'$(calc) `n \"x\"'"},
      {"\xE2\x80\x9C", "'\xE2\x80\x9C'"},  // a double quotation mark is no string end here
  };
  for (const Case& c : cases) EXPECT_EQ(PowerShellLiteral(c.in), c.out) << c.in;
}

TEST(MbstatScript, EveryModeAndReleaseFillsItsPlaceholders) {
  const std::string path = "C:\\QMX\\it's {{server}}\\MailBox_Details.log.7.records";
  for (const ModeEntry& mode : Modes()) {
    for (const ReleaseEntry& release : Releases()) {
      SCOPED_TRACE(std::string(mode.option) + " " + release.version);
      const std::string script = BuildScript(mode, release, "EXCH01", path);
      const std::vector<std::string> lines = Lines(script);
      ASSERT_GT(lines.size(), 5u);
      EXPECT_EQ(lines[0].rfind(std::string("# qmxmbstat ") + (mode.option + 1), 0), 0u) << lines[0];
      EXPECT_EQ(Count(script, std::string("Add-PSSnapin ") + release.snapin + "\r\n"), 1u);
      for (const ReleaseEntry& other : Releases())
        if (&other != &release) {
          EXPECT_EQ(script.find(other.snapin), std::string::npos);
        }
      // Placeholders only where the script has them: the path's own "{{server}}" stays as it is.
      EXPECT_EQ(Count(script, "{{"), 1u);
      EXPECT_EQ(Count(script, "New-Object IO.StreamWriter(" + PowerShellLiteral(path) + ","), 1u);
      // Every cmdlet given a server names this one, quoted.
      const size_t servers = Count(script, "-Server ");
      EXPECT_GE(servers, 1u);
      EXPECT_EQ(Count(script, "-Server 'EXCH01'"), servers);
      const bool mailboxes = mode.mode == Mode::kMailboxes;
      for (const char* cmdlet : {"Get-Mailbox -Server", "Get-MailboxStatistics -Identity", "Get-MailboxDatabase -Server"})
        EXPECT_EQ(script.find(cmdlet) != std::string::npos, mailboxes) << cmdlet;
      EXPECT_EQ(script.find("Get-PublicFolderStatistics -Server") != std::string::npos, !mailboxes);
      // Records of the mode's type, and the end record last.
      EXPECT_NE(script.find(std::string("Record @('") + mode.tag + "', "), std::string::npos);
      EXPECT_EQ(lines[lines.size() - 2], "Record @('E', $count.ToString($inv))");
      EXPECT_EQ(lines.back(), "$out.Close()");
    }
  }
}

TEST(MbstatScript, Base64OfKnownVectorsAndTheCommandLine) {
  struct Case {
    std::string in;
    const char* out;
  } cases[] = {
      {"", ""},           {"f", "Zg=="},          {"fo", "Zm8="},
      {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},   {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {std::string("\xFF\xFE\x00", 3), "//4A"}, {"\xFB\xEF", "++8="},
  };
  for (const Case& c : cases) EXPECT_EQ(Base64(c.in), c.out) << c.in;
  // "ab" in UTF-16LE.
  EXPECT_EQ(ShellCommandLine(std::string("a\0b\0", 4)),
            "PowerShell.exe -NoLogo -NoProfile -NonInteractive -EncodedCommand YQBiAA==");
}

struct ReadResult {
  bool ok;
  std::string error;
  size_t records;
};

ReadResult Read(const ModeEntry& mode, const std::string& text, size_t step) {
  RecordReader reader(mode);
  for (size_t i = 0; i < text.size(); i += step) reader.Feed(text.data() + i, std::min(step, text.size() - i));
  ReadResult r;
  r.ok = reader.Finish(&r.error);
  r.records = mode.mode == Mode::kMailboxes ? reader.mailboxes().size() : reader.folders().size();
  return r;
}

const char kAlice[] = "M\tAlice Smith\tFirst Storage Group\tMailbox Database\t120\t36700160\t1073741824\t20111109142533\talice@corp.example.com";
const char kBob[] = "M\tBob\t\tDB02\t\t\t\t\tbob@corp.example.com";

TEST(MbstatRecords, MailboxRecordsInShape) {
  const std::string text = std::string("\xEF\xBB\xBF") + kAlice + "\r\n" + kBob + "\r\nE\t2\r\n";
  RecordReader reader(MailboxMode());
  reader.Feed(text.data(), text.size());
  std::string error;
  ASSERT_TRUE(reader.Finish(&error)) << error;
  ASSERT_EQ(reader.mailboxes().size(), 2u);
  const MailboxRecord& a = reader.mailboxes()[0];
  EXPECT_EQ(a.name, "Alice Smith");
  EXPECT_EQ(a.storageGroup, "First Storage Group");
  EXPECT_EQ(a.database, "Mailbox Database");
  EXPECT_EQ(a.items, 120u);
  EXPECT_EQ(a.sizeBytes, 36700160u);
  EXPECT_FALSE(a.unlimited);
  EXPECT_EQ(a.quotaBytes, 1073741824u);
  EXPECT_EQ(a.lastLogon, "20111109142533");
  EXPECT_EQ(a.address, "alice@corp.example.com");
  const MailboxRecord& b = reader.mailboxes()[1];
  EXPECT_EQ(b.storageGroup, "");
  EXPECT_EQ(b.items, 0u);
  EXPECT_EQ(b.sizeBytes, 0u);
  EXPECT_TRUE(b.unlimited);
  EXPECT_EQ(b.lastLogon, "");
  EXPECT_TRUE(reader.folders().empty());
}

TEST(MbstatRecords, FolderRecordsInShape) {
  const std::string text =
      "P\tMarketing\tSG2\tPublic Folder Database\t7\t13000000\t20101231235959\nP\tEmpty\t\tPF01\t0\t0\t\nE\t2";
  RecordReader reader(FolderMode());
  reader.Feed(text.data(), text.size());
  std::string error;
  ASSERT_TRUE(reader.Finish(&error)) << error;
  ASSERT_EQ(reader.folders().size(), 2u);
  EXPECT_EQ(reader.folders()[0].name, "Marketing");
  EXPECT_EQ(reader.folders()[0].storageGroup, "SG2");
  EXPECT_EQ(reader.folders()[0].database, "Public Folder Database");
  EXPECT_EQ(reader.folders()[0].items, 7u);
  EXPECT_EQ(reader.folders()[0].sizeBytes, 13000000u);
  EXPECT_EQ(reader.folders()[0].lastAccess, "20101231235959");
  EXPECT_EQ(reader.folders()[1].lastAccess, "");
}

TEST(MbstatRecords, OutputsOfEveryShapeAtEveryChunking) {
  const std::string alice = std::string(kAlice) + "\r\n";
  struct Case {
    const char* what;
    const ModeEntry& mode;
    std::string text;
    const char* error;  // null: read in shape
    size_t records;
  } cases[] = {
      {"no records", MailboxMode(), "E\t0\r\n", nullptr, 0},
      {"end record without line end", MailboxMode(), alice + "E\t1", nullptr, 1},
      {"LF line ends", MailboxMode(), std::string(kAlice) + "\nE\t1\n", nullptr, 1},
      {"empty output", MailboxMode(), "", "wrote no records and no end record", 0},
      {"cut before the end record", MailboxMode(), alice + alice, "stops after 2 records without its end record", 2},
      {"cut within a record", MailboxMode(), alice + "M\tCarol\tSG", "a record of 3 fields, 9 expected", 1},
      {"end record counts more", MailboxMode(), alice + "E\t2\r\n", "line 2: the end record counts 2 records, 1 came", 1},
      {"end record counts fewer", MailboxMode(), alice + alice + "E\t1\r\n", "counts 1 records, 2 came", 2},
      {"end record without count", MailboxMode(), "E\r\n", "line 1: the end record is not", 0},
      {"end record with a sign", MailboxMode(), "E\t+0\r\n", "the end record is not", 0},
      {"text after the end", MailboxMode(), "E\t0\r\nE\t0\r\n", "line 2: text after the end record", 0},
      {"blank line", MailboxMode(), alice + "\r\nE\t1\r\n", "line 2: empty line", 1},
      {"folder record in the mailbox run", MailboxMode(), "P\ta\tb\tc\t1\t2\t\r\nE\t1\r\n",
       "line 1: a record of type \"P\" where M or E was expected", 0},
      {"mailbox record in the folder run", FolderMode(), alice + "E\t1\r\n", "type \"M\" where P or E", 0},
      {"one field too many", MailboxMode(), alice.substr(0, alice.size() - 2) + "\textra\r\nE\t1\r\n",
       "a record of 10 fields, 9 expected", 0},
      {"format-list output", MailboxMode(), "\r\nName     : Alice\r\nItems    : 12\r\n", "line 1: empty line", 0},
      {"format-list output without blank", FolderMode(), "Name : F1\r\nDatabaseName : PF01\r\n",
       "type \"Name : F1\"", 0},
      {"items not a number", MailboxMode(), "M\ta\t\t\t12a\t\t\t\t\r\nE\t1\r\n", "item count \"12a\" is not a number", 0},
      {"negative size", MailboxMode(), "M\ta\t\t\t\t-5\t\t\t\r\nE\t1\r\n", "size \"-5\" is not a number", 0},
      {"size beyond 64 bits", FolderMode(), "P\ta\t\t\t\t18446744073709551616\t\r\nE\t1\r\n", "size \"18446744073709551616\"", 0},
      {"largest 64-bit size", FolderMode(), "P\ta\t\t\t\t18446744073709551615\t\r\nE\t1\r\n", nullptr, 1},
      {"quota with a unit", MailboxMode(), "M\ta\t\t\t\t\t2GB\t\t\r\nE\t1\r\n", "quota \"2GB\" is not a number", 0},
      {"30 February", MailboxMode(), "M\ta\t\t\t\t\t\t20110230120000\t\r\nE\t1\r\n", "last logon \"20110230120000\"", 0},
      {"29 February of a leap year", MailboxMode(), "M\ta\t\t\t\t\t\t20120229120000\t\r\nE\t1\r\n", nullptr, 1},
      {"29 February of 1900", FolderMode(), "P\ta\t\t\t\t\t19000229120000\r\nE\t1\r\n", "last access \"19000229120000\"", 0},
      {"hour 24", FolderMode(), "P\ta\t\t\t\t\t20111109240000\r\nE\t1\r\n", "is not yyyyMMddHHmmss", 0},
      {"time in another form", FolderMode(), "P\ta\t\t\t\t\t11/09/2011 14:25\r\nE\t1\r\n", "is not yyyyMMddHHmmss", 0},
      {"overlong line", FolderMode(), "P\t" + std::string(kMaxRecordLine, 'x') + "\t\t\t\t\t\r\nE\t1\r\n",
       "line 1 is longer than 65536 bytes", 0},
      {"NUL in a name", FolderMode(), std::string("P\ta\0b\t\t\t1\t2\t\r\nE\t1\r\n", 19), nullptr, 1},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{1}, size_t{7}, size_t{1} << 20}) {
      SCOPED_TRACE(std::string(c.what) + ", chunks of " + std::to_string(step));
      ReadResult r = Read(c.mode, c.text, step);
      EXPECT_EQ(r.ok, c.error == nullptr) << r.error;
      if (c.error) {
        EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
      }
      EXPECT_EQ(r.records, c.records);
    }
  }
}

TEST(MbstatRecords, NoMoreThanTheRecordBound) {
  const std::string record = "P\tf\t\t\t1\t1\t\n";
  for (size_t extra : {0, 1}) {
    RecordReader reader(FolderMode(), 3);
    for (size_t i = 0; i < 3 + extra; ++i) reader.Feed(record.data(), record.size());
    reader.Feed("E\t3\n", 4);
    std::string error;
    EXPECT_EQ(reader.Finish(&error), extra == 0) << error;
    if (extra) {
      EXPECT_NE(error.find("line 4: more than 3 records"), std::string::npos) << error;
    }
    EXPECT_EQ(reader.folders().size(), 3u);
  }
}

// The reference for the size units: exact arithmetic on 128 bits.
uint64_t Scaled(uint64_t bytes, unsigned scale) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(bytes) * scale) >> 20);
}

TEST(MbstatUnits, SizesInTheTablesUnits) {
  const uint64_t kMB = 1048576;
  const uint64_t samples[] = {0,        1,          kMB - 1,       kMB,          kMB + 1,
                              104857,   104858,     10485,         10486,        12 * kMB + 361759,
                              kMB * 1024, 3 * kMB / 2, 2147483647ull * kMB, 2147483648ull * kMB,
                              std::numeric_limits<uint64_t>::max()};
  const uint64_t max32 = std::numeric_limits<int32_t>::max();
  for (uint64_t b : samples) {
    SCOPED_TRACE(b);
    EXPECT_EQ(static_cast<uint64_t>(WholeMegabytes(b)), std::min(Scaled(b, 1), max32));
    EXPECT_EQ(static_cast<uint64_t>(TenthsOfMegabyte(b)), std::min(Scaled(b, 10), max32));
    // Read back as the public folder table reads it (the digits times 100), the hundredths.
    const std::string text = MegabytesTwoDecimals(b);
    const size_t dot = text.find('.');
    ASSERT_NE(dot, std::string::npos);
    ASSERT_EQ(text.size() - dot, 3u) << text;
    EXPECT_EQ(std::stoull(text.substr(0, dot)) * 100 + std::stoull(text.substr(dot + 1)), std::min(Scaled(b, 100), max32));
  }
  // The examples the details files document.
  EXPECT_EQ(TenthsOfMegabyte(1024 * kMB), 10240);
  EXPECT_EQ(MegabytesTwoDecimals(12 * kMB + 361759), "12.34");
  EXPECT_EQ(MegabytesTwoDecimals(0), "0.00");
  EXPECT_EQ(Saturated32(5000000000ull), 2147483647);
}

TEST(MbstatUnits, RowTimes) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"20111109142533", "1111109142533000"}, {"19000101000000", "0000101000000000"},
      {"19991231235959", "0991231235959000"}, {"28991231235959", "9991231235959000"},
      {"18991231235959", ""},                 {"29000101000000", ""},
      {"", ""},                               {"2011110914253", ""},
      {"2011110914253x", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(RowTime(c.in), c.out) << c.in;
}

TEST(MbstatDetails, TextsFitTheFileAndTheFields) {
  const std::string e = "\xC3\xA9";  // é
  struct Case {
    std::string in;
    bool first;
    std::string out;
  } cases[] = {
      {"Alice Smith", true, "Alice Smith"},
      {"R&D; Sales", false, "R&D\xEF\xBC\x9B Sales"},
      {"#team", true, "\xEF\xBC\x83team"},
      {"  #team", true, "  \xEF\xBC\x83team"},
      {"\t#team", true, " \xEF\xBC\x83team"},
      {"#team", false, "#team"},
      {"a#b", true, "a#b"},
      {"a\x01" "b\x7F" "c", false, "a b c"},
      {"a\xC2\x85" "b", false, "a b"},                      // a C1 control
      {"a\xC2\xA0" "b", false, "a\xC2\xA0" "b"},            // no-break space is text
      {"M" + e + "ller", false, "M" + e + "ller"},
      {"\xF0\x9F\x98\x80", false, "\xF0\x9F\x98\x80"},
      {"a\xFF" "b", false, "a?b"},
      {"\xC0\xAF", false, "??"},                            // overlong "/"
      {"\xED\xA0\x80", false, "???"},                       // a surrogate
      {"\xF4\x90\x80\x80", false, "????"},                  // beyond U+10FFFF
      {"\xE2\x82", false, "??"},                            // cut sequence
      {std::string(300, 'a'), false, std::string(kMaxTextBytes, 'a')},
      {std::string(kMaxTextBytes - 1, 'a') + e, false, std::string(kMaxTextBytes - 1, 'a')},
      {std::string(kMaxTextBytes - 2, 'a') + e, false, std::string(kMaxTextBytes - 2, 'a') + e},
      {std::string(kMaxTextBytes - 1, 'a') + ";", false, std::string(kMaxTextBytes - 1, 'a')},
  };
  for (const Case& c : cases) EXPECT_EQ(DetailsText(c.in, c.first), c.out) << c.in;
}

TEST(MbstatDetails, MailboxFile) {
  const uint64_t kMB = 1048576;
  MailboxRecord alice;
  alice.name = "Alice Smith";
  alice.storageGroup = "First Storage Group";
  alice.database = "Mailbox Database";
  alice.items = 120;
  alice.sizeBytes = 35 * kMB + 5;
  alice.unlimited = false;
  alice.quotaBytes = 1024 * kMB;
  alice.lastLogon = "20111109142533";
  alice.address = "alice@corp.example.com";
  MailboxRecord bob;
  bob.name = "#Bob; Jr";
  bob.database = "DB02";
  bob.items = 5000000000ull;
  bob.quotaBytes = 77;  // unlimited: not used
  EXPECT_EQ(MailboxDetailsText({alice, bob}),
            "# Mailbox Details - Total Mailboxes:'2' (size in MB, maximum size in tenths of MB, 0: no limit)\r\n"
            "Alice Smith;First Storage Group;Mailbox Database;120;35;10240;1111109142533000;alice@corp.example.com\r\n"
            "\xEF\xBC\x83" "Bob\xEF\xBC\x9B Jr;;DB02;2147483647;0;0;;\r\n");
  EXPECT_EQ(MailboxDetailsText({}),
            "# Mailbox Details - Total Mailboxes:'0' (size in MB, maximum size in tenths of MB, 0: no limit)\r\n");
}

TEST(MbstatDetails, PublicFolderFile) {
  FolderRecord f;
  f.name = "Marketing";
  f.storageGroup = "SG2";
  f.database = "Public Folder Database";
  f.items = 7;
  f.sizeBytes = 12 * 1048576 + 361759;
  f.lastAccess = "20101231235959";
  FolderRecord g;
  g.name = "Plans";
  EXPECT_EQ(PublicFolderDetailsText({f, g}),
            "# Public Folder Details - Total Public Folders:'2' (size in MB)\r\n"
            "Marketing;SG2;Public Folder Database;7;12.34;1101231235959000\r\n"
            "Plans;;;0;0.00;\r\n");
}

// However hostile the texts, every data line keeps its field count, stays within the 1023
// characters a line of the details files may have, and never begins with "#".
TEST(MbstatDetails, HostileTextsKeepTheLinesInShape) {
  const std::string worst = "  #" + std::string(400, ';') + "\r\n\xFF";
  MailboxRecord m;
  m.name = m.storageGroup = m.database = m.address = worst;
  m.items = m.sizeBytes = std::numeric_limits<uint64_t>::max();
  m.unlimited = false;
  m.quotaBytes = std::numeric_limits<uint64_t>::max();
  m.lastLogon = "20111109142533";
  FolderRecord f;
  f.name = f.storageGroup = f.database = worst;
  f.items = f.sizeBytes = std::numeric_limits<uint64_t>::max();
  f.lastAccess = "20111109142533";
  struct Case {
    std::string text;
    size_t fields;
  } cases[] = {{MailboxDetailsText({m, m}), 8}, {PublicFolderDetailsText({f, f}), 6}};
  for (const Case& c : cases) {
    std::vector<std::string> lines = Lines(c.text);
    ASSERT_EQ(lines.size(), 3u);
    for (size_t i = 1; i < lines.size(); ++i) {
      EXPECT_EQ(Split(lines[i], ';').size(), c.fields);
      EXPECT_LT(lines[i].size() + 2, 1024u);
      EXPECT_NE(lines[i][lines[i].find_first_not_of(' ')], '#');
      EXPECT_EQ(lines[i].find_first_of("\r\n\t"), std::string::npos);
    }
  }
}

}  // namespace
