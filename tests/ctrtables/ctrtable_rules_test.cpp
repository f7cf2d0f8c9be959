// The counter-backed tables' corrections and common sample, with the release and level codes as
// inputs and the rows in a SampleBfr: markers, name copies, "N/A", deltas, the start lines and the
// status handling of the sample routine.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "counter_table_unit.h"
#include "ctrtable_rules.h"
#include "table_catalogue.h"

namespace {

using qmx::ExchangeCodes;

ExchangeCodes Codes(int release, int l2003, int l2007, int l2010) {
  ExchangeCodes c;
  c.release = release;
  c.level2003 = l2003;
  c.level2007 = l2007;
  c.level2010 = l2010;
  return c;
}

// Rows of a table in a SampleBfr as the counter service leaves them.
struct Buffer {
  SampleBfr bfr{0, 1};
  Buffer(int table, uint32_t rows, char fill = 0x11) {
    bfr.nRowSize = static_cast<uint32_t>(qmx::TableLayoutByNumber(table)->rowSize);
    bfr.Allocate(static_cast<long long>(bfr.nRowSize) * rows);
    std::memset(bfr.pBuffer.get(), fill, bfr.nBufferSize);
    bfr.nRowsUsed = rows;
    bfr.nBufferUsed = bfr.nBufferSize;
  }
  char* row(uint32_t r) { return bfr.pBuffer.get() + static_cast<size_t>(r) * bfr.nRowSize; }
  uint32_t U32(uint32_t r, int off) {
    uint32_t v;
    std::memcpy(&v, row(r) + off, 4);
    return v;
  }
  void Put(uint32_t r, int off, uint32_t v) { std::memcpy(row(r) + off, &v, 4); }
};

bool g_ccr = false;
int g_ccrCalls = 0;
bool AskCcr(void*) {
  ++g_ccrCalls;
  return g_ccr;
}

// Offsets (4-byte aligned) that hold the marker in a row filled with 0x11.
std::set<int> MarkedOffsets(Buffer& b, uint32_t r) {
  std::set<int> out;
  for (int off = 0; off + 4 <= static_cast<int>(b.bfr.nRowSize); off += 4)
    if (b.U32(r, off) == qmx::kNotAvailable) out.insert(off);
  return out;
}

TEST(CounterTables, EveryTableResolvesAgainstTheCatalogue) {
  std::set<int> described;
  for (const qmx::CounterTableDesc& s : qmx::CounterTableDescs()) {
    EXPECT_NE(qmx::ResolveCounterTable(s.number), nullptr) << qmx::CounterTableResolveError(s.number);
    EXPECT_TRUE(described.insert(s.number).second) << "table " << s.number << " twice";
  }
  // Every table the counter service feeds, except the two store tables with computed fields.
  for (const qmx::TableLayout& t : qmx::TableLayouts()) {
    bool fed = t.source == qmx::SOURCE_COUNTER_SERVICE && t.number != 4 && t.number != 5;
    EXPECT_EQ(described.count(t.number) == 1, fed) << t.name;
  }
  EXPECT_EQ(described.size(), 53u);
}

TEST(CounterTables, StartLineFormsByTable) {
  // The six forms, one example each, and the tables of each form.
  struct Form {
    int example;
    const char* text;
    std::vector<int> tables;
  } forms[] = {
      {53, "qmx_msetrdb_agent::TakeSample () invoked (qmx53agt)",
       {17, 46, 50, 51, 52, 53, 54, 55, 56, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68}},
      {49, "qmx_msemanfa_agent::TakeSample()  invoked", {2, 6, 7, 8, 18, 20, 21, 22, 23, 24, 44, 45, 47, 49}},
      {1, "qmx_msedb_agent::TakeSample ()  invoked", {1, 30, 31, 32, 33, 34, 35, 36, 37, 38}},
      {25, "qmx_msestrdr_agent::TakeSample() invoked", {25, 26, 27, 28, 29}},
      {3, "qmx_mseis_agent::TakeSample() invoked (qmx03agt)", {3, 16, 19}},
      {10, "qmx_qmxsmtp_agent::TakeSample()  invoked (qmx10agt)", {10}},
  };
  size_t covered = 0;
  for (const Form& f : forms) {
    EXPECT_EQ(qmx::StartLine(*qmx::FindCounterTableDesc(f.example)), f.text);
    std::string pattern = f.text;
    std::string exampleStem = qmx::TableLayoutByNumber(f.example)->stem;
    for (int t : f.tables) {
      const qmx::CounterTableDesc* s = qmx::FindCounterTableDesc(t);
      ASSERT_NE(s, nullptr) << t;
      std::string expected = pattern;
      expected.replace(expected.find(exampleStem), exampleStem.size(), s->stem);
      char unit[16], exampleUnit[16];
      std::snprintf(unit, sizeof unit, "qmx%02dagt", t);
      std::snprintf(exampleUnit, sizeof exampleUnit, "qmx%02dagt", f.example);
      size_t u = expected.find(exampleUnit);
      if (u != std::string::npos) expected.replace(u, std::strlen(exampleUnit), unit);
      EXPECT_EQ(qmx::StartLine(*s), expected) << t;
      ++covered;
    }
  }
  EXPECT_EQ(covered, qmx::CounterTableDescs().size());
}

TEST(CounterTables, MarkersByReleaseAndLevel) {
  const std::set<int> t29First = {88, 92, 96, 100, 112, 144, 148, 152, 156,
                                  176, 180, 184, 220, 224, 228, 232, 236, 256};
  const std::set<int> t29Second = {272, 276, 280, 284, 288, 296, 300, 304, 308, 312, 316, 320, 328, 332};
  std::set<int> t29SecondSp1 = t29Second;
  t29SecondSp1.insert({112, 176});
  struct Case {
    int table;
    ExchangeCodes codes;
    bool ccr;
    std::set<int> marked;
  } cases[] = {
      {1, Codes(1, 7, -1, -1), false, {192, 196, 200, 208, 220, 228}},
      {1, Codes(1, 6, -1, -1), false, {192, 196, 200, 208, 220, 228}},
      {1, Codes(1, -1, -1, -1), false, {192, 196, 200, 204, 208, 212, 216, 220, 224, 228}},
      {1, Codes(5, -1, -1, 8), false, {232, 236}},
      {1, Codes(5, -1, -1, -1), false, {}},
      {1, Codes(3, -1, 9, -1), false, {}},
      {3, Codes(1, 7, -1, -1), false, {268}},
      {3, Codes(1, 6, -1, -1), false, {268, 300}},
      {3, Codes(5, -1, -1, 8), false, {108}},
      {3, Codes(3, -1, 10, -1), false, {}},
      {10, Codes(-1, -1, -1, -1), false, {212}},
      {10, Codes(5, -1, -1, 8), false, {212}},
      {17, Codes(1, -1, -1, -1), false, {476, 480, 484, 488, 492, 496, 500, 504, 508, 548}},
      {17, Codes(1, 7, -1, -1), false, {476, 484, 496, 504, 508, 548}},
      {17, Codes(3, -1, 9, -1), false, {}},
      {25, Codes(5, -1, -1, 8), false, {744}},
      {25, Codes(5, -1, -1, -1), false, {}},
      {26, Codes(5, -1, -1, -1), false, {700, 704, 708, 720, 732, 736, 744, 748, 752}},
      {26, Codes(3, -1, 9, -1), false, {}},
      {28, Codes(3, -1, 9, -1), true, {}},
      {28, Codes(3, -1, 9, -1), false, {140}},
      {28, Codes(5, -1, -1, 8), false, {112, 120, 124, 128, 140}},
      {28, Codes(5, -1, -1, 8), true, {112, 120, 124, 128, 140}},
      {28, Codes(5, -1, -1, -1), true, {128, 140}},
      {29, Codes(1, 7, -1, -1), false, t29First},
      {29, Codes(1, 6, -1, -1), false, {}},
      {29, Codes(5, -1, -1, 8), false, t29SecondSp1},
      {29, Codes(5, -1, -1, -1), false, t29Second},
      {29, Codes(3, -1, 9, -1), false, t29Second},
      {29, Codes(3, 7, 9, -1), false, t29Second},  // the 2003 level counts only on release 1
      {29, Codes(-1, 7, -1, 8), false, {}},
      {37, Codes(5, -1, -1, -1), false, {164}},
      {37, Codes(3, -1, -1, -1), false, {}},
      {51, Codes(3, -1, 9, -1), false, {100, 112}},
      {51, Codes(5, -1, -1, 8), false, {}},
      {59, Codes(5, -1, -1, -1), false, {104}},
      {59, Codes(5, -1, -1, 8), false, {}},
      {60, Codes(5, -1, -1, -1), false, {688}},
      {66, Codes(5, -1, -1, -1), false,
       {696, 704, 708, 720, 724, 744, 748, 752, 756, 760, 764, 772, 776, 780, 784, 788, 808}},
      {66, Codes(5, -1, -1, 8), false, {}},
      {67, Codes(5, -1, -1, -1), false, {716}},
      {68, Codes(5, -1, -1, -1), false, {164}},
      {68, Codes(5, -1, -1, 8), false, {}},
      {2, Codes(1, -1, -1, -1), false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("table " + std::to_string(c.table) + " release " + std::to_string(c.codes.release));
    const qmx::ResolvedTable* t = qmx::ResolveCounterTable(c.table);
    ASSERT_NE(t, nullptr);
    Buffer b(c.table, 3);
    Buffer untouched(c.table, 3);
    g_ccr = c.ccr;
    g_ccrCalls = 0;
    qmx::ApplyRowRules(*t, b.bfr.pBuffer.get(), b.bfr.nRowsUsed, b.bfr.nRowSize, c.codes, &AskCcr, nullptr);
    for (uint32_t r = 0; r < 3; ++r) EXPECT_EQ(MarkedOffsets(b, r), c.marked) << "row " << r;
    // Nothing else changed (table 01 copies its name, table 25 writes "N/A": both start at 88).
    for (uint32_t off = 0; off < b.bfr.nBufferSize; ++off) {
      uint32_t inRow = off % b.bfr.nRowSize;
      bool isMarked = c.marked.count(static_cast<int>(inRow & ~3u)) == 1;
      bool isNameField = (c.table == 1 || c.table == 25) && inRow >= 88 && inRow < 88 + 60;
      if (!isMarked && !isNameField) {
        ASSERT_EQ(b.bfr.pBuffer[off], untouched.bfr.pBuffer[off]) << "byte " << off;
      }
    }
    EXPECT_EQ(g_ccrCalls, c.table == 28 ? 1 : 0) << "the CCR test runs once per sample, for table 28 only";
  }
}

TEST(CounterTables, Table01DatabaseNameFromTheInstanceName) {
  const qmx::ResolvedTable* t = qmx::ResolveCounterTable(1);
  for (size_t len : {0u, 5u, 59u, 60u, 61u, 331u}) {
    SCOPED_TRACE(len);
    Buffer b(1, 2, 0);
    for (uint32_t r = 0; r < 2; ++r) {
      std::memset(b.row(r) + 88, 'x', 60);  // whatever the service left there
      for (size_t i = 0; i < len; ++i) b.row(r)[240 + i] = static_cast<char>('a' + (i + r) % 26);
    }
    qmx::ApplyRowRules(*t, b.bfr.pBuffer.get(), 2, b.bfr.nRowSize, Codes(3, -1, 9, -1), &AskCcr, nullptr);
    for (uint32_t r = 0; r < 2; ++r) {
      std::string field(b.row(r) + 88, 60);
      std::string expected(b.row(r) + 240, std::min<size_t>(len, 60));
      expected.resize(60, '\0');
      EXPECT_EQ(field, expected);
      EXPECT_EQ(field.find('\0') != std::string::npos, len < 60) << "terminator within the field";
      EXPECT_EQ(b.row(r)[240], len ? static_cast<char>('a' + r % 26) : '\0') << "the instance field stays";
    }
  }
}

TEST(CounterTables, Table25NotAvailableNameOn2010Sp1) {
  const qmx::ResolvedTable* t = qmx::ResolveCounterTable(25);
  Buffer b(25, 2, 'q');
  qmx::ApplyRowRules(*t, b.bfr.pBuffer.get(), 2, b.bfr.nRowSize, Codes(5, -1, -1, 8), &AskCcr, nullptr);
  for (uint32_t r = 0; r < 2; ++r) {
    EXPECT_EQ(std::string(b.row(r) + 88, 4), std::string("N/A\0", 4));
    EXPECT_EQ(b.row(r)[92], 'q') << "the rest of the field is left as it was";
  }
  Buffer older(25, 1, 'q');
  qmx::ApplyRowRules(*t, older.bfr.pBuffer.get(), 1, older.bfr.nRowSize, Codes(5, -1, -1, -1), &AskCcr, nullptr);
  EXPECT_EQ(older.row(0)[88], 'q');
}

TEST(CounterTables, RowsShorterThanTheTableAreLeftAlone) {
  const qmx::ResolvedTable* t = qmx::ResolveCounterTable(10);
  std::vector<char> rows(200, 0x11);  // a definition that does not match: rows of 100 bytes
  qmx::ApplyRowRules(*t, rows.data(), 2, 100, Codes(5, -1, -1, 8), &AskCcr, nullptr);
  EXPECT_EQ(rows, std::vector<char>(200, 0x11));
}

TEST(CounterTables, DeltaOfATotal) {
  const uint32_t none = qmx::kNotAvailable;
  struct Case {
    uint32_t previous, total, delta;
  } cases[] = {
      {none, 0, 0},          {none, 12345, 0},       // first sample
      {100, 150, 50},        {100, 100, 0},          // the increase
      {0, 0xFFFFFFFEu, 0xFFFFFFFEu},
      {150, 40, 40},         {0xFFFFFFF0u, 0, 0},    // went back: the count since the restart
      {100, none, none},     // the total itself is not available
  };
  for (const Case& c : cases) EXPECT_EQ(qmx::DeltaOf(c.total, c.previous), c.delta) << c.previous << " " << c.total;
}

TEST(CounterTables, DeltaFieldsOverSamples) {
  struct Pair {
    int source, delta;
  };
  struct Table {
    int number;
    std::vector<Pair> pairs;
  } tables[] = {
      {33, {{88, 108}, {92, 112}, {96, 116}, {100, 120}}},
      {35, {{92, 164}, {96, 168}}},
      {36, {{88, 96}}},
  };
  for (const Table& tb : tables) {
    SCOPED_TRACE(tb.number);
    qmx::ResetCounterTableStateForTests();
    const qmx::ResolvedTable* t = qmx::ResolveCounterTable(tb.number);
    ASSERT_EQ(t->deltas.size(), tb.pairs.size());
    qmx::DeltaCells* cells = qmx::DeltaCellsOf(tb.number);
    ASSERT_NE(cells, nullptr);
    // Totals of three samples; the third went back (the counted service restarted).
    const uint32_t totals[3] = {1000, 1250, 30};
    const uint32_t expected[3] = {0, 250, 30};
    for (int s = 0; s < 3; ++s) {
      Buffer b(tb.number, 2, 0);
      for (size_t k = 0; k < tb.pairs.size(); ++k) {
        b.Put(0, tb.pairs[k].source, totals[s] + static_cast<uint32_t>(k));
        b.Put(1, tb.pairs[k].source, 7);
        b.Put(1, tb.pairs[k].delta, 99);
      }
      qmx::ApplyDeltas(*t, b.row(0), b.bfr.nRowSize, *cells);
      for (size_t k = 0; k < tb.pairs.size(); ++k) {
        // After the restart the delta is the new total itself.
        uint32_t want = expected[s] + (s == 2 ? static_cast<uint32_t>(k) : 0u);
        EXPECT_EQ(b.U32(0, tb.pairs[k].delta), want) << "sample " << s << " pair " << k;
        EXPECT_EQ(b.U32(1, tb.pairs[k].delta), 99u) << "later rows get no delta";
      }
    }
  }
  EXPECT_EQ(qmx::DeltaCellsOf(34), nullptr);
}

TEST(CounterTables, AsyncTableLevel) {
  EXPECT_EQ(qmx::AsyncTableLevel(Codes(5, 7, 9, 8)), 8);
  EXPECT_EQ(qmx::AsyncTableLevel(Codes(1, 7, 9, 8)), 7);
  EXPECT_EQ(qmx::AsyncTableLevel(Codes(3, 7, 9, 8)), 9);
  EXPECT_EQ(qmx::AsyncTableLevel(Codes(2, 7, 9, 8)), -1);
}

TEST(CounterTables, StatusLine) {
  EXPECT_EQ(qmx::StatusLine(1), "ZrtTalloInterface() returns Severity: 0, Facility: 0, Code: 1 - (0x00000001)");
  EXPECT_EQ(qmx::StatusLine(0x80070006u),
            "ZrtTalloInterface() returns Severity: 1, Facility: 7, Code: 6 - (0x80070006)");
  EXPECT_EQ(qmx::StatusLine(0xFFFFFFFFu),
            "ZrtTalloInterface() returns Severity: 1, Facility: 8191, Code: 65535 - (0xffffffff)");
}

TEST(CounterTables, TransportScannerRow) {
  const qmx::TableLayout& t = *qmx::TableLayoutByNumber(57);
  ASSERT_EQ(static_cast<uint32_t>(t.rowSize), qmx::kTransportScannerRowSize);
  EXPECT_EQ(t.attributes[4].name, "trnssname");
  EXPECT_EQ(t.attributes[4].offset, qmx::kTransportScannerNameOffset);
  EXPECT_EQ(t.attributes[4].width, qmx::kTransportScannerNameWidth);
  EXPECT_EQ(t.attributes[5].offset, qmx::kTransportScannerValuesOffset);
  EXPECT_EQ(t.attributes.back().offset, qmx::kTransportScannerValuesOffset + 48);

  struct Case {
    double in;
    int32_t out;
  } cases[] = {{0, 0}, {12.9, 12}, {-12.9, -12}, {2147483647.5, INT32_MAX}, {1e12, INT32_MAX},
               {-1e12, INT32_MIN}, {0.0 / 0.0, 0}};
  for (const Case& c : cases) EXPECT_EQ(qmx::TruncateToInt32(c.in), c.out) << c.in;

  char system[64];
  std::memset(system, ' ', 64);
  std::memcpy(system, "HUB:EX", 6);
  double values[13];
  for (int k = 0; k < 13; ++k) values[k] = k * 10.75;
  // 599 ASCII bytes then a two-byte sequence: the field ends before the sequence.
  std::string longName(599, 'n');
  longName += "\xC3\xA9tail";
  for (const std::string& name : {std::string("Scanner A"), longName}) {
    std::vector<char> row(qmx::kTransportScannerRowSize, 'z');
    qmx::FillTransportScannerRow(row.data(), system, 17, 2, "1261210065533000", name.c_str(), values);
    EXPECT_EQ(std::string(row.data(), 64), std::string(system, 64));
    int32_t v;
    std::memcpy(&v, &row[64], 4);
    EXPECT_EQ(v, 17);
    std::memcpy(&v, &row[68], 4);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(std::string(&row[72], 16), "1261210065533000");
    std::string field(&row[88], 600);
    std::string expected = name.substr(0, name.size() > 600 ? 599 : name.size());
    expected.resize(600, '\0');
    EXPECT_EQ(field, expected);
    for (int k = 0; k < 13; ++k) {
      std::memcpy(&v, &row[688 + 4 * k], 4);
      EXPECT_EQ(v, static_cast<int32_t>(k * 10.75)) << k;
    }
  }
}

// ---------------------------------------------------------------- the common sample

struct Fetcher {
  uint32_t status = 0;
  int calls = 0;
  int codeCalls = 0;
  std::vector<std::vector<char>> rows;  // what the "service" delivers
  ExchangeCodes codes;
};

uint32_t TestFetch(SampleBfr* bfr, void* arg) {
  Fetcher* f = static_cast<Fetcher*>(arg);
  ++f->calls;
  if (!f->rows.empty()) {
    if (f->rows.size() > bfr->nRowsInBuffer) bfr->Allocate(static_cast<long long>(bfr->nRowSize) * f->rows.size());
    for (size_t r = 0; r < f->rows.size(); ++r)
      std::memcpy(bfr->pBuffer.get() + r * bfr->nRowSize, f->rows[r].data(), bfr->nRowSize);
    bfr->nRowsUsed = static_cast<uint32_t>(f->rows.size());
  }
  bfr->ulResult = f->status;
  return f->status;
}
ExchangeCodes TestCodes(void* arg) {
  Fetcher* f = static_cast<Fetcher*>(arg);
  ++f->codeCalls;
  return f->codes;
}
bool NotCcr(void*) { return false; }

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value) setenv(name, value, 1);
  else unsetenv(name);
#endif
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class CommonSample : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    if (!tmp) tmp = std::getenv("TEMP");
    log_ = std::string(tmp ? tmp : "/tmp") + "/ctrtables_trace_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
    std::remove(log_.c_str());
    SetEnv("JBX_RAS1_LOG", log_.c_str());
    pxr::ResetForTests();
    qmx::ResetCounterTableStateForTests();
    for (const qmx::TableEntry& e : qmx::TableCatalogue()) ASSERT_EQ(e.init(), 0u);
  }
  void TearDown() override {
    SetEnv("JBX_RAS1_LOG", nullptr);
    std::remove(log_.c_str());
  }
  std::unique_ptr<pxr::Request> Open(const char* table, const std::vector<RequestCondition>& c = {}) {
    unsigned long status = 1;
    auto r = pxr::Request::Open(table, c, &status);
    EXPECT_EQ(status, 0u);
    return r;
  }
  unsigned long Sample(pxr::Request& r, int table, SampleBfr& bfr, Fetcher& f) {
    qmx::CounterSampleSource source = {&TestFetch, &TestCodes, &NotCcr, &f};
    return qmx::SampleCounterTable(*r.object(), table, bfr, source);
  }
  std::string Trace() { return ReadFile(log_); }
  static std::vector<char> Row(int table, int32_t fill) {
    std::vector<char> row(static_cast<size_t>(qmx::TableLayoutByNumber(table)->rowSize));
    for (size_t i = 0; i + 4 <= row.size(); i += 4) std::memcpy(&row[i], &fill, 4);
    return row;
  }
  std::string log_;
};

TEST_F(CommonSample, SuccessCorrectsAndHandsOverEveryRow) {
  SampleBfr bfr(0, 1);
  bfr.nRowSize = 760;
  bfr.Allocate(760);  // one row: the second makes the fetch grow the buffer
  Fetcher f;
  f.codes = Codes(5, -1, -1, 8);
  f.rows = {Row(26, 3), Row(26, 4)};
  auto r = Open("MSEASSIT");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Sample(*r, 26, bfr, f), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "qmx_mseassit_agent::TakeSample() invoked\n");
  ASSERT_EQ(r->rowCount(), 2);
  for (int i = 0; i < 2; ++i) {
    int32_t v;
    std::memcpy(&v, r->row(i) + 700, 4);
    EXPECT_EQ(v, -1);
    std::memcpy(&v, r->row(i) + 696, 4);
    EXPECT_EQ(v, 3 + i);
  }
  EXPECT_EQ(f.codeCalls, 1);

  // A table without release rules never asks for the codes.
  SampleBfr plain(0, 1);
  plain.nRowSize = 160;
  Fetcher g;
  g.rows = {Row(2, 1)};
  auto r2 = Open("MSEDS");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Sample(*r2, 2, plain, g), 0u);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(r2->rowCount(), 1);
  EXPECT_EQ(g.codeCalls, 0);
}

TEST_F(CommonSample, ConditionsStillDecide) {
  SampleBfr bfr(0, 1);
  bfr.nRowSize = 160;
  Fetcher f;
  f.rows = {Row(2, 3), Row(2, 9), Row(2, 4)};
  auto r = Open("MSEDS", {{"THREADS", OPER_GE, "4"}});
  testing::internal::CaptureStderr();
  EXPECT_EQ(Sample(*r, 2, bfr, f), 0u);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(r->rowCount(), 2);
}

TEST_F(CommonSample, FailedFetchHandsOverNothingAndTracesTheStatus) {
  struct Case {
    uint32_t status;
    const char* line;
  } cases[] = {
      {1, "ZrtTalloInterface() returns Severity: 0, Facility: 0, Code: 1 - (0x00000001)"},
      {0x80070006u, "ZrtTalloInterface() returns Severity: 1, Facility: 7, Code: 6 - (0x80070006)"},
      {0x8007007Au, "ZrtTalloInterface() returns Severity: 1, Facility: 7, Code: 122 - (0x8007007a)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    SampleBfr bfr(0, 1);
    bfr.nRowSize = 416;
    Fetcher f;
    f.rows = {Row(10, 5), Row(10, 6)};
    auto r = Open("QMXSMTP");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Sample(*r, 10, bfr, f), 0u);
    ASSERT_EQ(r->rowCount(), 2) << "a good sample first";
    f.status = c.status;  // the next fetch fails with the rows still in the buffer
    EXPECT_EQ(Sample(*r, 10, bfr, f), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "qmx_qmxsmtp_agent::TakeSample()  invoked (qmx10agt)\n"
              "qmx_qmxsmtp_agent::TakeSample()  invoked (qmx10agt)\n");
    EXPECT_EQ(r->rowCount(), 0) << "the request was emptied and stays empty";
    EXPECT_NE(Trace().find(c.line), std::string::npos) << Trace();
  }
}

TEST_F(CommonSample, DeltasRunAfterEveryFetchThatLeftRows) {
  SampleBfr bfr(0, 1);
  bfr.nRowSize = 124;
  Fetcher f;
  auto r = Open("MSEPAA");
  auto sample = [&](uint32_t total, uint32_t status) {
    std::vector<char> row = Row(33, 0);
    for (int off : {88, 92, 96, 100}) std::memcpy(&row[static_cast<size_t>(off)], &total, 4);
    f.rows = {row};
    f.status = status;
    testing::internal::CaptureStderr();
    Sample(*r, 33, bfr, f);
    testing::internal::GetCapturedStderr();
  };
  auto delta = [&](int off) {
    uint32_t v;
    std::memcpy(&v, r->row(0) + off, 4);
    return v;
  };
  sample(500, 0);
  ASSERT_EQ(r->rowCount(), 1);
  for (int off : {108, 112, 116, 120}) EXPECT_EQ(delta(off), 0u);
  sample(520, 0);
  for (int off : {108, 112, 116, 120}) EXPECT_EQ(delta(off), 20u);
  sample(600, 1);  // not handed over, but remembered
  EXPECT_EQ(r->rowCount(), 0);
  sample(610, 0);
  for (int off : {108, 112, 116, 120}) EXPECT_EQ(delta(off), 10u);

  // A table whose buffer has no storage at all says so.
  SampleBfr none(0, 1);
  Fetcher empty;
  auto r36 = Open("MSEAF");
  testing::internal::CaptureStderr();
  Sample(*r36, 36, none, empty);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(Trace().find("Attachment Filtering counter not available"), std::string::npos);
  EXPECT_EQ(r36->rowCount(), 0);
}

#ifndef _WIN32
TEST_F(CommonSample, HostBuildTablesStayEmpty) {
  // Nothing describes a sample in the host build: the requests come back without rows.
  for (const char* table : {"MSEDB", "MSEMCD", "FFEXTRNSS"}) {
    auto r = Open(table);
    testing::internal::CaptureStderr();
    EXPECT_EQ(r->Sample(), 0u) << table;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r->rowCount(), 0) << table;
    EXPECT_EQ(err, std::string(table) == "MSEDB" ? "qmx_msedb_agent::TakeSample ()  invoked\n" : "") << table;
  }
}
#endif

}  // namespace
