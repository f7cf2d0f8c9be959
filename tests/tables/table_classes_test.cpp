// The generated table classes through the framework's request interface: registration, the
// attribute description, conditions on every attribute type, AddData and the trace dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "jbx.h"
#include "monitor.h"
#include "qmx_tables.h"
#include "table_catalogue.h"

namespace {

class Tables : public ::testing::Test {
 protected:
  void SetUp() override {
    pxr::ResetForTests();
    for (const qmx::TableEntry& e : qmx::TableCatalogue()) ASSERT_EQ(e.init(), 0u) << e.layout->name;
  }
  void TearDown() override { pxr::SetDispatchListener(nullptr); }

  static std::unique_ptr<pxr::Request> Open(const char* table,
                                            const std::vector<RequestCondition>& conditions = {}) {
    unsigned long status = 1;
    std::unique_ptr<pxr::Request> r = pxr::Request::Open(table, conditions, &status);
    EXPECT_EQ(status, 0u) << table;
    return r;
  }
};

// Rows of one table, filled field by field through its layout.
class Rows {
 public:
  Rows(const char* table, int count)
      : t_(*qmx::TableLayoutByName(table)), data_(static_cast<size_t>(t_.rowSize) * count, '\0') {}
  char* data() { return data_.data(); }
  char* Field(int row, const char* upper) {
    int i = t_.Find(upper);
    EXPECT_GE(i, 0) << upper;
    return data_.data() + static_cast<size_t>(row) * t_.rowSize + t_.attributes[static_cast<size_t>(i)].offset;
  }
  void Text(int row, const char* upper, const char* text) { std::memcpy(Field(row, upper), text, std::strlen(text)); }
  void Int(int row, const char* upper, int32_t v) { std::memcpy(Field(row, upper), &v, 4); }
  void Int64(int row, const char* upper, int64_t v) { std::memcpy(Field(row, upper), &v, 8); }

 private:
  const qmx::TableLayout& t_;
  std::vector<char> data_;
};

TEST_F(Tables, InitRegistersEveryTableWithTheFramework) {
  for (const qmx::TableEntry& e : qmx::TableCatalogue()) {
    TableManager* m = pxr::FindTable(e.layout->name);
    ASSERT_NE(m, nullptr) << e.layout->name;
    EXPECT_STREQ(m->application(), "QMX");
  }
  EXPECT_EQ(pxr::Tables().size(), 68u);
  EXPECT_EQ(pxr::FindTable("MSEDB"), p_qmx_msedb_manager);
  EXPECT_EQ(pxr::FindTable("MSESERVR"), p_qmx_mseservr_manager);
  // A second registration of the same table is refused by the framework.
  EXPECT_NE(qmx_msedb_init(), 0u);
}

TEST_F(Tables, RequestsDescribeTheirRows) {
  for (const qmx::TableLayout& t : qmx::TableLayouts()) {
    SCOPED_TRACE(t.name);
    std::unique_ptr<pxr::Request> r = Open(t.name);
    ASSERT_NE(r, nullptr);
    vorta* v = r->object();
    EXPECT_EQ(v->rowSize, t.rowSize);
    EXPECT_EQ(v->allocStep, t.step);
    ASSERT_EQ(v->GetAttributeCount(), t.attributeCount());
    for (int i = 0; i < t.attributeCount(); ++i) {
      AttributeInfo info{};
      ASSERT_EQ(v->GetAttributeInfo(&info, i), 0u);
      const qmx::TableAttribute& a = t.attributes[static_cast<size_t>(i)];
      EXPECT_STREQ(info.name, a.name.c_str());
      EXPECT_EQ(info.offset, a.offset);
      EXPECT_EQ(info.width, a.width);
      EXPECT_EQ(info.type, a.type);
    }
    for (int bad : {t.attributeCount(), -1, 1000}) {
      AttributeInfo info{"untouched", 1, 2, 3};
      EXPECT_EQ(v->GetAttributeInfo(&info, bad), 0x21060007u);
      EXPECT_STREQ(info.name, "untouched");
      EXPECT_EQ(info.offset, 1);
      EXPECT_EQ(info.width, 2);
      EXPECT_EQ(info.type, 3);
    }
  }
}

TEST_F(Tables, TimeFirstHeaderAsReported) {
  for (const char* name : {"MSERBS", "MSEMCD", "MSENLBS"}) {
    std::unique_ptr<pxr::Request> r = Open(name);
    AttributeInfo info{};
    ASSERT_EQ(r->object()->GetAttributeInfo(&info, 1), 0u);
    EXPECT_STREQ(info.name, "timestamp");
    EXPECT_EQ(info.offset, 64);
    ASSERT_EQ(r->object()->GetAttributeInfo(&info, 2), 0u);
    EXPECT_STREQ(info.name, "sampleno");
    EXPECT_EQ(info.offset, 80);
  }
}

// Conditions on every attribute type reach the row through TestAttribute.
TEST_F(Tables, ConditionsOnEveryType) {
  struct Case {
    const char* table;
    RequestCondition condition;
    int expectedRows;  // of the three rows below
  } cases[] = {
      {"MSEDB", {"DBNAME", OPER_EQ, "db-1"}, 1},           // UTF-8 text
      {"MSEDB", {"DBNAME", OPER_GE, "db-1"}, 2},
      {"MSEDB", {"ORIGINNODE", OPER_EQ, "node-b"}, 1},     // text
      {"MSEDB", {"CACHEHIT", OPER_GT, "5"}, 2},            // 32-bit integer
      {"MSEDB", {"CACHEHIT", OPER_LT, "-1"}, 1},
      {"MSEDB", {"RECCONV", OPER_EQ, "12"}, 0},
      {"MSEDB", {"NOSUCHATTR", OPER_EQ, "1"}, 0},
      {"MSEDB", {"dbname", OPER_EQ, "db-1"}, 0},           // the framework names in upper case
      {"MSEMREPS", {"LSCNTIM", OPER_EQ, "5000000000"}, 1}, // 64-bit integer
      {"MSEMREPS", {"LSCNTIM", OPER_GT, "4294967296"}, 2},
      {"MSEMREPS", {"UNRCHDB", OPER_NE, "0"}, 1},
      {"QMXSMTP", {"INSTCNAME", OPER_EQ, "SMTP 1"}, 1},    // text instance name
      {"MSESERVR", {"HUBTRANS", OPER_EQ, "Y"}, 2},         // 3-byte text
      {"MSENLBS", {"SAMPLENO", OPER_EQ, "3"}, 1},          // header at its own offsets
      {"MSENLBS", {"TIMESTAMP", OPER_EQ, "1111109142533000"}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.table) + " " + c.condition.attribute + " " + c.condition.value);
    Rows rows(c.table, 3);
    const char* nodes[] = {"node-a", "node-b", "node-c"};
    for (int i = 0; i < 3; ++i) {
      rows.Text(i, "ORIGINNODE", nodes[i]);
      rows.Text(i, "TIMESTAMP", "1111109142533000");
      rows.Int(i, "SAMPLENO", i + 1);
    }
    if (!std::strcmp(c.table, "MSEDB")) {
      rows.Text(0, "DBNAME", "db-1");
      rows.Text(1, "DBNAME", "db-2");
      rows.Text(2, "DBNAME", "cb-9");
      rows.Int(0, "CACHEHIT", 6);
      rows.Int(1, "CACHEHIT", 1000);
      rows.Int(2, "CACHEHIT", -7);
    } else if (!std::strcmp(c.table, "MSEMREPS")) {
      rows.Int64(0, "LSCNTIM", 5000000000LL);
      rows.Int64(1, "LSCNTIM", 5000000001LL);
      rows.Int64(2, "LSCNTIM", 7);
      rows.Int(1, "UNRCHDB", 2);
    } else if (!std::strcmp(c.table, "QMXSMTP")) {
      rows.Text(0, "INSTCNAME", "SMTP 1");
      rows.Text(1, "INSTCNAME", "SMTP 10");
    } else if (!std::strcmp(c.table, "MSESERVR")) {
      rows.Text(0, "HUBTRANS", "Y");
      rows.Text(1, "HUBTRANS", "N");
      rows.Text(2, "HUBTRANS", "Y");
    }
    std::unique_ptr<pxr::Request> r = Open(c.table, {c.condition});
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->object()->AddData(rows.data(), 3), 0u);
    EXPECT_EQ(r->rowCount(), c.expectedRows);
  }
}

TEST_F(Tables, TestAttributeDirectly) {
  std::unique_ptr<pxr::Request> r = Open("MSEDB");
  Rows rows("MSEDB", 1);
  rows.Int(0, "SAMPLENO", 1);
  char upper[] = "SAMPLENO", lower[] = "sampleno", partial[] = "SAMPLEN", value[] = "1";
  EXPECT_EQ(r->object()->TestAttribute(rows.data(), upper, OPER_EQ, value), 1);
  EXPECT_EQ(r->object()->TestAttribute(rows.data(), lower, OPER_EQ, value), 0);
  EXPECT_EQ(r->object()->TestAttribute(rows.data(), partial, OPER_EQ, value), 0);
}

// Records what AddData offers and lets the second insertion fail.
class FailingAgent : public qmx_msedb_agent {
 public:
  using qmx_msedb_agent::qmx_msedb_agent;
  int InsertRow(char* row) override {
    ++inserts;
    return inserts == failAt ? 0x2106000B : qmx_msedb_agent::InsertRow(row);
  }
  int CheckForException(char* row) override {
    ++offered;
    return qmx_msedb_agent::CheckForException(row);
  }
  int inserts = 0, offered = 0, failAt = 2;
};

TEST_F(Tables, AddDataStopsAtTheFirstFailedInsert) {
  RequestDetail detail;
  detail.application = "QMX";
  detail.table = "MSEDB";
  ContextInfo context;
  Rows rows("MSEDB", 5);
  {
    FailingAgent a(&detail, &context, p_qmx_msedb_manager);
    EXPECT_EQ(a.AddData(rows.data(), 5), 0x2106000Bu);
    EXPECT_EQ(a.offered, 2);
    EXPECT_EQ(a.inserts, 2);
    EXPECT_EQ(a.rowCount, 1);
  }
  {
    FailingAgent a(&detail, &context, p_qmx_msedb_manager);
    a.failAt = 0;
    EXPECT_EQ(a.AddData(rows.data(), 0), 0u);
    EXPECT_EQ(a.AddData(rows.data(), -3), 0u);
    EXPECT_EQ(a.offered, 0);
    EXPECT_EQ(a.AddData(rows.data(), 5), 0u);
    EXPECT_EQ(a.rowCount, 5);
  }
  {
    // No row meets the condition: nothing inserted, success.
    detail.conditions = {{"CACHEHIT", OPER_EQ, "99"}};
    FailingAgent a(&detail, &context, p_qmx_msedb_manager);
    EXPECT_EQ(a.AddData(rows.data(), 5), 0u);
    EXPECT_EQ(a.offered, 5);
    EXPECT_EQ(a.inserts, 0);
  }
}

struct Shipped {
  int calls = 0;
  int rows = 0;
};
Shipped gShipped;
void Listen(vorta*, const char*, int count, int) {
  ++gShipped.calls;
  gShipped.rows += count;
}

TEST_F(Tables, EventArrivedPushesRowsToEveryRequest) {
  gShipped = Shipped();
  pxr::SetDispatchListener(&Listen);
  std::unique_ptr<pxr::Request> a = Open("MSEIS"), b = Open("MSEIS");
  Rows rows("MSEIS", 3);
  EXPECT_EQ(EventArrived_qmx_mseis(rows.data(), 3), 0u);
  EXPECT_EQ(gShipped.calls, 2);
  EXPECT_EQ(gShipped.rows, 6);
  EXPECT_EQ(a->rowCount(), 0);
  EXPECT_EQ(b->rowCount(), 0);
}

TEST_F(Tables, ServerStatusRequestIsRemembered) {
  EXPECT_EQ(sizeof(qmx_mseservr_agent), sizeof(qmx_msedb_agent) + sizeof(void*));
  {
    std::unique_ptr<pxr::Request> r = Open("MSESERVR");
    auto* agent = dynamic_cast<qmx_mseservr_agent*>(r->object());
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(g_pServerStatusRequest, agent);
    EXPECT_EQ(agent->pServerData, nullptr);
    EXPECT_EQ(g_pRbsRowHolder, &RbsRowHolder::Instance());
    EXPECT_EQ(g_pRbsRowHolder->rowCount, 0);
    // Other tables leave it alone.
    std::unique_ptr<pxr::Request> other = Open("MSERBS");
    EXPECT_EQ(g_pServerStatusRequest, agent);
  }
  EXPECT_EQ(g_pServerStatusRequest, nullptr);
  EXPECT_EQ(g_pRbsRowHolder, &RbsRowHolder::Instance());
}

TEST_F(Tables, MapiConnectivityGetsNoRows) {
  std::unique_ptr<pxr::Request> r = Open("MSEMCD");
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class TraceFile {
 public:
  // One file per test: ctest runs the tests of this program side by side in separate processes.
  explicit TraceFile(const char* levels)
      : path_(::testing::TempDir() + "qmx_tables_trace_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log") {
    std::remove(path_.c_str());
    BSS1_PutEnv(("JBX_RAS1_LOG=" + path_).c_str());
    BSS1_PutEnv((std::string("JBX_RAS1=") + levels).c_str());
  }
  ~TraceFile() {
    BSS1_PutEnv("JBX_RAS1_LOG=");
    BSS1_PutEnv("JBX_RAS1=ERROR");
    std::remove(path_.c_str());
  }
  std::string Text() const { return ReadAll(path_); }

 private:
  std::string path_;
};

TEST_F(Tables, PrintSelfUnderTheStateBit) {
  std::unique_ptr<pxr::Request> r = Open("MSEDB", {{"CACHEHIT", OPER_GT, "0"}});
  Rows rows("MSEDB", 2);
  rows.Text(0, "DBNAME", "first");
  rows.Text(1, "DBNAME", "second");
  rows.Text(0, "ORIGINNODE", "node");
  rows.Int(0, "CACHEHIT", 7);
  rows.Int(1, "CACHEHIT", 8);
  ASSERT_EQ(r->object()->AddData(rows.data(), 2), 0u);
  {
    TraceFile off("ERROR");
    r->object()->PrintSelf();
    EXPECT_EQ(off.Text().find("qmx_msedb_base @"), std::string::npos);
  }
  TraceFile trace("ERROR (UNIT:pxr STATE)");  // the table unit and the conditions dump
  r->object()->PrintSelf();
  std::string text = trace.Text();
  for (const char* line : {"qmx_msedb_base @", "\t::appl=QMX,table=MSEDB,interval=60000,samptype=0",
                           "\t_data {", "\t\tcount=2, allocated=2, allocSize=1",
                           "\t\toriginnode=\"node\"", "\t\tdbname=\"second\"", "\t\tcachehit=8",
                           "\t\tsampleno=0", "\t\t}"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  EXPECT_NE(text.find("CACHEHIT"), std::string::npos);  // the conditions
}

TEST_F(Tables, AddDataTracesEachInsertUnderTheFlowBit) {
  std::unique_ptr<pxr::Request> r = Open("MSEDB", {{"CACHEHIT", OPER_EQ, "1"}});
  Rows rows("MSEDB", 3);
  rows.Int(2, "CACHEHIT", 1);
  TraceFile trace("ERROR (UNIT:pxrex01b FLOW)");
  ASSERT_EQ(r->object()->AddData(rows.data(), 3), 0u);
  std::string text = trace.Text();
  EXPECT_NE(text.find("Passing row 2 to InsertRow()."), std::string::npos) << text;
  EXPECT_EQ(text.find("Passing row 0"), std::string::npos) << text;
}

}  // namespace
