// Decoding, query and condition parsing, and metric formatting of the monitoring side.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "http_server.h"
#include "monitor_format.h"

using namespace pxr_http;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8, InvalidSequencesAreReplaced) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},               // four bytes
      {"a\xff" "b", "a" + kFffd + "b"},                      // never a lead byte
      {"\xc3", kFffd},                                       // cut short at the end
      {"\xe2\x82" "x", kFffd + "x"},                         // cut short inside
      {"\xc0\xaf", kFffd + kFffd},                           // overlong
      {"\xe0\x80\xaf", kFffd + kFffd + kFffd},               // overlong, three bytes
      {"\xed\xa0\x80", kFffd + kFffd + kFffd},               // surrogate
      {"\xf4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},   // above U+10FFFF
      {"\x80\x80", kFffd + kFffd},                           // stray continuations
  };
  for (const Case& c : cases) EXPECT_EQ(SanitizeUtf8(c.in), c.out) << c.in;
}

TEST(FieldText, StopsAtNulDropsTrailingBlanksKeepsInnerOnes) {
  struct Case {
    std::string field;
    std::string out;
  } cases[] = {
      {std::string("abc\0def", 7), "abc"},
      {"a b   ", "a b"},
      {"  lead", "  lead"},
      {std::string("xy  \0zz", 7), "xy"},
      {std::string(8, ' '), ""},
      {"fullwidth", "fullwidth"},  // no NUL at all: the width ends it
      {"bad\xfe", "bad" + kFffd},
  };
  for (const Case& c : cases) EXPECT_EQ(FieldText(c.field.data(), c.field.size()), c.out);
}

// A row of every type, and attributes that do not fit.
struct RowFixture {
  TableLayout layout;
  std::vector<char> row;
  RowFixture() {
    layout.application = "QMX";
    layout.table = "T1";
    layout.rowSize = 40;
    layout.step = 2;
    layout.attributes = {{"text", 0, 8, ATTR_TEXT},   {"utf", 8, 8, ATTR_UTF8},
                         {"small", 16, 4, ATTR_INT32}, {"large", 20, 8, ATTR_INT64},
                         {"odd", 28, 4, 77},           {"outside", 36, 8, ATTR_INT64},
                         {"shortint", 32, 2, ATTR_INT32}};
    row.assign(40, '\0');
    std::memcpy(&row[0], "ab  ", 4);
    std::memcpy(&row[8], "\xc3\xa9\xff", 3);
    int32_t s = -123;
    int64_t l = -9000000000LL;
    std::memcpy(&row[16], &s, 4);
    std::memcpy(&row[20], &l, 8);
  }
};

TEST(RowJson, DecodesEveryTypeInAttributeOrder) {
  RowFixture f;
  Json j = RowJson(f.row.data(), f.layout);
  EXPECT_EQ(Dump(j), "{\"text\":\"ab\",\"utf\":\"\xc3\xa9\xef\xbf\xbd\",\"small\":-123,"
                     "\"large\":-9000000000,\"odd\":null,\"outside\":null,\"shortint\":null}");
}

TEST(TableJson, ShapeOfTheListing) {
  RowFixture f;
  f.layout.attributes.resize(2);
  EXPECT_EQ(Dump(TableJson(f.layout)),
            "{\"application\":\"QMX\",\"name\":\"T1\",\"rowSize\":40,\"step\":2,\"attributes\":["
            "{\"name\":\"text\",\"offset\":0,\"width\":8,\"type\":9},"
            "{\"name\":\"utf\",\"offset\":8,\"width\":8,\"type\":12}]}");
  EXPECT_EQ(Dump(ErrorJson("bad \xff")), "{\"error\":\"bad \xef\xbf\xbd\"}");
}

TEST(Conditions, EveryOperatorAndValuesWithColons) {
  struct Case {
    const char* text;
    const char* attribute;
    _IntfOper oper;
    const char* value;
  } cases[] = {
      {"VALUE:EQ:1", "VALUE", OPER_EQ, "1"},     {"VALUE:NE:-1", "VALUE", OPER_NE, "-1"},
      {"BIG:LT:5", "BIG", OPER_LT, "5"},         {"BIG:LE:5", "BIG", OPER_LE, "5"},
      {"NAME:GT:a b", "NAME", OPER_GT, "a b"},   {"NAME:GE:", "NAME", OPER_GE, ""},
      {"ORIGINNODE:EQ:hostA:EX", "ORIGINNODE", OPER_EQ, "hostA:EX"},
      {"A_1:EQ:x", "A_1", OPER_EQ, "x"},
      // Attribute names in any case; the framework's are upper case.
      {"value:EQ:1", "VALUE", OPER_EQ, "1"},     {"OriginNode:NE:h", "ORIGINNODE", OPER_NE, "h"},
  };
  for (const Case& c : cases) {
    RequestCondition rc;
    std::string error;
    ASSERT_TRUE(ParseCondition(c.text, &rc, &error)) << c.text << ": " << error;
    EXPECT_EQ(rc.attribute, c.attribute);
    EXPECT_EQ(rc.oper, c.oper);
    EXPECT_EQ(rc.value, c.value);
  }
}

TEST(Conditions, MalformedOnesAreRefusedWithAReason) {
  const char* bad[] = {"", "VALUE", "VALUE:EQ", ":EQ:1", "VALUE:eq:1", "VAL-UE:EQ:1",
                       "VALUE:XX:1", "VALUE::1", "VA LUE:EQ:1", "VALUE:EQ1", "VAL\xc3\xa9:EQ:1"};
  for (const char* text : bad) {
    RequestCondition rc;
    std::string error;
    EXPECT_FALSE(ParseCondition(text, &rc, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(Conditions, CheckedAgainstTheLayout) {
  RowFixture f;
  struct Case {
    RequestCondition c;
    bool ok;
  } cases[] = {
      {{"SMALL", OPER_EQ, "-12"}, true},       {{"SMALL", OPER_EQ, "+12"}, true},
      {{"SMALL", OPER_EQ, "12x"}, false},      {{"SMALL", OPER_EQ, ""}, false},
      {{"SMALL", OPER_EQ, " 1"}, false},       {{"LARGE", OPER_GT, "99999999999999999999"}, false},
      {{"LARGE", OPER_GT, "-9000000000"}, true}, {{"TEXT", OPER_EQ, "anything at all"}, true},
      {{"MISSING", OPER_EQ, "1"}, false},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(CheckCondition(c.c, f.layout, &error), c.ok) << c.c.attribute << " " << c.c.value;
  }
}

TEST(Query, PercentDecodingAndPlus) {
  std::vector<std::pair<std::string, std::string>> p;
  std::string error;
  ASSERT_TRUE(ParseQuery("where=NAME%3AEQ%3Aa+b&&where=X:EQ:%C3%A9&flag", &p, &error));
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0], (std::pair<std::string, std::string>{"where", "NAME:EQ:a b"}));
  EXPECT_EQ(p[1].second, "X:EQ:\xc3\xa9");
  EXPECT_EQ(p[2], (std::pair<std::string, std::string>{"flag", ""}));
  for (const char* bad : {"where=%", "where=%4", "where=%zz", "where=a%00b", "w%G1=1", "x=%%41"}) {
    EXPECT_FALSE(ParseQuery(bad, &p, &error)) << bad;
  }
  std::string out;
  EXPECT_TRUE(PercentDecode("a+b%2B", false, &out));
  EXPECT_EQ(out, "a+b+");
}

TEST(Naming, MetricAndLabelNamesAreValid) {
  EXPECT_EQ(MetricName("MSEDB", "cachehit"), "qmx_msedb_cachehit");
  EXPECT_EQ(MetricName("MSE-X", "a.b"), "qmx_mse_x_a_b");
  EXPECT_EQ(MetricName("T", "count"), "qmx_t_count_value");
  EXPECT_EQ(MetricName("T", "sum"), "qmx_t_sum_value");
  EXPECT_EQ(MetricName("T", "catcount"), "qmx_t_catcount");
  EXPECT_EQ(LabelName("9lives"), "_9lives");
  EXPECT_EQ(LabelName("__x"), "a__x");
  EXPECT_EQ(EscapeLabelValue("a\\b\"c\nd\xff"), "a\\\\b\\\"c\\nd" + kFffd);
  EXPECT_EQ(EscapeHelp("a\\b\"c\nd"), "a\\\\b\"c\\nd");
}

TEST(Address, HostAndPort) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"127.0.0.1:19610", true, "127.0.0.1", 19610}, {"[::1]:80", true, "::1", 80},
      {"localhost:0", true, "localhost", 0},        {"0.0.0.0:65535", true, "0.0.0.0", 65535},
      {"127.0.0.1", false, "", 0},                  {"127.0.0.1:65536", false, "", 0},
      {":80", false, "", 0},                        {"h:8x", false, "", 0},
      {"::1:80", false, "", 0},                     {"[::1]80", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host, error;
    uint16_t port = 1;
    EXPECT_EQ(ParseHostPort(c.text, &host, &port, &error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    }
  }
  Endpoint e;
  std::string error;
  ASSERT_TRUE(ResolveEndpoint("127.0.0.5", 1, &e, &error));
  EXPECT_TRUE(e.loopback);
  ASSERT_TRUE(ResolveEndpoint("0.0.0.0", 1, &e, &error));
  EXPECT_FALSE(e.loopback);
  ASSERT_TRUE(ResolveEndpoint("::1", 1, &e, &error));
  EXPECT_TRUE(e.loopback);
}

// Metric lines of one table, checked line by line.
struct MetricFixture {
  TableLayout layout;
  std::vector<char> rows;
  MetricFixture() {
    layout.table = "TX";
    layout.rowSize = 32;
    layout.attributes = {{"sampleno", 0, 4, ATTR_INT32}, {"rowno", 4, 4, ATTR_INT32},
                         {"timestamp", 8, 4, ATTR_TEXT}, {"inst", 12, 8, ATTR_UTF8},
                         {"cnt", 20, 4, ATTR_INT32},     {"big", 24, 8, ATTR_INT64}};
  }
  void Add(const char* inst, int32_t cnt, int64_t big) {
    std::vector<char> r(32, '\0');
    std::memcpy(&r[8], "1234", 4);
    std::memcpy(&r[12], inst, std::min<size_t>(8, std::strlen(inst)));
    std::memcpy(&r[20], &cnt, 4);
    std::memcpy(&r[24], &big, 8);
    rows.insert(rows.end(), r.begin(), r.end());
  }
  std::string Format(const HelpLookup& help = nullptr) {
    return FormatTableMetrics(layout, rows.data(), static_cast<int>(rows.size() / 32), help);
  }
};

TEST(TableMetrics, FamiliesLabelsMarkerAndHelp) {
  MetricFixture f;
  f.Add("a\"b", 5, -1);
  f.Add("c", -1, 7);  // the 4-byte marker; -1 in 8 bytes is a value
  std::string text = f.Format([](const std::string& t, const std::string& a) {
    MetricHelp h;
    if (a == "cnt") h.text = "Counter \"X\\Y\"";
    return h;
  });
  EXPECT_EQ(text,
            "# HELP qmx_tx_cnt Counter \"X\\\\Y\"\n"
            "# TYPE qmx_tx_cnt gauge\n"
            "qmx_tx_cnt{inst=\"a\\\"b\"} 5\n"
            "# HELP qmx_tx_big Table TX attribute big\n"
            "# TYPE qmx_tx_big gauge\n"
            "qmx_tx_big{inst=\"a\\\"b\"} -1\n"
            "qmx_tx_big{inst=\"c\"} 7\n");
}

TEST(TableMetrics, RowsThatNoTextTellsApartGetTheirPosition) {
  MetricFixture f;
  f.Add("same", 1, 1);
  f.Add("same", 2, 2);
  std::string text = f.Format();
  EXPECT_NE(text.find("qmx_tx_cnt{inst=\"same\",row=\"0\"} 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("qmx_tx_cnt{inst=\"same\",row=\"1\"} 2\n"), std::string::npos) << text;
}

TEST(TableMetrics, AllMarkedFamilyIsLeftOutAndNoRowsGiveNothing) {
  MetricFixture f;
  f.Add("a", -1, 3);
  std::string text = f.Format();
  EXPECT_EQ(text.find("qmx_tx_cnt"), std::string::npos);
  EXPECT_NE(text.find("qmx_tx_big{inst=\"a\"} 3\n"), std::string::npos);
  EXPECT_EQ(FormatTableMetrics(f.layout, nullptr, 0, nullptr), "");
}

TEST(SampleStatsText, EveryFamilyOncePerTable) {
  SampleStats a;
  a.table = "A";
  a.sampled = true;
  a.durationSeconds = 0.25;
  a.rows = 3;
  a.lastSuccess = 1700000000.5;
  a.failures = 2;
  a.skippedRounds = 1;
  SampleStats b;
  b.table = "B";  // never sampled
  std::string text = FormatSampleStats({a, b});
  for (const char* line :
       {"qmx_table_sample_duration_seconds{table=\"A\"} 0.250000\n", "qmx_table_rows{table=\"A\"} 3\n",
        "qmx_table_last_success_timestamp_seconds{table=\"A\"} 1700000000.500\n",
        "qmx_table_failed_samples_total{table=\"A\"} 2\n",
        "qmx_table_skipped_rounds_total{table=\"A\"} 1\n",
        "qmx_table_failed_samples_total{table=\"B\"} 0\n",
        "# TYPE qmx_table_failed_samples_total counter\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(text.find("qmx_table_rows{table=\"B\"}"), std::string::npos);
  EXPECT_EQ(text.find("qmx_table_sample_duration_seconds{table=\"B\"}"), std::string::npos);
}

}  // namespace

// The exposition carries each counter's own value: the row's integer divided by its scale.
TEST(TableMetrics, CounterFieldsAreDividedByTheirScale) {
  MetricFixture f;
  f.Add("db1", 7968, 3);
  f.Add("db2", -1, 5);  // the marker stays left out, whatever the scale
  std::string text = f.Format([](const std::string&, const std::string& a) {
    MetricHelp h;
    if (a == "cnt") {
      h.text = CounterHelpText("MSExchange Database", "Database Cache % Hit");
      h.scale = 100;
    } else {
      h.scale = 0.001;  // bytes stored as kilobytes
    }
    return h;
  });
  EXPECT_NE(text.find("qmx_tx_cnt{inst=\"db1\"} 79.68\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("qmx_tx_cnt{inst=\"db2\"}"), std::string::npos) << text;
  EXPECT_NE(text.find("qmx_tx_big{inst=\"db2\"} 5000\n"), std::string::npos) << text;
  EXPECT_NE(text.find("# HELP qmx_tx_cnt Performance object \"MSExchange Database\", counter "
                      "\"Database Cache % Hit\", unit percent;"),
            std::string::npos)
      << text;
}

TEST(TableMetrics, ScaledValuesReadBackExactly) {
  struct Case {
    long long field;
    double scale;
    const char* text;
  } cases[] = {
      {7968, 100, "79.68"}, {-5, 100, "-0.05"}, {1, 3, "0.3333333333333333"}, {12, 1, "12"},
      {9007199254740993LL, 1, "9007199254740993"},  // unscaled 64-bit integers stay exact
      {42, 0, "42"},  // no usable factor: the row's value
      {1, 0.001, "1000"}, {6016, 100, "60.16"},
  };
  for (const Case& c : cases) EXPECT_EQ(ScaledValue(c.field, c.scale), c.text) << c.field << "/" << c.scale;
}

TEST(TableMetrics, UnitsFromTheCounterName) {
  const std::pair<const char*, const char*> cases[] = {
      {"Log Bytes Write/sec", "per second"}, {"Database Cache % Hit", "percent"},
      {"Database Cache Size (MB)", "megabytes"}, {"Database Cache Size", "count"},
      {"Bytes Received", "bytes"}, {"I/O Database Reads Average Latency", "milliseconds"},
      {"Messages Queued For Delivery Per Second", "per second"}, {"Log Threads Waiting", "count"},
  };
  for (const auto& c : cases) EXPECT_EQ(CounterUnit(c.first), c.second) << c.first;
}
