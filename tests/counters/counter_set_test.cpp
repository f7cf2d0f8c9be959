// The shipped counter set definitions: every string read back in full, checked against the
// list of definitions and against the rows of the tables they fill.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "counter_set.h"
#include "counter_set_strings.h"
#include "table_layout.h"

namespace {

using qmx::CounterSetDefinition;

// Object, counts, row size, spare bytes after the last field, instance widths, table (-1: none),
// first and last counter after the instance names.
struct Listed {
  int id;
  const char* object;
  int fields;
  int rows;
  int third;
  int rowSize;
  int spare;
  const char* instances;
  int table;
  const char* first;
  const char* last;
};

const Listed kListed[] = {
    {800, "Database", 25, 1, 1, 572, 0, "60,332", 1, "Database Cache % Hit", "Records Converted/sec"},
    {805, "NTDS", 18, 1, 1, 160, 0, "", 2, "AB Browses/sec", "LDAP Writes/sec"},
    {810, "MSExchangeIS", 71, 1, 1, 372, 0, "", 3, "Active Anonymous User Count", "Virus Scan Queue Length"},
    {815, "MSExchangeIS Mailbox", 34, 2, 1, 836, 16, "600", 4, "Active Client Logons", "Slow FindRow Rate"},
    {820, "SMTP Server", 67, 2, 1, 416, 0, "64", 10, "% Recipients Local", "Total DSN Failures"},
    {825, "MSExchangeMTA", 22, 1, 1, 176, 0, "", 7, "Inbound Messages Total", "Work Queue Bytes"},
    {830, "MSExchangeMTA Connections", 19, 4, 4, 492, 0, "332", 8, "Queue Length", "Total Recipients Queued"},
    {836, "MSExchangeIS Public", 34, 2, 1, 836, 16, "600", 5, "Active Client Logons", "Replication Receive Queue Size"},
    {841, "MSExchangeIS Public", 17, 2, 1, 752, 0, "600", 6, "Replication Backfill Data Messages Received", "Replication Status Messages Sent"},
    {846, "MSExchangeNMC", 14, 2, 1, 144, 0, "", 16, "Messages Received", "Rate of volume received"},
    {851, "Database ==> Instances", 21, 2, 1, 552, 0, "384", 17, "Log Generation Checkpoint Depth", "Version buckets allocated"},
    {856, "MSExchange Recipient Cache", 5, 2, 1, 488, 0, "384", 18, "Address Lookups Pending", "Individual Address Lookups"},
    {861, "MSExchange Sender Id Agent", 7, 2, 1, 116, 0, "", 19, "DNS Queries", "Messages Validated/sec"},
    {866, "MSExchange ADAccess Caches", 28, 2, 1, 580, 0, "384", 20, "LDAP Searches/sec", "Total Entries Memory (User Data)"},
    {871, "MSExchange Transport Rules", 5, 2, 1, 488, 0, "384", 21, "Messages Processed", "Messages Evaluated/sec"},
    {876, "MSExchangeTransport Queues", 27, 2, 1, 576, 0, "384", 22, "Active Remote Delivery Queue Length", "Largest Delivery Queue Length"},
    {881, "MSExchangeTransport SmtpReceive", 17, 2, 1, 536, 0, "384", 23, "Average recipients/message", "Recipients accepted Total"},
    {886, "MSExchangeTransport SmtpSend", 15, 2, 1, 528, 0, "384", 24, "Average recipients/message", "Recipients sent"},
    {896, "MSExchange Replication", 15, 2, 1, 148, 0, "", 28, "CopyNotificationGenerationNumber", "Suspended"},
    {901, "MSExchange ActiveSync", 63, 2, 1, 340, 0, "", 29, "Requests Total", "Smart Forward Commands/sec"},
    {906, "MSExchange ADAccess Processes", 17, 2, 1, 752, 0, "600", 27, "LDAP Read Time", "Topology version"},
    {911, "MSExchange Assistants", 19, 2, 1, 760, 0, "600", 26, "Events in queue", "Percentage of Interesting Events"},
    {916, "MSExchange Store Driver", 19, 2, 1, 760, 0, "600", 25, "Inbound: LocalDeliveryCalls", "Inbound: TotalMeetingFailures"},
    {921, "MSExchangeIS Client", 7, 2, 1, 172, 0, "60", 30, "RPC Average Latency", "JET Pages Read/sec"},
    {926, "MSExchange Recipient Filter Agent", 4, 1, 1, 104, 0, "", 31, "Recipients Rejected by Block List/sec", "Recipients Rejected by Recipient Validation"},
    {931, "MSExchange Sender Filter Agent", 4, 1, 1, 104, 0, "", 32, "Messages Evaluated by Sender Filter", "Messages Filtered by Sender Filter/sec"},
    {936, "MSExchange Protocol Analysis Agent", 5, 1, 1, 124, 16, "", 33, "Senders Blocked Because of Local Open Proxy", "Senders Processed"},
    {941, "MSExchange Connection Filtering Agent", 9, 1, 1, 124, 0, "", 34, "Connections on IP Allow List/sec", "Messages with Originating IP on IP Block List"},
    {946, "MSExchange Content Filter Agent", 19, 1, 1, 172, 8, "", 35, "Messages Scanned Per Second", "Messages with SCL 9"},
    {951, "MSExchange Attachment Filtering", 2, 1, 1, 100, 4, "", 36, "Messages Attachment Filtered", "Messages Filtered/sec"},
    {956, "MSExchange OWA", 22, 1, 1, 176, 0, "", 37, "Average Response Time", "Total Users"},
    {961, "Microsoft Forefront Server Security Scan", 13, 2, 1, 196, 0, "60", 38, "Attachments Cleaned Rate", "Total Messages Tagged"},
    {966, "MSExchange Database", 25, 1, 1, 572, 0, "60,332", 1, "Database Cache % Hit", "Records Converted/sec"},
    {971, "MSExchange Database ==> Instances", 21, 2, 1, 552, 0, "384", 17, "Log Generation Checkpoint Depth", "Version buckets allocated"},
    {976, "MSExchange Mailbox Replication Service", 6, 1, 1, 116, 0, "", 44, "Last Scan Duration (msec)", "Last Scan Timestamp (UTC)"},
    {981, "MSExchange Control Panel", 15, 1, 1, 148, 0, "", 45, "Explicit Sign-On Standard RBAC Sessions", "Standard RBAC Sessions/sec"},
    {986, "MSExchange Mailbox Replication Service Per Mdb", 35, 2, 1, 560, 0, "332", -1, "Active Moves: Total Moves", "Last Scan: Timestamp (UTC)"},
    {991, "MSExchange Rights Management", 30, 1, 1, 208, 0, "", 47, "Average time for successful AcquireLicense()", "Total cache-miss of RMS Server Info"},
    {996, "MSExchange Managed Folder Assistant", 5, 1, 1, 108, 0, "", 49, "Items Deleted but Recoverable", "Items Subject to Retention Policy"},
    {1001, "MSExchangeTransport Shadow Redundancy", 4, 2, 1, 432, 0, "332", 50, "Current Messages Acknowledged before Relay Completed", "Redundant Message Discard Events Expired"},
    {1006, "MSExchangeTransport Dumpster", 7, 1, 1, 116, 0, "", 51, "Dumpster Deletes/sec", "Dumpster Deletes: Quota"},
    {1011, "MSExchange Assistants - Per Database", 12, 2, 1, 732, 0, "600", 52, "Average Event Processing Time In seconds", "Polling Delay"},
    {1016, "MSExchangeTransport Database", 33, 2, 1, 816, 0, "600", 53, "Column cache load total", "MailItem load total"},
    {1021, "MSExchange Assistants - Per Assistant", 19, 2, 1, 760, 0, "600", 26, "Events in Queue", "Percentage of Interesting Events"},
    {1026, "Forefront Exchange On Demand Scanner", 14, 2, 1, 740, 0, "600", 54, "Malware Message Parts Cleaned", "Subject Filter Messages Skipped"},
    {1031, "Forefront Exchange Realtime Scanner", 14, 2, 1, 740, 0, "600", 55, "Malware Message Parts Cleaned", "Subject Filter Message Parts Skipped"},
    {1036, "Forefront Exchange Scheduled Scanner", 14, 2, 1, 740, 0, "600", 56, "Malware Message Parts Cleaned", "Subject Filter Message Parts Skipped"},
    {1041, "Forefront Exchange Transport Scanner", 14, 2, 1, 740, 0, "600", 57, "Malware Message Parts Cleaned", "Subject Filter Messages Skipped"},
    {1046, "MSExchangeTransport Database", 33, 2, 1, 816, 0, "600", 53, "Colum cache load total", "MailItem load total"},
    {1051, "MSExchange Active Manager Client", 13, 2, 1, 736, 0, "600", 58, "Client-side Cache Hits", "Unique servers queried"},
    {1056, "MSExchange Active Manager Server", 5, 1, 1, 108, 0, "", 59, "Active Manager Database State writes to Persistent storage", "Total Number of Databases"},
    {1061, "MSExchange Active Manager", 3, 2, 1, 696, 0, "600", 60, "Database Copy Role Active", "Database Mounted"},
    {1066, "MSExchange Mail Submission", 10, 2, 1, 724, 0, "600", 61, "Aggregate Shadow Queue Length", "Successful Submissions Per Second"},
    {1071, "MSExchange MailTips", 24, 1, 1, 184, 0, "", 68, "Automatic Replies (1 sec)", "MailTips Queries Answered Within Three Seconds"},
    {1076, "MSExchange Replication Server", 2, 1, 1, 96, 0, "", 62, "GetCopyStatus Server-Side Calls", "GetCopyStatus Server-Side Calls/sec"},
    {1081, "MSExchange ResourceHealth", 16, 2, 1, 748, 0, "600", 63, "Fair to Unhealthy Latency Threshold", "Unhealthy Health Measure"},
    {1086, "MSExchange Store Driver Database", 3, 2, 1, 696, 0, "600", 64, "Delivery attempts per minute over the last 5 minutes", "Delivery failures per minute over the last 5 minutes"},
    {1091, "MSExchange Store Driver Server", 3, 2, 1, 696, 0, "600", 65, "Delivery Attempts per minute over the last 5 minutes", "Delivery Failures per minute over the last 5 minutes"},
    {1096, "MSExchange Throttling", 32, 2, 1, 812, 0, "600", 66, "Active PowerShell Runspaces", "Worker thread count"},
    {1101, "MSExchangeTransport SMTPAvailability", 10, 2, 1, 724, 0, "600", 67, "% Activity", "Total Connections"},
    {1106, "Microsoft Exchange ActiveSync", 63, 2, 1, 340, 0, "", 29, "Requests Total", "SmartForward Commands/Sec"},
    {1111, "MSExchange MailTips Service", 24, 1, 1, 184, 0, "", 68, "Automatic Replies (1 sec)", "MailTips Queries Answered Within Three Seconds"},
    {1116, "MSExchange Mailbox Replication Service Per Mdb", 36, 2, 1, 564, 0, "332", 46, "Active Moves: Total Moves", "Last Scan: Timestamp (UTC)"},
};

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> Strings(int id) {
  std::vector<std::string> s;
  EXPECT_TRUE(qmx::CounterSetStrings(id, &s)) << id;
  return s;
}

CounterSetDefinition Parse(int id) {
  std::vector<std::string> s = Strings(id);
  CounterSetDefinition d;
  std::string error;
  if (s.size() == 5) {
    EXPECT_TRUE(qmx::ParseCounterSet(s.data(), &d, &error)) << id << ": " << error;
  }
  return d;
}

bool Parse5(const std::vector<std::string>& s, CounterSetDefinition* d, std::string* error) {
  std::string five[5];
  for (size_t i = 0; i < 5 && i < s.size(); ++i) five[i] = s[i];
  return qmx::ParseCounterSet(five, d, error);
}

TEST(CounterSets, IdsAreTheSixtyThreeListed) {
  std::vector<int> expected;
  for (const Listed& l : kListed) expected.push_back(l.id);
  EXPECT_EQ(qmx::CounterSetIds(), expected);
  EXPECT_EQ(expected.size(), 63u);
  // Five strings each, no overlap, and the gaps at 835 and 891 to 895.
  for (size_t i = 1; i < expected.size(); ++i) EXPECT_GE(expected[i], expected[i - 1] + 5);
  for (int id : expected) {
    EXPECT_FALSE(id <= 835 && id + 4 >= 835) << id;
    EXPECT_FALSE(id <= 895 && id + 4 >= 891) << id;
  }
}

TEST(CounterSets, EveryDefinitionMatchesTheList) {
  for (const Listed& l : kListed) {
    SCOPED_TRACE(l.id);
    CounterSetDefinition d = Parse(l.id);
    EXPECT_EQ(d.object, l.object);
    EXPECT_EQ(d.fieldCount, l.fields);
    EXPECT_EQ(static_cast<int>(d.fields.size()), l.fields);
    EXPECT_EQ(d.initialRows, l.rows);
    EXPECT_EQ(d.thirdNumber, l.third);
    EXPECT_EQ(d.rowSize, l.rowSize);
    ASSERT_FALSE(d.fields.empty());
    const qmx::CounterField& end = d.fields.back();
    EXPECT_EQ(d.rowSize - (end.offset + end.size), l.spare);
    std::string widths;
    std::vector<std::string> counters;
    for (const qmx::CounterField& f : d.fields) {
      if (f.isInstance()) widths += (widths.empty() ? "" : ",") + std::to_string(f.size);
      else counters.push_back(f.name);
    }
    EXPECT_EQ(widths, l.instances);
    EXPECT_EQ(d.multiInstance(), widths.size() > 0);
    ASSERT_FALSE(counters.empty());
    EXPECT_EQ(counters.front(), l.first);
    EXPECT_EQ(counters.back(), l.last);
    EXPECT_EQ(qmx::CounterSetLayoutTable(l.id), l.table < 0 ? 0 : l.table);
  }
}

TEST(CounterSets, EveryDefinitionKeepsTheRules) {
  for (int id : qmx::CounterSetIds()) {
    CounterSetDefinition d = Parse(id);
    std::string error;
    EXPECT_TRUE(qmx::CheckCounterSet(d, &error)) << id << ": " << error;
    EXPECT_EQ(d.innerCount, id == 1116 ? 35 : d.fieldCount) << id;
    // The agent loads each string into a 4096-byte buffer.
    for (const std::string& s : Strings(id)) EXPECT_LT(s.size(), 4096u) << id;
  }
}

TEST(CounterSets, RuleCheckCatchesBrokenDefinitions) {
  CounterSetDefinition good = Parse(951);
  struct Case {
    const char* what;
    void (*breakIt)(CounterSetDefinition*);
  } cases[] = {
      {"gap", [](CounterSetDefinition* d) { d->fields[1].offset += 4; }},
      {"past the row", [](CounterSetDefinition* d) { d->rowSize = 95; }},
      {"odd integer", [](CounterSetDefinition* d) { d->fields[1].size = 2; }},
      {"text counter", [](CounterSetDefinition* d) { d->fields[0].type = qmx::CS_UTF8; }},
      {"zero scale", [](CounterSetDefinition* d) { d->fields[0].scale = 0; }},
      {"unknown type", [](CounterSetDefinition* d) { d->fields[0].type = 5; }},
      {"no rows", [](CounterSetDefinition* d) { d->initialRows = 0; }},
      {"first offset", [](CounterSetDefinition* d) {
         d->fields[0].offset = 84;
         d->fields[1].offset = 88;
       }},
  };
  std::string error;
  EXPECT_TRUE(qmx::CheckCounterSet(good, &error)) << error;
  for (const Case& c : cases) {
    CounterSetDefinition d = good;
    c.breakIt(&d);
    EXPECT_FALSE(qmx::CheckCounterSet(d, &error)) << c.what;
  }
}

// A definition's fields after the row header are the table's attributes: same offsets, widths
// and types, same row size.
void ExpectSameLayout(int id, const qmx::TableLayout& t, size_t attributesUsed) {
  SCOPED_TRACE("definition " + std::to_string(id) + ", table " + t.name);
  CounterSetDefinition d = Parse(id);
  EXPECT_EQ(d.rowSize, t.rowSize);
  ASSERT_EQ(d.fields.size(), attributesUsed);
  for (size_t k = 0; k < d.fields.size(); ++k) {
    const qmx::CounterField& f = d.fields[k];
    const qmx::TableAttribute& a = t.attributes[k + 4];
    EXPECT_EQ(f.offset, a.offset) << f.name;
    EXPECT_EQ(f.size, a.width) << f.name;
    int expected = f.type == qmx::CS_TEXT ? qmx::TYPE_TEXT
                   : f.type == qmx::CS_UTF8 ? qmx::TYPE_UTF8
                   : f.size == 8            ? qmx::TYPE_INT64
                                            : qmx::TYPE_INT32;
    EXPECT_EQ(a.type, expected) << f.name;
  }
}

TEST(CounterSets, DefinitionsDescribeTheirTablesRows) {
  int checked = 0;
  for (const qmx::TableLayout& t : qmx::TableLayouts()) {
    for (int id : {t.definitionId, t.alternateId}) {
      if (id == 0) continue;
      const Listed* l = nullptr;
      for (const Listed& x : kListed)
        if (x.id == id) l = &x;
      ASSERT_NE(l, nullptr) << id;
      EXPECT_EQ(l->table, t.number) << id;
      // Tables whose code fills the bytes after the counters have attributes there too.
      size_t used = static_cast<size_t>(l->fields);
      EXPECT_GE(static_cast<size_t>(t.attributeCount() - 4), used);
      ExpectSameLayout(id, t, used);
      ++checked;
    }
  }
  EXPECT_EQ(checked, 62);  // every definition but 986 fills a table (1041 by code)
}

TEST(CounterSets, PairsChosenByReleaseShareTheirLayout) {
  const int pairs[][2] = {{800, 966}, {851, 971}, {1016, 1046}, {901, 1106},
                          {911, 1021}, {1071, 1111}};
  for (const auto& p : pairs) {
    std::vector<std::string> a = Strings(p[0]), b = Strings(p[1]);
    for (int i = 1; i < 5; ++i)
      if (i != 3) {
        EXPECT_EQ(a[i], b[i]) << p[0] << "/" << p[1] << " string " << i;
      }
    EXPECT_EQ(Parse(p[0]).fieldCount, Parse(p[1]).fieldCount);
  }
  // 1116 is 986 with a second, 4-byte time stamp at 560.
  CounterSetDefinition d986 = Parse(986), d1116 = Parse(1116);
  ASSERT_EQ(d986.fields.size() + 1, d1116.fields.size());
  for (size_t k = 0; k < d986.fields.size(); ++k) {
    EXPECT_EQ(d986.fields[k].name, d1116.fields[k].name);
    EXPECT_EQ(d986.fields[k].offset, d1116.fields[k].offset);
    EXPECT_EQ(d986.fields[k].size, d1116.fields[k].size);
    EXPECT_EQ(d986.fields[k].type, d1116.fields[k].type);
  }
  EXPECT_EQ(d986.rowSize, 560);
  const qmx::CounterField& extra = d1116.fields.back();
  EXPECT_EQ(extra.name, "Last Scan: Timestamp (UTC)");
  EXPECT_EQ(extra.offset, 560);
  EXPECT_EQ(extra.size, 4);
}

TEST(CounterSets, WorkedExample951) {
  EXPECT_EQ(Strings(951), (std::vector<std::string>{
                              "2 1 1 MSExchange Attachment Filtering( 2 Messages Attachment Filtered, "
                              "Messages Filtered/sec)",
                              "100 4 4", "88 92", "1 100", "2 2"}));
  CounterSetDefinition d = Parse(951);
  EXPECT_EQ(d.fields[1].name, "Messages Filtered/sec");
  EXPECT_EQ(d.fields[1].scale, 100);
}

TEST(CounterSets, RowHeaderStrings) {
  EXPECT_EQ(Strings(240), (std::vector<std::string>{"4 _ORIGIN_ , _SAMPLE_ , _ROW_ , _TIMESTAMP_",
                                                    "64 4  4 16", "0 64 68 72"}));
}

TEST(CounterSets, QuirksOfTheShippedStrings) {
  std::string h800 = Strings(800)[0], h810 = Strings(810)[0], h820 = Strings(820)[0];
  EXPECT_EQ(h800.rfind("25 1 1 Database ( 25 _INSTANCE_, Database Cache % Hit, ", 0), 0u) << h800;
  EXPECT_TRUE(EndsWith(h800, ", Records Converted/sec,  _INSTANCE_)")) << h800;
  EXPECT_NE(h810.find("Slow QP Threads, Virus Scan Files Cleaned,  \nVirus Scan Files Cleaned/sec, "),
            std::string::npos);
  EXPECT_EQ(std::count(h810.begin(), h810.end(), '\n'), 1);
  EXPECT_EQ(h820.rfind("67 2 1 SMTP Server ( 67 _INSTANCE_ , % Recipients Local , ", 0), 0u);
  EXPECT_NE(h820.find("Messages Refused for Size ,  \nMessages Sent Total , "), std::string::npos);
  EXPECT_EQ(std::count(h820.begin(), h820.end(), '\n'), 1);
  EXPECT_NE(Strings(986)[0].find("Per Mdb(35 _INSTANCE_, "), std::string::npos);
  EXPECT_NE(Strings(1116)[0].find("Per Mdb( 35 _INSTANCE_, "), std::string::npos);
  EXPECT_EQ(Strings(1116)[0].rfind("36 2 1 ", 0), 0u);
  std::string s976 = Strings(976)[0];
  EXPECT_TRUE(EndsWith(s976, ", Last Scan Timestamp (UTC))")) << s976;
  std::string scales866 = Strings(866)[3];
  EXPECT_EQ(scales866.substr(scales866.size() - 3), "5  ");
  EXPECT_NE(Strings(1046)[0].find(", Colum cache load total, "), std::string::npos);
  EXPECT_EQ(Strings(820)[3].find("0.000976563 100 0.000976563 100 0.0009765625 "), 26u);
}

TEST(CounterSets, EdgeCasesReadRight) {
  CounterSetDefinition d820 = Parse(820);
  EXPECT_EQ(d820.object, "SMTP Server");
  EXPECT_EQ(d820.fields[0].type, qmx::CS_TEXT);
  EXPECT_EQ(d820.fields[0].size, 64);
  EXPECT_EQ(d820.fields[1].name, "% Recipients Local");
  EXPECT_EQ(d820.fields[40].name, "Messages Sent Total");  // after the line feed
  for (const qmx::CounterField& f : d820.fields) {
    EXPECT_EQ(f.name.find_first_of(" \n"), f.name.find(' ')) << f.name;
    EXPECT_NE(f.name.front(), ' ');
    EXPECT_NE(f.name.back(), ' ');
    EXPECT_EQ(f.name.find('\n'), std::string::npos);
  }
  EXPECT_EQ(d820.fields[7].scaleText, "0.000976563");

  CounterSetDefinition d800 = Parse(800);
  EXPECT_EQ(d800.object, "Database");
  ASSERT_EQ(d800.fields.size(), 25u);
  EXPECT_TRUE(d800.fields[0].isInstance());
  EXPECT_EQ(d800.fields[0].offset, 88);
  EXPECT_EQ(d800.fields[0].size, 60);
  EXPECT_TRUE(d800.fields[24].isInstance());
  EXPECT_EQ(d800.fields[24].offset, 240);
  EXPECT_EQ(d800.fields[24].size, 332);
  EXPECT_EQ(d800.fields[24].type, qmx::CS_UTF8);
  EXPECT_EQ(d800.fields[4].scaleText, "0.0009765625");
  EXPECT_DOUBLE_EQ(d800.fields[4].scale, 1.0 / 1024);

  CounterSetDefinition d976 = Parse(976);
  EXPECT_EQ(d976.fields.back().name, "Last Scan Timestamp (UTC)");
  EXPECT_EQ(d976.fields.back().size, 8);

  CounterSetDefinition d1116 = Parse(1116);
  EXPECT_EQ(d1116.fieldCount, 36);
  EXPECT_EQ(d1116.innerCount, 35);
  EXPECT_EQ(d1116.fields[34].name, "Last Scan: Timestamp (UTC)");
  EXPECT_EQ(d1116.fields[34].offset, 552);
  EXPECT_EQ(d1116.fields[34].size, 8);

  EXPECT_EQ(Parse(866).fields.size(), 28u);
  EXPECT_EQ(Parse(991).fields[0].name, "Average time for successful AcquireLicense()");

  int fours = 0;
  for (int id : qmx::CounterSetIds()) {
    CounterSetDefinition d = Parse(id);
    if (d.initialRows == 4 || d.thirdNumber == 4) {
      ++fours;
      EXPECT_EQ(id, 830);
      EXPECT_EQ(d.initialRows, 4);
      EXPECT_EQ(d.thirdNumber, 4);
    }
  }
  EXPECT_EQ(fours, 1);
}

TEST(CounterSets, NoStringsOutsideTheDefinitions) {
  std::vector<std::string> s;
  for (int id : {835, 891, 892, 893, 894, 895, 801, 799, 1121, 241, 0, -5}) {
    EXPECT_FALSE(qmx::CounterSetStrings(id, &s)) << id;
    EXPECT_TRUE(s.empty());
  }
  std::set<int> ids;
  for (const auto& p : qmx::CounterSetResourceStrings()) EXPECT_TRUE(ids.insert(p.first).second) << p.first;
  EXPECT_EQ(ids.size(), 3u + 63u * 5u);
  for (int id : {835, 891, 892, 893, 894, 895}) EXPECT_EQ(ids.count(id), 0u) << id;
  EXPECT_EQ(*ids.begin(), 240);
  EXPECT_EQ(*ids.rbegin(), 1120);
}

TEST(CounterSetReader, MalformedInputIsRefused) {
  const std::vector<std::vector<std::string>> bad = {
      {"", "", "", "", ""},
      {"2 1 1 Obj( 2 a, b", "100 4 4", "88 92", "1 100", "2 2"},          // no ")"
      {"2 1 1 Obj 2 a, b)", "100 4 4", "88 92", "1 100", "2 2"},          // no "("
      {"3 1 1 Obj( 3 a, b)", "100 4 4", "88 92", "1 100", "2 2"},         // too few names
      {"2 1 1 Obj( 2 a, b)", "100 4", "88 92", "1 100", "2 2"},           // too few sizes
      {"2 1 1 Obj( 2 a, b)", "100 4 4", "88 92 96", "1 100", "2 2"},      // too many offsets
      {"2 1 1 Obj( 2 a, b)", "100 4 x", "88 92", "1 100", "2 2"},         // not a number
      {"2 1 1 Obj( 2 a, b)", "100 4 4", "88 92", "1 1e", "2 2"},
      {"2 1 1 Obj( 2 a, , b)", "100 4 4", "88 92", "1 100", "2 2"},       // empty name
      {"x 1 1 Obj( 2 a, b)", "100 4 4", "88 92", "1 100", "2 2"},
      {"2 1 Obj( 2 a, b)", "100 4 4", "88 92", "1 100", "2 2"},
      {"2 1 1 Obj( a, b)", "100 4 4", "88 92", "1 100", "2 2"},           // no inner count
      {"-1 1 1 Obj( -1 )", "100", "", "", ""},
      {"99999999999 1 1 Obj( 2 a, b)", "100 4 4", "88 92", "1 100", "2 2"},
      {"2 1 1 Obj)( 2 a, b", "100 4 4", "88 92", "1 100", "2 2"},
  };
  for (const auto& s : bad) {
    CounterSetDefinition d;
    std::string error;
    EXPECT_FALSE(Parse5(s, &d, &error)) << s[0] << " / " << s[1];
    EXPECT_FALSE(error.empty());
  }
  CounterSetDefinition d;
  std::string error;
  EXPECT_TRUE(Parse5({" 2\t1 7  Obj  Name (\n2 a(b)c ,\n b ) ", "100 4  4 ", "88 92", "1 100", "2 2"},
                     &d, &error))
      << error;
  EXPECT_EQ(d.object, "Obj  Name");
  EXPECT_EQ(d.thirdNumber, 7);
  ASSERT_EQ(d.fields.size(), 2u);
  EXPECT_EQ(d.fields[0].name, "a(b)c");
  EXPECT_EQ(d.fields[1].name, "b");
}

TEST(CounterSetReader, TwoNumberReadOfTheAgent) {
  struct Case {
    const char* header;
    const char* sizes;
    int rows;
    int rowSize;
  } cases[] = {
      {"2 1 1 MSExchange Attachment Filtering( 2 x)", "100 4 4", 1, 100},
      {"19 4 4 MSExchangeMTA Connections( 19 _INSTANCE_)", "492 332", 4, 492},
      {"", "", 0, 0},
      {"19", "abc", 0, 0},
      {"x 4", "  76 1", 0, 76},
      {nullptr, nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    int rows = -7, size = -7;
    qmx::ReadRowsAndRowSize(c.header, c.sizes, &rows, &size);
    EXPECT_EQ(rows, c.rows) << (c.header ? c.header : "null");
    EXPECT_EQ(size, c.rowSize) << (c.sizes ? c.sizes : "null");
  }
  for (int id : qmx::CounterSetIds()) {
    std::vector<std::string> s = Strings(id);
    int rows = 0, size = 0;
    qmx::ReadRowsAndRowSize(s[0].c_str(), s[1].c_str(), &rows, &size);
    CounterSetDefinition d = Parse(id);
    EXPECT_EQ(rows, d.initialRows) << id;
    EXPECT_EQ(size, d.rowSize) << id;
  }
}

}  // namespace
