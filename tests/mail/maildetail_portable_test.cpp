// The details file readers, the tool command lines, the first-run wait and the interval rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qmxmaildetail_portable.h"

namespace {

TEST(MailDetailNumbers, DecimalAndHundredthsFields) {
  struct Case {
    const char* text;
    int32_t decimal;
    int32_t hundredths;
  };
  const Case cases[] = {
      {"1024", 1024, 102400},
      {"12.345", 12, 1234},
      {"0.29", 0, 29},  // no floating point: 0.29 * 100 would truncate to 28
      {"-1.5", -1, -150},
      {"  7 KB", 7, 700},
      {"+3", 3, 300},
      {"", 0, 0},
      {"abc", 0, 0},
      {"2147483647", 2147483647, 2147483647},
      {"2147483648", 2147483647, 2147483647},
      {"99999999999999999999999", 2147483647, 2147483647},
      {"-2147483648", INT32_MIN, INT32_MIN},
      {"-99999999999999999999", INT32_MIN, INT32_MIN},
      {"21474836.47", 21474836, 2147483647},
      {"21474836.48", 21474836, 2147483647},
      {"5.", 5, 500},
      {".5", 0, 50},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qmx::DecimalField(c.text), c.decimal) << c.text;
    EXPECT_EQ(qmx::HundredthsField(c.text), c.hundredths) << c.text;
  }
}

TEST(MailDetailNumbers, DeclaredCount) {
  struct Case {
    const char* line;
    int32_t count;
  };
  const Case cases[] = {
      {"# Mailbox Details - Number of Mailboxes '3'", 3},
      {"Public Folder Details - Number of Folders '12'", 12},
      {"'2000000000'", 2000000000},
      {"'-5'", -5},
      {"no apostrophe 7", 0},
      {"''", 0},
      {"'99999999999'", 2147483647},
      {"'4' and '9'", 4},
  };
  for (const Case& c : cases) EXPECT_EQ(qmx::DeclaredCount(c.line), c.count) << c.line;
}

// The rows a mailbox file gives: name, storage group and store of each, in order.
std::string MailboxNames(const std::string& text) {
  std::string out;
  for (const qmx::MailboxRecord& r : qmx::ParseMailboxDetails(text))
    out += r.name + "/" + r.storageGroup + "/" + r.store + "|";
  return out;
}

TEST(MailboxDetailsFile, RowsAreBoundedByTheLinesPresent) {
  const std::string a = "a;SG1;DB1;1;2;30;2011-11-09 14:25;a@x\n";
  const std::string b = "b;SG1;DB1;1;2;30;2011-11-09 14:25;b@x\n";
  struct Case {
    const char* what;
    std::string text;
    std::string rows;
  };
  const Case cases[] = {
      {"two lines, count 2", "# Mailboxes '2'\n" + a + b, "a/SG1/DB1|b/SG1/DB1|"},
      {"count larger than the lines", "# Mailboxes '2000000000'\n" + a + b, "a/SG1/DB1|b/SG1/DB1|"},
      {"negative count", "# Mailboxes '-5'\n" + a + b, ""},
      {"lines beyond the count are not read", "# Mailboxes '1'\n" + a + b, "a/SG1/DB1|"},
      {"no apostrophe on line 1", "# Mailboxes 2\n" + a + b, ""},
      {"line 1 without # is a row", "Mailboxes '3';SG;DB\n" + a + b,
       "Mailboxes '3'/SG/DB|a/SG1/DB1|b/SG1/DB1|"},
      {"comment and blank lines are skipped", "# '5'\n  # note\n\n   \n" + a + "\r\n" + b,
       "a/SG1/DB1|b/SG1/DB1|"},
      {"CRLF line ends", "# '2'\r\na;SG;DB;1;2;3;t;m\r\nb;SG;DB;1;2;3;t;m\r\n", "a/SG/DB|b/SG/DB|"},
      {"empty storage group and store", "# '1'\nc;;;1;2;3;t;m\n", "c/Undefined/Undefined|"},
      {"too few fields", "# '2'\nd\ne;SG\n", "d/Undefined/Undefined|e/SG/Undefined|"},
      {"empty file", "", ""},
      {"only line 1", "# '4'\n", ""},
      {"no line end at the end", "# '1'\nf;S;D", "f/S/D|"},
  };
  for (const Case& c : cases) EXPECT_EQ(MailboxNames(c.text), c.rows) << c.what;
}

TEST(MailboxDetailsFile, FieldsOfARow) {
  struct Case {
    const char* line;
    int32_t items, size, maxSize;
    const char* lastLogon;  // always 16 characters
    const char* address;
  };
  const Case cases[] = {
      {"m;SG;DB;12;2048;1024;2011-11-09 14:25;m@corp", 12, 2048, 102, "2011-11-09 14:25", "m@corp"},
      {"m;SG;DB;1;2;-1029;11/09/2011;a", 1, 2, -102, "11/09/2011      ", "a"},
      {"m;SG;DB;1;2;3;2011-11-09 14:25:33 PM;a;extra;fields", 1, 2, 0, "2011-11-09 14:25", "a"},
      {"m;SG;DB;x;y;z;;", 0, 0, 0, "                ", ""},
      {"m;SG;DB;99999999999;-99999999999;99999999999;t;a", 2147483647, INT32_MIN, 214748364,
       "t               ", "a"},
  };
  for (const Case& c : cases) {
    std::vector<qmx::MailboxRecord> r = qmx::ParseMailboxDetails(std::string("# '1'\n") + c.line + "\n");
    ASSERT_EQ(r.size(), 1u) << c.line;
    EXPECT_EQ(r[0].items, c.items) << c.line;
    EXPECT_EQ(r[0].size, c.size) << c.line;
    EXPECT_EQ(r[0].maxSize, c.maxSize) << c.line;
    EXPECT_EQ(r[0].lastLogon, c.lastLogon) << c.line;
    EXPECT_EQ(r[0].address, c.address) << c.line;
  }
}

TEST(MailboxDetailsFile, LongAndBinaryLines) {
  const std::string longName(5000, 'n');
  std::vector<qmx::MailboxRecord> r =
      qmx::ParseMailboxDetails("# '2'\n" + longName + ";SG;DB;1;2;3;t;a\n" + std::string("b\0in;\xff\x01;DB\n", 11));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].name, longName) << "a line of 5000 characters is one row";
  EXPECT_EQ(r[0].store, "DB");
  EXPECT_EQ(r[1].name, std::string("b\0in", 4));
  EXPECT_EQ(r[1].storageGroup, "\xff\x01");
}

std::string FolderRows(const std::string& text, int32_t* declared) {
  std::string out;
  for (const qmx::PublicFolderRecord& r : qmx::ParsePublicFolderDetails(text, declared))
    out += r.name + "/" + std::to_string(r.items) + "/" + std::to_string(r.sizeHundredths) + "/" +
           r.lastAccess + "|";
  return out;
}

TEST(PublicFolderDetailsFile, RecordsAreBoundedByTheLinesPresent) {
  const std::string a = "A;SG;PF;3;12.345;2011-11-09 14:25:33\n";
  const std::string b = "B;;;0;0;\n";
  struct Case {
    const char* what;
    std::string text;
    int32_t declared;
    std::string rows;
  };
  const Case cases[] = {
      {"two folders", "Folders '2'\n" + a + b, 2, "A/3/1234/2011-11-09 14:25|B/0/0/|"},
      {"count beyond the lines", "Folders '2000000000'\n" + a + b, 2000000000,
       "A/3/1234/2011-11-09 14:25|B/0/0/|"},
      {"negative count", "Folders '-5'\n" + a + b, -5, ""},
      {"count 1 reads one line", "Folders '1'\n" + a + b, 1, "A/3/1234/2011-11-09 14:25|"},
      {"no apostrophe", "Folders 2\n" + a + b, 0, ""},
      {"line 1 only", "Folders '3'", 3, ""},
      {"empty", "", 0, ""},
      {"a comment line is data here", "Folders '1'\n# x;SG;PF;1;1\n", 1, "# x/1/100/|"},
      {"too many fields", "F '1'\nC;SG;PF;1;2;2011-01-01 00:00;x;y\n", 1, "C/1/200/2011-01-01 00:00|"},
  };
  for (const Case& c : cases) {
    int32_t declared = 12345;
    EXPECT_EQ(FolderRows(c.text, &declared), c.rows) << c.what;
    EXPECT_EQ(declared, c.declared) << c.what;
  }
  int32_t declared = 0;
  std::vector<qmx::PublicFolderRecord> r = qmx::ParsePublicFolderDetails("F '1'\n" + b, &declared);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].storageGroup, "Undefined");
  EXPECT_EQ(r[0].store, "Undefined");
}

TEST(MailDetailTool, FileNamesAndCommandLines) {
  struct Case {
    int release;
    const char* releaseText;
    const char* folderFile;
  };
  const Case cases[] = {{5, "2010", "PublicFolderDetails2010.log"},
                        {3, "2007", "PublicFolderDetails2007.log"},
                        {8, "N/A", ""},
                        {1, "N/A", ""},
                        {-1, "N/A", ""}};
  for (const Case& c : cases) {
    EXPECT_STREQ(qmx::ReleaseText(c.release), c.releaseText) << c.release;
    EXPECT_EQ(qmx::PublicFolderFileName(c.release), c.folderFile) << c.release;
  }
  EXPECT_EQ(qmx::DetailsCommandLine("C:\\Orvel\\QMX\\logs", "-mailboxdetails", 5, "EXMB01",
                                    "C:\\Orvel\\QMX\\logs\\MailBox_Details.log"),
            "\"C:\\Orvel\\QMX\\qmxmbstat.exe\" -mailboxdetails 2010 EXMB01 "
            "\"C:\\Orvel\\QMX\\logs\\MailBox_Details.log\"");
  EXPECT_EQ(qmx::DetailsCommandLine("C:\\Program Files\\QMX\\logs", "-publicfolderdetails", 3, "EX07",
                                    "C:\\Program Files\\QMX\\logs\\PublicFolderDetails2007.log"),
            "\"C:\\Program Files\\QMX\\qmxmbstat.exe\" -publicfolderdetails 2007 EX07 "
            "\"C:\\Program Files\\QMX\\logs\\PublicFolderDetails2007.log\"");
  struct Dir {
    const char* logPath;
    const char* toolDir;
  };
  const Dir dirs[] = {{"C:\\QMX\\logs", "C:\\QMX"},
                      {"C:\\QMX\\logs\\", "C:\\QMX"},  // a trailing backslash names the same folder
                      {"Z:\\tmp\\w\\logs\\\\", "Z:\\tmp\\w"},
                      {"logs", ""},
                      {"", ""}};
  for (const Dir& d : dirs) EXPECT_EQ(qmx::ToolDirectory(d.logPath), d.toolDir) << d.logPath;
}

TEST(MailDetailSchedule, Intervals) {
  struct Case {
    const char* setting;
    long cycle;
    long publicFolders;  // for a cycle that runs
  };
  const Case cases[] = {
      {"60", 60, 300},    {"1", 1, 300},        {"300", 300, 300},     {"301", 301, 301},
      {"86400", 86400, 86400}, {"99999999999", 4000000, 4000000},
      {"0", -1, 0},       {"-1", -1, 0},        {"abc", -1, 0},        {"", -1, 0},
      {" 60", -1, 0},     {"60s", -1, 0},       {"00", -1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qmx::CycleInterval(c.setting), c.cycle) << c.setting;
    if (c.cycle > 0) {
      EXPECT_EQ(qmx::PublicFolderInterval(c.cycle), c.publicFolders) << c.setting;
    }
  }
  EXPECT_EQ(qmx::CycleInterval(nullptr), -1);
}

TEST(MailDetailSchedule, RunTimeText) {
  struct Case {
    const char* text;
    bool valid;
    int hour, minute;
  };
  const Case cases[] = {
      {"23:00", true, 23, 0}, {"00:15", true, 0, 15}, {"09:05", true, 9, 5}, {"23:59", true, 23, 59},
      {"24:00", false, 0, 0}, {"7:5", false, 0, 0},   {"ab:cd", false, 0, 0}, {"23:60", false, 0, 0},
      {"07:05 ", false, 0, 0}, {"0705", false, 0, 0}, {"", false, 0, 0},      {"-1:00", false, 0, 0},
  };
  for (const Case& c : cases) {
    int hour = -7, minute = -7;
    EXPECT_EQ(qmx::ParseRunTime(c.text, &hour, &minute), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(hour, c.hour) << c.text;
      EXPECT_EQ(minute, c.minute) << c.text;
    } else {
      EXPECT_EQ(hour, -7) << c.text;
    }
  }
  int h = 0, m = 0;
  EXPECT_FALSE(qmx::ParseRunTime(nullptr, &h, &m));
}

TEST(MailDetailSchedule, FirstRunWait) {
  struct Case {
    int hour, minute, nowHour, nowMinute;
    long seconds;
  };
  const Case cases[] = {
      {23, 0, 22, 30, 1800},
      {23, 0, 23, 30, 84600},
      {23, 0, 23, 0, 0},  // 23:00:40: the seconds do not count
      {0, 15, 10, 30, 49500},
      {5, 0, 10, 30, 66600},
      {0, 15, 0, 30, 85500},
      {0, 15, 0, 10, 300},  // midnight's hour: five minutes, not a day and five minutes
      {0, 0, 0, 0, 0},
      {0, 0, 23, 59, 60},
      {23, 59, 0, 0, 86340},
  };
  for (const Case& c : cases) {
    const long s = qmx::SecondsUntil(c.hour, c.minute, c.nowHour, c.nowMinute);
    EXPECT_EQ(s, c.seconds) << c.hour << ":" << c.minute << " at " << c.nowHour << ":" << c.nowMinute;
    EXPECT_GE(s, 0);
    EXPECT_LT(s, 86400);
  }
}

}  // namespace
