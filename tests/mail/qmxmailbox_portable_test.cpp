// The reachability test's rules that need no operating system, under the sanitizers.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "qmxmailbox_portable.h"

using namespace qmx::reach;

namespace {

MailTime Time(const char* text) {
  MailTime t;
  EXPECT_TRUE(ParseMailTime(text, &t)) << text;
  return t;
}

TEST(Reach, SplitFields) {
  struct Case {
    const char* text;
    std::vector<std::string> pieces;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a;b", {"a", "b"}},
      {"a;", {"a", ""}},
      {";", {"", ""}},
      {";;x", {"", "", "x"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitFields(c.text), c.pieces) << c.text;
}

TEST(Reach, TargetAddressesLeaveOutEmptyPieces) {
  struct Case {
    const char* setting;
    std::vector<std::string> targets;
  } cases[] = {
      {nullptr, {}},
      {"", {}},
      {";;", {}},
      {"  ; \t ;", {}},
      {"a@x", {"a@x"}},
      {" a@x ;; b@y ;", {"a@x", "b@y"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TargetAddresses(c.setting), c.targets) << (c.setting ? c.setting : "(null)");
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "user" + std::to_string(i) + "@qmxtest.local;";
  std::vector<std::string> t = TargetAddresses(many.c_str());
  ASSERT_EQ(t.size(), 1000u);
  EXPECT_EQ(t[999], "user999@qmxtest.local");
}

TEST(Reach, MailTimes) {
  struct Case {
    const char* text;
    bool ok;
    const char* stamp;
  } cases[] = {
      {"11/09/2011  14:25:33", true, "1111109142533000"},
      {"1/9/2011 4:05:03", true, "1110109040503000"},
      {" 12/31/2026  23:59:59 ", true, "1261231235959000"},
      {"02/29/2024  00:00:00", true, "1240229000000000"},
      {"02/29/2023  00:00:00", false, ""},
      {"13/01/2011  10:00:00", false, ""},
      {"00/01/2011  10:00:00", false, ""},
      {"01/32/2011  10:00:00", false, ""},
      {"01/01/2011  24:00:00", false, ""},
      {"01/01/2011  10:60:00", false, ""},
      {"01/01/2011  10:00:60", false, ""},
      {"01/01/1899  10:00:00", false, ""},
      {"01/01/2011", false, ""},
      {"01/01/2011  10:00", false, ""},
      {"01/01/2011  10:00:00x", false, ""},
      {"001/01/2011  10:00:00", false, ""},
      {"ab/cd/efgh  10:00:00", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    MailTime t;
    EXPECT_EQ(ParseMailTime(c.text, &t), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(StampOf(t), c.stamp) << c.text;
    }
  }
}

TEST(Reach, ReplyTimes) {
  struct Case {
    const char* sent;
    const char* received;
    bool counts;
    double seconds;
  } cases[] = {
      {"01/05/2026  10:00:00", "01/05/2026  10:00:05", true, 5},    // same day
      {"01/05/2026  10:00:00", "01/05/2026  10:00:00", true, 0},    // at the second
      {"01/05/2026  10:00:05", "01/05/2026  10:00:00", false, 0},   // earlier
      {"01/05/2026  23:59:50", "01/06/2026  00:00:10", true, 20},   // across midnight
      {"12/31/2026  23:59:59", "01/01/2027  00:00:01", true, 2},    // across the year
      {"02/28/2024  23:00:00", "03/01/2024  01:00:00", true, 93600},  // leap day between
      {"01/06/2026  00:00:10", "01/05/2026  23:59:50", false, 0},   // a day earlier
      {"03/10/2026  10:00:00", "02/11/2026  10:00:00", false, 0},   // earlier month, later day
  };
  for (const Case& c : cases) {
    double s = -1;
    EXPECT_EQ(ReplyCounts(Time(c.sent), Time(c.received), &s), c.counts) << c.sent << " " << c.received;
    if (c.counts) {
      EXPECT_EQ(s, c.seconds) << c.sent << " " << c.received;
    }
  }
  EXPECT_EQ(MillisecondsOfDay(Time("01/05/2026  10:00:05")), 36005000);
}

TEST(Reach, ToolOutput) {
  const std::string out =
      "Connecting\r\n"
      "SentTime: 01/05/2026  10:00:00\r\n"
      "ReceivedTime:01/05/2026  10:00:05 \r\n"
      "Name:  Target One \n"
      "noise Name: a SentTime: later\n";  // first text wins: SentTime: with no time
  ToolOutput r = ReadToolOutput(out);
  ASSERT_TRUE(r.sentSeen);
  ASSERT_TRUE(r.replySeen);
  EXPECT_EQ(StampOf(r.sent), "1260105100000000");
  EXPECT_EQ(StampOf(r.received), "1260105100005000");
  EXPECT_EQ(r.replyFrom, "Target One");
  EXPECT_EQ(r.lines.size(), 5u);
  EXPECT_EQ(r.lines[1], "SentTime: 01/05/2026  10:00:00");

  struct Case {
    std::string output;
    bool sent, reply;
    size_t lines;
  } cases[] = {
      {"", false, false, 0},
      {"ReceivedTime: yesterday\n", false, false, 1},
      {"SentTime:\n", false, false, 1},
      {std::string(10240, 'x') + "\n", false, false, 11},  // 10 KB: read in pieces of 1023
      {std::string(1023, 'x') + "SentTime: 01/05/2026  10:00:00\n", true, false, 2},
      {std::string("SentTime: 01/05/2026  10:00:00\0junk", 35) + "\n", true, false, 1},
  };
  for (const Case& c : cases) {
    ToolOutput o = ReadToolOutput(c.output);
    EXPECT_EQ(o.sentSeen, c.sent) << c.output.substr(0, 40);
    EXPECT_EQ(o.replySeen, c.reply) << c.output.substr(0, 40);
    EXPECT_EQ(o.lines.size(), c.lines) << c.output.substr(0, 40);
    for (const std::string& l : o.lines) EXPECT_LE(l.size(), 1023u);
  }
}

TEST(Reach, CheckReplies) {
  struct Case {
    const char* addresses;
    const char* found;
    int rc;
  } cases[] = {
      {"a@x", "", 99},
      {"a@x", "A@X;Y;5.000000;1260105100005000;SRV1", 0},
      {"a@x;b@y", "a@x;Y;1.000000;s;SRV1", 99},
      {"a@x;b@y", "a@x;Y;1.000000;s;SRV1;b@y;Y;2.000000;s;SRV2", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckReplies(c.addresses, c.found), c.rc) << c.addresses;
}

TEST(Reach, CheckResponsesComplete) {
  struct Case {
    const char* sent;
    const char* addresses;
    const char* found;
    const char* result;
  } cases[] = {
      {"", "b@y", "", "B@Y;N;0.00;;unknown"},
      {"1260105100000000", "b@y", "", "B@Y;N;0.00;1260105100000000;unknown"},
      {"s", "a@x", "a@x;Y;5.000000;r;SRV1", "a@x;Y;5.000000;r;SRV1"},
      {"s", "a@x;b@y", "A@X;Y;5.000000;r;SRV1", "A@X;Y;5.000000;r;SRV1;B@Y;N;0.00;s;unknown"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CheckResponsesComplete(c.sent, c.addresses, c.found), c.result) << c.addresses;
}

TEST(Reach, DirectoryAnswers) {
  struct Case {
    const char* data;
    const char* server;
  } cases[] = {
      {"", "unknown"},
      {"no equals sign", "unknown"},
      {"/o=Org/cn=Servers/cn=", "unknown"},
      {"/o=Org/ou=AG/cn=Configuration/cn=Servers/cn=SRV1.CORP", "SRV1.CORP"},
  };
  for (const Case& c : cases) EXPECT_EQ(TargetServer(c.data), c.server) << c.data;
  EXPECT_EQ(DnsDomainOf("CN=Target,CN=Users,DC=corp,DC=example"), ".CORP.EXAMPLE");
  EXPECT_EQ(DnsDomainOf("CN=Target,CN=Users"), "");
  EXPECT_EQ(DnsDomainOf("cn=x, dc=corp"), ".CORP");
  EXPECT_EQ(EscapeFilterValue("a*b(c)d\\e"), "a\\2ab\\28c\\29d\\5ce");
  EXPECT_EQ(EscapeFilterValue(std::string("a\0b", 3)), "a\\00b");
  EXPECT_EQ(EscapeFilterValue("probe.sender@qmxtest.local"), "probe.sender@qmxtest.local");
}

// The two targets of the cycle: the first answered after 5 s from SRV1.CORP, the second not.
TEST(Reach, TwoTargetsGiveTheResultsFile) {
  const std::string result =
      "first@corp;Y;5.000000;1260105100005000;SRV1.CORP;SECOND@CORP;N;0.00;1260105100000000;unknown";
  std::vector<ReachRecord> records = RecordsOfResult(result);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(FormatResultsFile(records),
            "SRV1.CORP;first@corp;Y;5.000000;1260105100005000\n"
            "unknown;SECOND@CORP;N;0.00;1260105100000000\n");
  // Pieces beyond a multiple of five make no record; fields are cut to their widths.
  EXPECT_EQ(RecordsOfResult(result + ";extra;Y").size(), 2u);
  EXPECT_TRUE(RecordsOfResult("").empty());
  ReachRecord r = RecordsOfResult(std::string(500, 'a') + ";YES;123456789012.5;" +
                                  std::string(50, '1') + ";" + std::string(400, 's'))[0];
  EXPECT_EQ(r.address.size(), 383u);
  EXPECT_EQ(r.reachable, "Y");
  EXPECT_EQ(r.response, "123456789");
  EXPECT_EQ(r.runTime.size(), 39u);
  EXPECT_EQ(r.server.size(), 383u);
}

TEST(Reach, ResultsFileRows) {
  const std::string text =
      "SRV1.CORP;first@corp;Y;5.000000;1260105100005000\n"
      "  # a comment\n"
      "\n"
      "unknown;SECOND@CORP;N;0.00;1260105100000000\r\n";
  std::vector<ReachRow> rows = ParseResultsFile(text);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].server, "SRV1.CORP");
  EXPECT_EQ(rows[0].address, "first@corp");
  EXPECT_EQ(rows[0].reachable, 1);
  EXPECT_EQ(rows[0].responseHundredths, 500);
  EXPECT_EQ(rows[0].runTime, "1260105100005000");
  EXPECT_EQ(rows[1].reachable, 0);
  EXPECT_EQ(rows[1].responseHundredths, 0);
  EXPECT_EQ(rows[1].runTime, "1260105100000000");

  struct Case {
    std::string text;
    size_t rows;
    int32_t reachable, hundredths;
    const char* address;
  } cases[] = {
      {"", 0, 0, 0, ""},
      {"#only\n   #comments", 0, 0, 0, ""},
      {"s", 1, 0, 0, ""},                                    // too few fields
      {"s;a;Y", 1, 1, 0, "a"},
      {"s;a;Y;1.5;t;more;and more", 1, 1, 150, "a"},         // too many
      {"s;a;y;12.345;t", 1, 0, 1234, "a"},                   // only "Y" is reachable
      {"s;a;Y;99999999999;t", 1, 1, INT32_MAX, "a"},         // overflows 32 bits
      {"s;a;Y;-99999999999;t", 1, 1, INT32_MIN, "a"},
      {"s;a;Y;nan;t", 1, 1, 0, "a"},
      {"s;a;Y;inf;t", 1, 1, INT32_MAX, "a"},
      {"s;a;Y;abc;t", 1, 1, 0, "a"},
      {std::string("s;a\0b;Y;1;t\n", 12), 1, 0, 0, "a"},     // binary: read to the NUL
      {std::string(5000, 'x') + "\n", 1, 0, 0, ""},          // long line: 1023 characters
  };
  for (const Case& c : cases) {
    std::vector<ReachRow> r = ParseResultsFile(c.text);
    ASSERT_EQ(r.size(), c.rows) << c.text.substr(0, 40);
    if (!c.rows) continue;
    EXPECT_EQ(r[0].reachable, c.reachable) << c.text.substr(0, 40);
    EXPECT_EQ(r[0].responseHundredths, c.hundredths) << c.text.substr(0, 40);
    EXPECT_EQ(r[0].address, c.address) << c.text.substr(0, 40);
    EXPECT_LE(r[0].server.size(), 1023u);
  }
}

TEST(Reach, Settings) {
  struct Interval {
    const char* text;
    long seconds;
  } intervals[] = {
      {nullptr, -1}, {"", -1},   {"0", -1},          {"-5", -1},        {"abc", -1},
      {"12x", -1},   {"300", 300}, {" 60 ", 60},     {"99999999999", 2147483},
      {"99999999999999999999999", -1},
  };
  for (const Interval& c : intervals)
    EXPECT_EQ(ReachabilityInterval(c.text), c.seconds) << (c.text ? c.text : "(null)");
  struct Threshold {
    const char* text;
    long long ms;
  } thresholds[] = {
      {nullptr, 60000}, {"", 60000},      {"0", 60000},     {"-30", 60000}, {"x", 60000},
      {"20", 20000},    {"60", 60000},    {"90", 90000},    {"9999999", 86400000},
  };
  for (const Threshold& c : thresholds)
    EXPECT_EQ(ThresholdMs(c.text), c.ms) << (c.text ? c.text : "(null)");
}

}  // namespace
