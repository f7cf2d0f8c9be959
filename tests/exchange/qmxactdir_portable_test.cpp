// Result code texts, role texts, the topology file and the small text rules of the directory layer.
#include "qmxactdir_portable.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using namespace qmx::ad;

TEST(ADsErrorText, CodesFromEachTable) {
  struct Case {
    long code;
    const char* codeText;
    const char* message;
  } cases[] = {
      {static_cast<long>(0x80072030), "ADS2030", "Object does not exist."},
      {static_cast<long>(0x8007052E), "ADS052E", "Supplied credential is invalid."},
      {static_cast<long>(0x8007203A), "ADS203A", "Cannot contact the LDAP server."},
      {static_cast<long>(0x800720A2), "ADS20A2", "Message text not found."},
      {static_cast<long>(0x80070037), "ADS0037", "Server is not available. "},
      {static_cast<long>(0x800703EB), "ADS03EB", "Server cannot perform operation."},
      {0x00005012, "ADS5012", "The search operation has reached the last row."},
      {static_cast<long>(0x8000500D), "ADS500D", "The property cannot be found in the cache."},
      {static_cast<long>(0x80005014), "ADS5014", "The specified search filter is invalid."},
      {5, "ADS0X5", "User has insufficient access rights."},
      {static_cast<long>(0x12344321), "ADS4321", "Message text not found."},
  };
  for (const Case& c : cases) {
    char code[16], message[4096];
    EXPECT_EQ(ADsErrorText(c.code, code, sizeof code, message, sizeof message), 0);
    EXPECT_STREQ(code, c.codeText) << std::hex << c.code;
    EXPECT_STREQ(message, c.message) << std::hex << c.code;
  }
}

TEST(ADsErrorText, SmallBuffersStayTerminated) {
  char code[4], message[8];
  ADsErrorText(static_cast<long>(0x80072030), code, sizeof code, message, sizeof message);
  EXPECT_STREQ(code, "ADS");
  EXPECT_STREQ(message, "Object ");
}

TEST(RoleText, ValuesOfTheTableAndOthers) {
  EXPECT_STREQ(RoleText(6), "MailBox Role, Client Access Role");
  EXPECT_STREQ(RoleText(54), "Mailbox Role, Client Access Role, Unified Messaging Role, Hub Transport Role");
  EXPECT_STREQ(RoleText(64), "Edge Tranport Role");
  for (long long v : {0LL, 3LL, -5LL, -2LL, 66LL, 0x100000002LL, LLONG_MAX, LLONG_MIN})
    EXPECT_STREQ(RoleText(v), "") << v;
}

TEST(Topology, ThreeServersOneWithoutRole) {
  auto records = SplitRoleList("A;dom;Mailbox Role;B;dom;;C;dom;Hub Transport Role;");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].server, "B");
  EXPECT_EQ(records[1].role, "");
  std::string text = FormatTopology(records);
  EXPECT_EQ(text,
            "######  Topology Data - Number of Machines ######'3'\n"
            "A;dom;Mailbox Role\nB;dom;\nC;dom;Hub Transport Role\n");
  auto back = ParseTopology(text);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[2].role, "Hub Transport Role");
  EXPECT_EQ(back[1].domain, "dom");
}

TEST(Topology, CountsThatDoNotMatchTheLines) {
  struct Case {
    const char* text;
    size_t rows;
  } cases[] = {
      {"######'9'\nA;d;r\nB;d;r\n", 2},               // more announced than written
      {"######'1'\nA;d;r\nB;d;r\n", 1},               // fewer announced
      {"######'-4'\nA;d;r\n", 0},                      // negative
      {"######'99999999999999999999'\nA;d;r\n", 1},    // huge: bounded by the lines
      {"no quote\nA;d;r\n", 0},
      {"######'3'\n   # comment\n  A;d;r\r\n\nB\n", 2},  // blanks, comments, short lines
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseTopology(c.text).size(), c.rows) << c.text;
  auto r = ParseTopology("######'3'\n  A;d;r\r\nB\n");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].server, "A");
  EXPECT_EQ(r[0].role, "r");
  EXPECT_EQ(r[1].server, "B");
  EXPECT_EQ(r[1].domain, "");
}

TEST(Topology, IntervalRule) {
  struct Case {
    const char* setting;
    long seconds;
  } cases[] = {{"60", 300}, {"300", 300}, {"301", 301}, {"900", 900}, {nullptr, -1},
               {"", -1},    {"-1", -1},   {"0", -1},    {"abc", -1},  {"99999999999", 4000000}};
  for (const Case& c : cases)
    EXPECT_EQ(TopologyInterval(c.setting), c.seconds) << (c.setting ? c.setting : "(unset)");
}

TEST(DirectoryText, NamesWitnessesAndCopies) {
  EXPECT_EQ(CommonName("CN=EXMB01,CN=Servers,DC=x"), "EXMB01");
  EXPECT_EQ(CommonName("cn=exmb01,cn=Servers"), "exmb01");  // OpenLDAP spells types in lower case
  EXPECT_EQ(CommonName("CN=A\\,B,DC=x"), "A,B");
  EXPECT_EQ(CommonName("OU=Servers,DC=x"), "");
  EXPECT_EQ(CommonName("CN"), "");
  EXPECT_EQ(WitnessServer("\\\\EXCAS01\\DAG01.fsw"), "EXCAS01");
  EXPECT_EQ(WitnessServer("\\\\EXCAS01"), "EXCAS01");
  EXPECT_EQ(WitnessServer("EXCAS01-share"), "");
  EXPECT_EQ(WitnessServer("\\\\"), "");
  EXPECT_EQ(ActivationPreference(268435456), 1);
  EXPECT_EQ(ActivationPreference(805306368), 3);
  EXPECT_EQ(ActivationPreference(268435455), 0);
  EXPECT_EQ(ActivationPreference(LLONG_MAX), 0x7FFFFFFF);
  EXPECT_EQ(ReplayLagMinutes(600), 10);
  EXPECT_EQ(ReplayLagMinutes(959), 15);
  EXPECT_EQ(ReplayLagMinutes(-59), 0);
  EXPECT_EQ(ReplayLagMinutes(LLONG_MAX), INT32_MAX);
}

TEST(DirectorySettings, BindWordsAndServerNames) {
  bool usable = false;
  EXPECT_FALSE(SimpleBind(nullptr, &usable));
  EXPECT_TRUE(usable);
  EXPECT_FALSE(SimpleBind("Secure", &usable));
  EXPECT_TRUE(usable);
  EXPECT_TRUE(SimpleBind("SIMPLE", &usable));
  EXPECT_TRUE(usable);
  EXPECT_FALSE(SimpleBind("kerberos", &usable));
  EXPECT_FALSE(usable);
  for (const char* good : {"", "127.0.0.2", "dc01", "dc01.qmxtest.local", "[::1]", "a-b.c"})
    EXPECT_TRUE(UsableServerName(good)) << good;
  for (const char* bad : {"dc01/x", "-dc", "dc-", "a..b", "LDAP://dc", "dc 01", "[::1", "x:389"})
    EXPECT_FALSE(UsableServerName(bad)) << bad;
}

TEST(DirectoryText, IntegersGivenAsText) {
  struct Case {
    const char* text;
    bool ok;
    long long value;
  } cases[] = {{"268435456", true, 268435456}, {"-5", true, -5}, {"+7", true, 7},
               {"99999999999", true, 99999999999LL}, {"9223372036854775808", false, 0},
               {"", false, 0}, {"-", false, 0}, {"12a", false, 0}, {" 1", false, 0},
               {"ten minutes", false, 0}};
  for (const Case& c : cases) {
    long long v = 0;
    EXPECT_EQ(ParseDecimal(c.text, &v), c.ok) << c.text;
    if (c.ok) EXPECT_EQ(v, c.value) << c.text;
  }
}
