// The monitoring side's answers and its scheduler, on the two test tables.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "monitor.h"
#include "pxr_monitor.h"
#include "test_tables.h"

using namespace pxr_http;
using namespace std::chrono_literals;

namespace {

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pxr::ResetForTests();
    http_test::RegisterTestTables();
    http_test::gTableBDelayMs = 0;
    http_test::gTableBFails = false;
    http_test::gTableBMostAtOnce = 0;
  }
  void TearDown() override {
    http_test::gTableBDelayMs = 0;
    http_test::gTableBFails = false;
  }
  static std::unique_ptr<Monitor> Make(std::chrono::milliseconds interval = 3600s,
                                       std::string token = "") {
    MonitorOptions o;
    o.interval = interval;
    o.token = std::move(token);
    o.busyWait = 2s;
    std::unique_ptr<Monitor> m(new Monitor(o));
    if (interval == 3600s) m->StartScheduler(false);  // rounds only when a test asks
    return m;
  }
  static Json Get(Monitor& m, const std::string& target, int expected = 200) {
    HttpAnswer a = m.Handle("GET", target, "");
    EXPECT_EQ(a.status, expected) << target << " " << a.body;
    EXPECT_EQ(a.contentType, "application/json");
    return Json::parse(a.body);
  }
  // The "name" of every row the rows endpoint answers.
  static std::vector<std::string> Names(Monitor& m, const std::string& query) {
    Json j = Get(m, "/v1/tables/QMXHTA/rows" + query);
    std::vector<std::string> out;
    for (const Json& r : j["rows"]) out.push_back(r["name"].get<std::string>());
    return out;
  }
};

using V = std::vector<std::string>;
const std::string kGamma = "ga\"m\\ma\nx";
const std::string kEte = "\xc3\xa9t\xc3\xa9";

TEST_F(MonitorTest, TablesListingReportsTheRequestObjects) {
  auto m = Make();
  Json j = Get(*m, "/v1/tables");
  ASSERT_EQ(j["tables"].size(), 2u);
  const Json& a = j["tables"][0];
  EXPECT_EQ(a["application"], "QMX");
  EXPECT_EQ(a["name"], "QMXHTA");
  EXPECT_EQ(a["rowSize"], 152);
  EXPECT_EQ(a["step"], 2);
  ASSERT_EQ(a["attributes"].size(), 9u);
  EXPECT_EQ(a["attributes"][7].dump(), "{\"name\":\"big\",\"offset\":140,\"width\":8,\"type\":13}");
  const Json& b = j["tables"][1];
  EXPECT_EQ(b["name"], "QMXHTB");
  EXPECT_EQ(b["step"], 1);
  EXPECT_EQ(b["attributes"][1]["name"], "timestamp");
  EXPECT_EQ(b["attributes"][1]["offset"], 64);
}

TEST_F(MonitorTest, RowsAreDecodedByTheirAttributes) {
  auto m = Make();
  Json j = Get(*m, "/v1/tables/QMXHTA/rows");
  EXPECT_EQ(j["table"], "QMXHTA");
  ASSERT_EQ(j["rows"].size(), 4u);
  const Json& r0 = j["rows"][0];
  EXPECT_EQ(r0["originnode"], "hostA:EX");
  EXPECT_EQ(r0["rowno"], 0);
  EXPECT_EQ(r0["timestamp"], "1261210120000000");
  EXPECT_EQ(r0["label"], "one");
  EXPECT_EQ(r0["value"], -5);
  EXPECT_EQ(r0["big"], 5000000000LL);
  EXPECT_EQ(j["rows"][1]["label"], "two");        // stops at the NUL
  EXPECT_EQ(j["rows"][1]["avail"], -1);
  EXPECT_EQ(j["rows"][2]["name"], kGamma);
  EXPECT_EQ(j["rows"][3]["label"], "bad\xef\xbf\xbd\xef\xbf\xbd");
  // Keys in attribute order.
  std::vector<std::string> keys;
  for (auto it = r0.begin(); it != r0.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (V{"originnode", "sampleno", "rowno", "timestamp", "name", "label", "value", "big", "avail"}));
}

TEST_F(MonitorTest, ConditionsOfEveryOperatorOnEveryType) {
  auto m = Make();
  struct Case {
    const char* query;
    V expected;
  } cases[] = {
      {"?where=VALUE:EQ:0", {"beta"}},
      {"?where=VALUE:NE:0", {"alpha", kGamma, kEte}},
      {"?where=VALUE:LT:0", {"alpha"}},
      {"?where=VALUE:LE:0", {"alpha", "beta"}},
      {"?where=VALUE:GT:7", {kEte}},
      {"?where=VALUE:GE:7", {kGamma, kEte}},
      {"?where=BIG:GT:4294967296", {"alpha"}},
      {"?where=BIG:LT:0", {"beta"}},
      {"?where=BIG:EQ:42", {kEte}},
      {"?where=BIG:NE:0", {"alpha", "beta", kEte}},
      {"?where=BIG:LE:0", {"beta", kGamma}},
      {"?where=BIG:GE:42", {"alpha", kEte}},
      {"?where=ORIGINNODE:EQ:hostA:EX", {"alpha", kGamma}},
      {"?where=ORIGINNODE:NE:hostA%3AEX", {"beta", kEte}},
      {"?where=LABEL:EQ:two", {"beta"}},
      {"?where=LABEL:LT:one", {kEte}},
      {"?where=LABEL:GE:three", {"beta", kGamma}},
      {"?where=NAME:EQ:%C3%A9t%C3%A9", {kEte}},
      {"?where=NAME:GT:gz", {kEte}},
      {"?where=NAME:LE:beta", {"alpha", "beta"}},
      {"?where=VALUE:GE:0&where=ORIGINNODE:EQ:hostA:EX", {kGamma}},  // all must hold
      {"?where=VALUE:GT:1000", {}},
      {"?where=value:EQ:0", {"beta"}},  // attribute names in any case
      {"?where=Name:LE:beta", {"alpha", "beta"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Names(*m, c.query), c.expected) << c.query;
}

TEST_F(MonitorTest, ErrorsAreJsonWithTheRightStatus) {
  auto m = Make();
  struct Case {
    const char* target;
    int status;
  } cases[] = {
      {"/v1/tables/NOSUCH/rows", 404},
      {"/v1/tables/qmxhta/rows", 404},
      {"/v1/tables/QMXHTA", 404},
      {"/v1/tables/QMXHTA/rows/x", 404},
      {"/nothing", 404},
      {"/v1/tables/QMXHTA/rows?where=VALUE", 400},
      {"/v1/tables/QMXHTA/rows?where=VALUE:XX:1", 400},
      {"/v1/tables/QMXHTA/rows?where=VALUE:EQ:one", 400},
      {"/v1/tables/QMXHTA/rows?where=NOPE:EQ:1", 400},
      {"/v1/tables/QMXHTA/rows?where=NAME:EQ:%zz", 400},
      {"/v1/tables/QMXHTA/rows?where=NAME:EQ:a%00", 400},
      {"/v1/tables/QMXHTA/rows?limit=3", 400},
      {"/v1/tables/QMX%zzA/rows", 400},
      {"*", 400},
  };
  for (const Case& c : cases) {
    Json j = Get(*m, c.target, c.status);
    EXPECT_TRUE(j.contains("error")) << c.target;
  }
  std::string many = "/v1/tables/QMXHTA/rows?";
  for (int i = 0; i < 33; ++i) many += "where=VALUE:GE:0&";
  Get(*m, many, 400);
  many = "/v1/tables/QMXHTA/rows?";
  for (int i = 0; i < 32; ++i) many += "where=VALUE:GE:0&";
  EXPECT_EQ(Get(*m, many)["rows"].size(), 3u);

  HttpAnswer a = m->Handle("POST", "/metrics", "");
  EXPECT_EQ(a.status, 405);
  EXPECT_EQ(a.headers.at(0).first, "Allow");
  EXPECT_EQ(m->Handle("GET", "/healthz", "").status, 200);
}

TEST_F(MonitorTest, TokenIsAskedOfEveryRequest) {
  auto m = Make(3600s, "s3cret");
  for (const char* auth : {"", "Bearer", "Bearer wrong", "Bearer s3cre", "Bearer s3cretx", "Basic s3cret"}) {
    HttpAnswer a = m->Handle("GET", "/healthz", auth);
    EXPECT_EQ(a.status, 401) << auth;
    EXPECT_EQ(a.headers.at(0).first, "WWW-Authenticate");
  }
  EXPECT_EQ(m->Handle("GET", "/metrics", "Bearer s3cret").status, 200);
  EXPECT_EQ(m->Handle("GET", "/v1/tables", "bearer s3cret").status, 200);
  EXPECT_EQ(m->Handle("DELETE", "/v1/tables", "").status, 401);  // nothing told before the token
}

// Samples of one metric name: label text to value.
std::map<std::string, std::string> Series(const std::string& text, const std::string& name) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size(), name) != 0) continue;
    std::string rest = line.substr(name.size());
    if (!rest.empty() && rest[0] != '{' && rest[0] != ' ') continue;
    size_t sp = rest.rfind(' ');
    out[rest.substr(0, sp)] = rest.substr(sp + 1);
  }
  return out;
}

TEST_F(MonitorTest, ExpositionOfTheSchedulersLastSample) {
  pxr::SetCounterHelp("QMXHTA", "value", "Test Object", "Test Counter/sec", "100");
  auto m = Make();
  std::string before = m->Exposition();
  EXPECT_EQ(before.find("qmx_qmxhta_value"), std::string::npos);  // nothing sampled yet
  m->RunRound();
  ASSERT_TRUE(m->WaitIdle(10s));
  std::string text = m->Exposition();

  auto value = Series(text, "qmx_qmxhta_value");
  EXPECT_EQ(value.size(), 4u) << text;
  // The counter's own value: the row's integer divided by the scale 100.
  EXPECT_EQ(value["{originnode=\"hostA:EX\",name=\"alpha\",label=\"one\"}"], "-0.05");
  EXPECT_EQ(value["{originnode=\"hostA:EX\",name=\"ga\\\"m\\\\ma\\nx\",label=\"three\"}"], "0.07");
  EXPECT_EQ(value["{originnode=\"hostC:EX\",name=\"" + kEte + "\",label=\"bad\xef\xbf\xbd\xef\xbf\xbd\"}"], "1");
  auto avail = Series(text, "qmx_qmxhta_avail");
  EXPECT_EQ(avail.size(), 3u);  // beta's marker left out
  EXPECT_EQ(avail.count("{originnode=\"hostB:EX\",name=\"beta\",label=\"two\"}"), 0u);
  EXPECT_EQ(Series(text, "qmx_qmxhta_big")["{originnode=\"hostB:EX\",name=\"beta\",label=\"two\"}"], "-1");
  EXPECT_EQ(text.find("sampleno"), std::string::npos);
  EXPECT_EQ(text.find("qmx_qmxhta_rowno"), std::string::npos);
  EXPECT_EQ(text.find("timestamp=\""), std::string::npos);
  EXPECT_NE(text.find("# HELP qmx_qmxhta_value Performance object \"Test Object\", counter "
                      "\"Test Counter/sec\", unit per second; the value as performance monitor shows it\n"),
            std::string::npos);
  EXPECT_NE(text.find("# HELP qmx_qmxhta_big Table QMXHTA attribute big\n"), std::string::npos);
  EXPECT_EQ(Series(text, "qmx_qmxhtb_count_value")["{originnode=\"hostA:EX\",kind=\"y\"}"], "2");
  EXPECT_EQ(Series(text, "qmx_table_rows")["{table=\"QMXHTA\"}"], "4");
  EXPECT_EQ(Series(text, "qmx_table_rows")["{table=\"QMXHTB\"}"], "2");
  EXPECT_EQ(Series(text, "qmx_table_failed_samples_total")["{table=\"QMXHTB\"}"], "0");
  EXPECT_EQ(Series(text, "qmx_table_last_success_timestamp_seconds").size(), 2u);

  // Each family once, its HELP and TYPE before its samples.
  std::set<std::string> typed;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# TYPE ", 0) == 0) {
      std::string name = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_TRUE(typed.insert(name).second) << name;
    } else if (line[0] != '#') {
      std::string name = line.substr(0, line.find_first_of("{ "));
      EXPECT_EQ(typed.count(name), 1u) << line;
    }
  }
}

TEST_F(MonitorTest, SlowTableDelaysNoOtherAndIsSkippedWhileBusy) {
  http_test::gTableBDelayMs = 1500;
  auto m = Make();
  auto start = std::chrono::steady_clock::now();
  m->RunRound();
  // A is ready long before B's sample ends.
  for (;;) {
    if (Series(m->Exposition(), "qmx_table_rows").count("{table=\"QMXHTA\"}")) break;
    ASSERT_LT(std::chrono::steady_clock::now() - start, 1000ms) << "QMXHTA waited for QMXHTB";
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(Series(m->Exposition(), "qmx_table_rows").count("{table=\"QMXHTB\"}"), 0u);
  // A scrape does not wait for the busy table either.
  auto t0 = std::chrono::steady_clock::now();
  m->Exposition();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms);
  m->RunRound();  // B still busy: skipped, never sampled twice at once
  ASSERT_TRUE(m->WaitIdle(10s));
  std::string text = m->Exposition();
  EXPECT_EQ(Series(text, "qmx_table_skipped_rounds_total")["{table=\"QMXHTB\"}"], "1");
  EXPECT_EQ(Series(text, "qmx_table_skipped_rounds_total")["{table=\"QMXHTA\"}"], "0");
  EXPECT_EQ(Series(text, "qmx_table_rows")["{table=\"QMXHTB\"}"], "2");
  EXPECT_EQ(http_test::gTableBMostAtOnce.load(), 1);
  double duration = std::stod(Series(text, "qmx_table_sample_duration_seconds")["{table=\"QMXHTB\"}"]);
  EXPECT_GE(duration, 1.4);
}

TEST_F(MonitorTest, FailedSampleIsCountedAndItsStaleValuesGo) {
  auto m = Make();
  m->RunRound();
  ASSERT_TRUE(m->WaitIdle(10s));
  ASSERT_EQ(Series(m->Exposition(), "qmx_qmxhtb_count_value").size(), 2u);
  http_test::gTableBFails = true;
  m->RunRound();
  ASSERT_TRUE(m->WaitIdle(10s));
  std::string text = m->Exposition();
  EXPECT_EQ(Series(text, "qmx_qmxhtb_count_value").size(), 0u);
  EXPECT_EQ(Series(text, "qmx_table_failed_samples_total")["{table=\"QMXHTB\"}"], "1");
  EXPECT_EQ(Series(text, "qmx_table_rows")["{table=\"QMXHTB\"}"], "2");  // of the last good one
  EXPECT_EQ(Series(text, "qmx_qmxhta_value").size(), 4u);
  // The rows endpoint reports the failure.
  HttpAnswer a = m->Handle("GET", "/v1/tables/QMXHTB/rows", "");
  EXPECT_EQ(a.status, 500);
  EXPECT_NE(a.body.find("0x21060002"), std::string::npos);
}

TEST_F(MonitorTest, RowsRequestWaitsForTheSchedulersSampleOfTheSameTable) {
  http_test::gTableBDelayMs = 400;
  auto m = Make();
  m->RunRound();
  std::this_thread::sleep_for(50ms);
  HttpAnswer a = m->Handle("GET", "/v1/tables/QMXHTB/rows", "");
  EXPECT_EQ(a.status, 200);
  ASSERT_TRUE(m->WaitIdle(10s));
  EXPECT_EQ(http_test::gTableBMostAtOnce.load(), 1);
}

TEST_F(MonitorTest, SchedulerSamplesRightAwayAndAgainEveryInterval) {
  auto m = Make(300ms);
  m->StartScheduler();
  auto stamp = [&] { return Series(m->Exposition(), "qmx_table_last_success_timestamp_seconds")["{table=\"QMXHTA\"}"]; };
  auto start = std::chrono::steady_clock::now();
  while (stamp().empty()) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, 2s);
    std::this_thread::sleep_for(10ms);
  }
  std::string first = stamp();
  while (stamp() == first) {
    ASSERT_LT(std::chrono::steady_clock::now() - start, 5s);
    std::this_thread::sleep_for(20ms);
  }
  m->StopScheduler();
  std::string last = stamp();
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(stamp(), last);  // stopped means stopped
}

}  // namespace
