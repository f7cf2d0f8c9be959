#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "field_table.h"
#include "pxr.h"

namespace {

// A small table of each attribute type: text, UTF-8 text, 32-bit and 64-bit integers.
struct TestRow {
  char origin[64];
  int32_t sampleno;
  int32_t rowno;
  char timestamp[16];
  char name[32];
  int32_t value;
  int64_t big;
};
static_assert(sizeof(TestRow) == 136, "packed as the table says");

const std::vector<qmxtest::TestField> kFields = {
    {{"originnode", 0, 64, ATTR_TEXT}, "ORIGINNODE"}, {{"sampleno", 64, 4, ATTR_INT32}, "SAMPLENO"},
    {{"rowno", 68, 4, ATTR_INT32}, "ROWNO"},          {{"timestamp", 72, 16, ATTR_TEXT}, "TIMESTAMP"},
    {{"name", 88, 32, ATTR_UTF8}, "NAME"},            {{"value", 120, 4, ATTR_INT32}, "VALUE"},
    {{"big", 128, 8, ATTR_INT64}, "BIG"},
};

std::vector<TestRow> gRows;

class TestAgent : public qmxtest::FieldTableAgent {
 public:
  TestAgent(RequestDetail* d, ContextInfo* c, TableManager* m)
      : FieldTableAgent(d, c, m, kFields, sizeof(TestRow), 2) {}
  unsigned long TakeSample() override {
    return AddData(reinterpret_cast<char*>(gRows.data()), static_cast<int>(gRows.size()));
  }
};

class TestManager : public TableManager {
 public:
  explicit TestManager(const char* name) : TableManager("QMX", name) {}
  vorta* CreateRequest(RequestDetail* d, ContextInfo* c) override { return AddRequest(new TestAgent(d, c, this)); }
};

TestRow MakeRow(const char* origin, const char* name, int32_t value, int64_t big) {
  TestRow r;
  std::memset(&r, 0, sizeof r);
  std::memset(r.origin, ' ', sizeof r.origin);
  std::memcpy(r.origin, origin, std::strlen(origin));
  std::memcpy(r.name, name, std::strlen(name));
  r.value = value;
  r.big = big;
  return r;
}

class Framework : public ::testing::Test {
 protected:
  void SetUp() override {
    pxr::ResetForTests();
    ASSERT_EQ(TableManager::RegisterWithManager(&manager_), 0u);
    gRows = {MakeRow("hostA:EX", "alpha", -5, 5000000000LL), MakeRow("hostB:EX", "beta", 0, -1),
             MakeRow("hostA:EX", "gamma", 7, 0), MakeRow("hostC:EX", "\xc3\xa9t\xc3\xa9", 100, 42)};
  }
  void TearDown() override { pxr::ResetForTests(); }

  std::vector<std::string> Names(const std::vector<RequestCondition>& conditions) {
    unsigned long status = 99;
    auto req = pxr::Request::Open("QMXTEST", conditions, &status);
    EXPECT_EQ(status, 0u);
    if (!req) return {};
    EXPECT_EQ(req->Sample(), 0u);
    std::vector<std::string> out;
    for (int i = 0; i < req->rowCount(); ++i)
      out.push_back(reinterpret_cast<const TestRow*>(req->row(i))->name);
    return out;
  }

  TestManager manager_{"QMXTEST"};
};

using V = std::vector<std::string>;

TEST_F(Framework, EveryOperatorOnEveryType) {
  struct Case {
    const char* attr;
    _IntfOper op;
    const char* value;
    V expected;
  } cases[] = {
      {"VALUE", OPER_EQ, "0", {"beta"}},
      {"VALUE", OPER_NE, "0", {"alpha", "gamma", "\xc3\xa9t\xc3\xa9"}},
      {"VALUE", OPER_LT, "0", {"alpha"}},
      {"VALUE", OPER_LE, "0", {"alpha", "beta"}},
      {"VALUE", OPER_GT, "7", {"\xc3\xa9t\xc3\xa9"}},
      {"VALUE", OPER_GE, "7", {"gamma", "\xc3\xa9t\xc3\xa9"}},
      {"BIG", OPER_GT, "4294967296", {"alpha"}},
      {"BIG", OPER_LT, "0", {"beta"}},
      {"BIG", OPER_EQ, "42", {"\xc3\xa9t\xc3\xa9"}},
      {"BIG", OPER_NE, "0", {"alpha", "beta", "\xc3\xa9t\xc3\xa9"}},
      {"BIG", OPER_LE, "0", {"beta", "gamma"}},
      {"BIG", OPER_GE, "42", {"alpha", "\xc3\xa9t\xc3\xa9"}},
      {"ORIGINNODE", OPER_EQ, "hostA:EX", {"alpha", "gamma"}},  // trailing blanks ignored
      {"ORIGINNODE", OPER_NE, "hostA:EX", {"beta", "\xc3\xa9t\xc3\xa9"}},
      {"ORIGINNODE", OPER_GT, "hostB:EX", {"\xc3\xa9t\xc3\xa9"}},
      {"ORIGINNODE", OPER_LE, "hostB:EX", {"alpha", "beta", "gamma"}},
      {"ORIGINNODE", OPER_LT, "hostB:EX", {"alpha", "gamma"}},
      {"ORIGINNODE", OPER_GE, "hostC:EX", {"\xc3\xa9t\xc3\xa9"}},
      {"NAME", OPER_EQ, "\xc3\xa9t\xc3\xa9", {"\xc3\xa9t\xc3\xa9"}},
      {"NAME", OPER_GT, "gamma", {"\xc3\xa9t\xc3\xa9"}},  // UTF-8 sorts after ASCII
      {"NAME", OPER_LT, "beta", {"alpha"}},
      {"NAME", OPER_NE, "beta", {"alpha", "gamma", "\xc3\xa9t\xc3\xa9"}},
      {"NAME", OPER_LE, "beta", {"alpha", "beta"}},
      {"NAME", OPER_GE, "gamma", {"gamma", "\xc3\xa9t\xc3\xa9"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Names({{c.attr, c.op, c.value}}), c.expected) << c.attr << " " << c.op << " " << c.value;
}

TEST_F(Framework, ConditionsMustAllHold) {
  EXPECT_EQ(Names({}), (V{"alpha", "beta", "gamma", "\xc3\xa9t\xc3\xa9"}));
  EXPECT_EQ(Names({{"ORIGINNODE", OPER_EQ, "hostA:EX"}, {"VALUE", OPER_GT, "0"}}), V{"gamma"});
  EXPECT_EQ(Names({{"VALUE", OPER_EQ, "abc"}}), V{}) << "a non-numeric value never matches";
  EXPECT_EQ(Names({{"value", OPER_EQ, "0"}}), V{}) << "names are upper case";
  EXPECT_EQ(Names({{"UNKNOWN", OPER_EQ, "0"}}), V{});
}

TEST_F(Framework, UnknownTableAndRequestLifecycle) {
  unsigned long status = 0;
  EXPECT_EQ(pxr::Request::Open("NOPE", {}, &status), nullptr);
  EXPECT_EQ(status, static_cast<unsigned long>(PXR_NOT_FOUND));
  {
    auto a = pxr::Request::Open("QMXTEST", {}, &status);
    auto b = pxr::Request::Open("QMXTEST", {}, &status);
    VortaListIter it(manager_.requests());
    int n = 0;
    while (it.Next()) ++n;
    EXPECT_EQ(n, 2);
    ASSERT_EQ(a->Sample(), 0u);
    EXPECT_EQ(a->rowCount(), 4);
    EXPECT_EQ(a->object()->rowsAllocated, 4) << "grows by the allocation step of 2";
    ASSERT_EQ(a->Sample(), 0u);
    EXPECT_EQ(a->rowCount(), 4) << "each sample starts with an empty row set";
  }
  VortaListIter it(manager_.requests());
  EXPECT_EQ(it.Next(), nullptr) << "destroyed requests leave the list";
  EXPECT_EQ(TableManager::RegisterWithManager(&manager_), static_cast<unsigned long>(PXR_BAD_ARGUMENT));
  EXPECT_EQ(pxr::Tables().size(), 1u);
}

int gLoaderCalls = 0;
int Loader() {
  ++gLoaderCalls;
  OPQ_SetAffinity("AFF_TEST");
  return 0;
}

TEST_F(Framework, PxrmainCallsLoaderOnceAndServesUntilShutdown) {
  gLoaderCalls = 0;
  OPQ_RegisterAgentLoader(Loader);
  char version[9];
  OPQ_SetVersionUsingProduct("QMX", version, 9);
  EXPECT_EQ(pxr::Product(), "QMX");
  EXPECT_EQ(std::strlen(version), 8u);
  int rc = -1;
  std::thread fw([&] {
    char a0[] = "qmx_agent", a1[] = "";
    char* argv[] = {a0, a1};
    rc = pxrmain(1, argv);
  });
  for (int i = 0; i < 200 && !pxr::Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(pxr::Running());
  OPQ_Shutdown(1);
  fw.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(gLoaderCalls, 1);
  EXPECT_FALSE(pxr::Running());
  EXPECT_EQ(pxr::Affinities().back(), "AFF_TEST");
}

TEST_F(Framework, DispatchShipsTheCurrentRequestsRows) {
  static int shipped = -1;
  pxr::SetDispatchListener([](vorta*, const char*, int count, int) { shipped = count; });
  unsigned long status = 0;
  auto req = pxr::Request::Open("QMXTEST", {{"VALUE", OPER_GE, "0"}}, &status);
  ASSERT_TRUE(req);
  req->Sample();
  EXPECT_EQ(vorta::Dispatch(), static_cast<unsigned long>(PXR_NOT_FOUND)) << "no handle in use";
  vorta::UseHandle(req->object()->handle);
  EXPECT_EQ(vorta::Dispatch(), 0u);
  EXPECT_EQ(shipped, 3);
  vorta::Drop();
  pxr::SetDispatchListener(nullptr);
}

// Dispatch, run on another thread, finds a request object only while the object is whole: not
// while its own constructor or destructor runs (the base constructor has run, or the base
// destructor is still to run, so a list kept by those would hand out a half-built object).
unsigned long DispatchFrom(uint64_t handle) {
  unsigned long result = 0;
  std::thread other([&] {
    vorta::UseHandle(handle);
    result = vorta::Dispatch();
    vorta::Drop();
  });
  other.join();
  return result;
}

unsigned long gDispatchInConstructor = 0, gDispatchInDestructor = 0;

class ProbeAgent : public TestAgent {
 public:
  ProbeAgent(RequestDetail* d, ContextInfo* c, TableManager* m) : TestAgent(d, c, m) {
    gDispatchInConstructor = DispatchFrom(handle);
  }
  ~ProbeAgent() override { gDispatchInDestructor = DispatchFrom(handle); }
};

class ProbeManager : public TableManager {
 public:
  ProbeManager() : TableManager("QMX", "QMXPROBE") {}
  vorta* CreateRequest(RequestDetail* d, ContextInfo* c) override { return AddRequest(new ProbeAgent(d, c, this)); }
};

TEST_F(Framework, DispatchNeverReachesAHalfBuiltOrHalfDestroyedRequest) {
  ProbeManager probe;
  ASSERT_EQ(TableManager::RegisterWithManager(&probe), 0u);
  gDispatchInConstructor = gDispatchInDestructor = 0;
  unsigned long status = 1;
  auto req = pxr::Request::Open("QMXPROBE", {}, &status);
  ASSERT_TRUE(req);
  const uint64_t handle = req->object()->handle;
  EXPECT_EQ(gDispatchInConstructor, static_cast<unsigned long>(PXR_NOT_FOUND)) << "listed while being built";
  EXPECT_EQ(DispatchFrom(handle), 0u) << "the whole object is listed";
  req.reset();
  EXPECT_EQ(gDispatchInDestructor, static_cast<unsigned long>(PXR_NOT_FOUND)) << "listed while being destroyed";
  EXPECT_EQ(DispatchFrom(handle), static_cast<unsigned long>(PXR_NOT_FOUND));
}

}  // namespace
