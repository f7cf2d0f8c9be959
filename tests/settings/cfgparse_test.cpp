#include "cfgparse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using qmxcfg::ParseConfigText;
using qmxcfg::StoreAction;

namespace {

struct Expect {
  std::string variable;
  std::string value;
  bool forced;
};

std::vector<Expect> Actions(const std::string& text, int release = 5) {
  std::vector<Expect> out;
  for (const StoreAction& a : ParseConfigText(text, release).actions)
    out.push_back({a.variable, a.value, a.forced});
  return out;
}

bool operator==(const Expect& a, const Expect& b) {
  return a.variable == b.variable && a.value == b.value && a.forced == b.forced;
}
std::ostream& operator<<(std::ostream& os, const Expect& e) {
  return os << e.variable << "=" << e.value << (e.forced ? " (forced)" : "");
}

// Whether s is well-formed UTF-8.
bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

const char kFullFile[] =
    "SECTION=EXCH\n"
    "exchange_password=ab\\\\c\\d exchange_domain=CORP\n"
    "exchange_profile=prof exchange_reach_interval=301 exchange_targets=a@x.com,b@x.com\n"
    "exchange_mailbox_interval=3600 exchange_user=admin exchange_mailbox_runtime=02:00\n"
    "exchange_interval=60 exchange_reach_threshold=30 exchange_server=EXSRV\n"
    "exchange_reach_enable=1 exchange_mailbox_enable=1 exchange_services=ignored\n"
    "exchange_topology_interval=900\n"
    "SECTION=SERVICES\n"
    "exch_service_is=1 exch_service_pop3=1 exch_service_imap=0 exch_service_search=1\n"
    "SECTION=CLUSTER\n"
    "exch_cluster_server=VCLUS exch_subsystem=SUB1 exch_history=C:\\\\hist\\\\dir\n";

TEST(ParseConfig, FullFileGivesEverySettingInOrder) {
  std::vector<Expect> want = {
      {"QMX_EXCH_PASSWORD", "abcd", false},
      {"QMX_EXCH_DOMAIN", "CORP", false},
      {"QMX_MAPI_PROFILE", "prof", false},
      {"QMX_REACHABILITY_INTERVAL", "301", false},
      {"QMX_EMAIL_ADDRESSES", "a@x.com,b@x.com", false},
      {"QMX_MBX_INFO_INTERVAL", "3600", false},
      {"QMX_EXCH_USERID", "admin", false},
      {"QMX_MAILBOX_RUNTIME", "02:00", false},
      {"QMX_INTERVAL", "60", false},
      {"QMX_REACHABILITY_THRESHOLD", "30", false},
      {"QMX_EXCH_SERVER", "EXSRV", false},
      {"QMX_REACHABILITY_ENABLED", "1", false},
      {"QMX_MBX_DETAILS_ENABLED", "1", false},
      {"QMX_REQD_SERVICES", "ignored", false},
      {"QMX_TOPOLOGY_INTERVAL", "900", false},
      {"QMX_REQD_SERVICES", "MSExchangeIS=1 MSExchangePOP3=1 MSFTESQL-Exchange", true},
      {"VORTA_HOSTNAME", "VCLUS", false},
      {"VORTA_SUBSYSTEM_ID", "SUB1", false},
      {"VORTA_HIST_DIR", "C:\\hist\\dir", false},
  };
  EXPECT_EQ(Actions(kFullFile), want);
  qmxcfg::ParseResult r = ParseConfigText(kFullFile, 5);
  EXPECT_TRUE(r.ClusterConsistent());
  EXPECT_TRUE(qmxcfg::ClusterServerConfigured(r.joined));
}

TEST(ParseConfig, ReleaseOneUsesTheOlderServiceNames) {
  const char* text = "SECTION=SERVICES exch_service_pop3=1 exch_service_imap=1 SECTION=CLUSTER";
  std::vector<Expect> r1 = Actions(text, 1);
  ASSERT_GE(r1.size(), 1u);
  EXPECT_EQ(r1[0], (Expect{"QMX_REQD_SERVICES", "POP3Svc=1 IMAP4Svc=1", true}));
  std::vector<Expect> r3 = Actions(text, 3);
  ASSERT_GE(r3.size(), 1u);
  EXPECT_EQ(r3[0].value, "MSExchangePOP3=1 MSExchangeIMAP4=1");
}

TEST(ParseConfig, NumericSettingsTakeDigitsOrNothing) {
  struct Case {
    const char* token;
    bool stored;
  } cases[] = {
      {"exchange_interval=abc", false}, {"exchange_interval=", true},
      {"exchange_interval=12a", false}, {"exchange_interval=007", true},
      {"exchange_interval=-5", false},  {"exchange_reach_enable=yes", false},
      {"exchange_user=abc", true},      {"exchange_topology_interval=1.5", false},
  };
  for (const Case& c : cases) {
    std::vector<Expect> a = Actions(std::string("SECTION=EXCH ") + c.token);
    EXPECT_EQ(a.size(), c.stored ? 1u : 0u) << c.token;
  }
}

TEST(ParseConfig, KeywordsMatchExactlyAndOnlyInsideTheirSection) {
  EXPECT_TRUE(Actions("exchange_interval=60 SECTION=EXCH").empty());
  EXPECT_TRUE(Actions("SECTION=EXCH exchange_Interval=60 EXCHANGE_INTERVAL=6 exchange_intervalx=6").empty());
  EXPECT_TRUE(Actions("SECTION=EXCH exchange_interval").empty());  // no "=": no setting
  EXPECT_TRUE(Actions("SECTION=EXCH exchange_bogus=1").empty());
  // The value is split at the first "=" only.
  EXPECT_EQ(Actions("SECTION=EXCH exchange_targets=a=b"),
            (std::vector<Expect>{{"QMX_EMAIL_ADDRESSES", "a=b", false}}));
  // Cluster keywords are "exch_" tokens: an EXCH section does not take them.
  EXPECT_TRUE(Actions("SECTION=EXCH exch_cluster_server=x").empty());
}

TEST(ParseConfig, ServicesWithoutClusterAreNeverStored) {
  std::vector<Expect> a = Actions(
      "SECTION=EXCH exchange_interval=60\nSECTION=SERVICES\nexch_service_is=1 exch_service_sa=1\n");
  EXPECT_EQ(a, (std::vector<Expect>{{"QMX_INTERVAL", "60", false}}));
}

TEST(ParseConfig, SectionsStayOn) {
  // EXCH settings after the SERVICES and CLUSTER markers still count.
  std::vector<Expect> a = Actions(
      "SECTION=EXCH SECTION=SERVICES exch_service_sa=1 SECTION=CLUSTER exchange_interval=70");
  EXPECT_EQ(a, (std::vector<Expect>{{"QMX_REQD_SERVICES", "MSExchangeSA=1", true},
                                    {"QMX_TOPOLOGY_INTERVAL", "-1", true},
                                    {"QMX_INTERVAL", "70", false}}));
  // A later SERVICES marker empties the list, and with the cluster section already on the
  // (empty) list is stored at once; service words after it are cluster tokens that match nothing.
  a = Actions("SECTION=SERVICES exch_service_sa=1 SECTION=CLUSTER SECTION=SERVICES exch_service_is=1");
  EXPECT_EQ(a, (std::vector<Expect>{{"QMX_REQD_SERVICES", "MSExchangeSA=1", true},
                                    {"QMX_TOPOLOGY_INTERVAL", "-1", true},
                                    {"QMX_REQD_SERVICES", "", true}}));
}

TEST(ParseConfig, ConfiguredTopologyIntervalIsNotForced) {
  std::vector<Expect> a =
      Actions("SECTION=EXCH exchange_topology_interval=abc SECTION=CLUSTER exch_subsystem=S");
  // Named but not numeric: dropped, and still no forced default.
  EXPECT_EQ(a, (std::vector<Expect>{{"VORTA_SUBSYSTEM_ID", "S", false}}));
}

TEST(ParseConfig, ServiceVocabulary) {
  struct Case {
    const char* token;
    const char* list;
  } cases[] = {
      {"exch_service_rep=1", "MSExchangeRepl=1"},
      {"exch_service_re=1", "RESvc=1"},
      {"exch_service_protservhost=1", "MSExchangeProtectedServiceHost=1"},
      {"exch_service_servhost=1", "MSExchangeServiceHost=1"},
      {"exch_service_smtp=1", "SMTPSVC"},
      {"exch_service_mailboxrep=1", "MSExchangeMailboxReplication=1"},
      {"exch_service_is=0", ""},
      {"exch_service_unknown=1", ""},
      {"exch_www_srv=1", "W3Svc=1"},
      {"exch_service_throttling=1", "MSExchangeThrottling=1"},
  };
  for (const Case& c : cases) {
    std::vector<Expect> a = Actions(std::string("SECTION=SERVICES ") + c.token + " SECTION=CLUSTER");
    ASSERT_FALSE(a.empty()) << c.token;
    EXPECT_EQ(a[0], (Expect{"QMX_REQD_SERVICES", c.list, true})) << c.token;
  }
}

TEST(ParseConfig, ClusterValuesAndConsistency) {
  qmxcfg::ParseResult r = ParseConfigText(
      "SECTION=CLUSTER exch_history=\\\\\\\\srv\\\\share\\x exch_other=1 exch_cluster_server", 5);
  ASSERT_EQ(r.actions.size(), 2u);
  EXPECT_EQ(r.actions[0].variable, "QMX_TOPOLOGY_INTERVAL");
  EXPECT_EQ(r.actions[1].value, "\\\\srv\\share\\x");
  struct Case {
    const char* keys;
    bool consistent;
  } cases[] = {
      {"", true},
      {"exch_cluster_server=a exch_subsystem=b exch_history=c", true},
      {"exch_cluster_server=a", false},
      {"exch_cluster_server=a exch_subsystem=b", false},
      {"exch_history=c", false},
      {"exch_history=c exch_subsystem=b", false},
      {"exch_subsystem=b", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ParseConfigText(std::string("SECTION=CLUSTER ") + c.keys, 5).ClusterConsistent(),
              c.consistent)
        << c.keys;
  // The same keywords outside a cluster section count for nothing.
  EXPECT_TRUE(ParseConfigText("exch_cluster_server=a", 5).ClusterConsistent());
}

TEST(ParseConfig, LongValuesAreCutAtCharacterBoundaries) {
  // 1022 ASCII bytes and a two-byte character: the character does not fit in 1023.
  std::string value(1022, 'v');
  value += "\xC3\xA9tail";
  std::vector<Expect> a = Actions("SECTION=EXCH exchange_targets=" + value);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].value, std::string(1022, 'v'));
  // Plain text is cut at exactly 1023.
  a = Actions("SECTION=EXCH exchange_targets=" + std::string(5000, 'x'));
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].value.size(), 1023u);
  // Cluster values at 127, with a three-byte character straddling the limit.
  std::string cv(126, 'c');
  cv += "\xE2\x82\xAC";
  qmxcfg::ParseResult r = ParseConfigText("SECTION=CLUSTER exch_subsystem=" + cv, 5);
  ASSERT_EQ(r.actions.size(), 2u);
  EXPECT_EQ(r.actions[1].value, std::string(126, 'c'));
  // The password loses its backslashes before it is cut.
  a = Actions("SECTION=EXCH exchange_password=" + std::string(1100, '\\') + "pw");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].value, "pw");
}

TEST(ParseConfig, CutUtf8) {
  EXPECT_EQ(qmxcfg::CutUtf8("abc", 5), "abc");
  EXPECT_EQ(qmxcfg::CutUtf8("ab\xF0\x9F\x98\x80", 5), "ab");
  EXPECT_EQ(qmxcfg::CutUtf8("ab\xF0\x9F\x98\x80", 6), "ab\xF0\x9F\x98\x80");
  // Not UTF-8 at all: cut where the limit says.
  EXPECT_EQ(qmxcfg::CutUtf8("\x80\x80\x80\x80\x80\x80", 4).size(), 4u);
}

TEST(ParseConfig, RecordsLinesAndOddBytes) {
  std::vector<std::string> records;
  auto sink = [&](std::string_view r) { records.emplace_back(r); };
  // CRLF, an empty line, NUL bytes inside a line, no line end at the end.
  static const char kText[] = "SECTION=EXCH\r\n\r\nexchange_user=a\0exchange_domain=D\nexchange_interval=9";
  std::string text(kText, sizeof kText - 1);
  qmxcfg::ParseResult r = ParseConfigText(text, 5, sink);
  EXPECT_TRUE(r.hadNul);
  EXPECT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0], "SECTION=EXCH");
  EXPECT_EQ(records[3], "exchange_interval=9");
  EXPECT_EQ(r.actions.size(), 3u);
  EXPECT_EQ(r.joined, "SECTION=EXCH  exchange_user=a exchange_domain=D exchange_interval=9");
}

TEST(ParseConfig, LinesLongerThanTheRecordLimitAreReadInPieces) {
  std::vector<std::string> records;
  auto sink = [&](std::string_view r) { records.emplace_back(r); };
  // A line of 3072 bytes is one record; 3073 bytes make two.
  std::string head = "SECTION=EXCH exchange_user=";
  std::string line = head + std::string(qmxcfg::kMaxRecord - head.size(), 'u');
  qmxcfg::ParseResult r = ParseConfigText(line, 5, sink);
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(r.brokenLines, 0u);
  records.clear();
  // The piece boundary falls inside a two-byte character: it moves before it.
  std::string longer = head + std::string(qmxcfg::kMaxRecord - head.size() - 1, 'u') + "\xC3\xA9" + "z";
  r = ParseConfigText(longer, 5, sink);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(r.brokenLines, 1u);
  EXPECT_EQ(records[0].size(), qmxcfg::kMaxRecord - 1);
  EXPECT_EQ(records[1], "\xC3\xA9z");
  for (const std::string& rec : records) EXPECT_TRUE(ValidUtf8(rec));
}

TEST(ParseConfig, VeryLargeTextUsesWholeLinesOfItsStartOnly) {
  std::string text = "SECTION=EXCH exchange_user=first\n";
  std::string filler = std::string(100, 'f') + "\n";
  while (text.size() < 3 * qmxcfg::kMaxFileBytes) text += filler;
  text += "exchange_domain=late\n";
  auto start = std::chrono::steady_clock::now();
  qmxcfg::ParseResult r = ParseConfigText(text, 5);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.truncated);
  EXPECT_LE(r.joined.size(), qmxcfg::kMaxFileBytes);
  ASSERT_EQ(r.actions.size(), 1u);
  EXPECT_EQ(r.actions[0].value, "first");
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(took).count(), 10);
}

TEST(ParseConfig, ClusterServerConfigured) {
  struct Case {
    const char* text;
    bool set;
  } cases[] = {
      {"SECTION=CLUSTER exch_cluster_server=V", true},
      {"SECTION=CLUSTER exch_cluster_server", true},
      {"exch_cluster_server=V SECTION=CLUSTER", false},
      {"SECTION=CLUSTER exch_subsystem=S", false},
      {"", false},
      {"xSECTION=CLUSTERx exch_cluster_serverX=1", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(qmxcfg::ClusterServerConfigured(ParseConfigText(c.text, 5).joined), c.set) << c.text;
}

TEST(ParseConfig, DefaultsAreTheEighteenInTableOrder) {
  std::vector<StoreAction> d = qmxcfg::DefaultActions("DOM", "HOST.example");
  std::vector<std::string> want = {"",           "DOM",   "ex_profile", "300", "",  "86400",
                                   "administrator", "",  "120",        "60",  "HOST.example",
                                   "0",          "0",     "",           "",    "",  "",
                                   "300"};
  ASSERT_EQ(d.size(), 18u);
  for (size_t i = 0; i < d.size(); ++i) {
    EXPECT_EQ(d[i].value, want[i]) << d[i].variable;
    EXPECT_EQ(d[i].variable, qmxcfg::kSettings[i].variable);
  }
  EXPECT_EQ(d[0].variable, "QMX_EXCH_PASSWORD");
  EXPECT_EQ(d[17].variable, "QMX_TOPOLOGY_INTERVAL");
}

}  // namespace
