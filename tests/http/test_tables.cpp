#include "test_tables.h"

#include "field_table.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace http_test {

std::atomic<int> gTableBDelayMs{0};
std::atomic<bool> gTableBFails{false};
std::atomic<int> gTableBRunning{0};
std::atomic<int> gTableBMostAtOnce{0};

namespace {

struct TableDef {
  const char* name;
  int rowSize;
  int step;
  std::vector<qmxtest::TestField> fields;
};

const TableDef kTableA = {
    "QMXHTA", 152, 2,
    {{{"originnode", 0, 64, ATTR_TEXT}, "ORIGINNODE"},
     {{"sampleno", 64, 4, ATTR_INT32}, "SAMPLENO"},
     {{"rowno", 68, 4, ATTR_INT32}, "ROWNO"},
     {{"timestamp", 72, 16, ATTR_TEXT}, "TIMESTAMP"},
     {{"name", 88, 32, ATTR_UTF8}, "NAME"},
     {{"label", 120, 16, ATTR_TEXT}, "LABEL"},
     {{"value", 136, 4, ATTR_INT32}, "VALUE"},
     {{"big", 140, 8, ATTR_INT64}, "BIG"},
     {{"avail", 148, 4, ATTR_INT32}, "AVAIL"}}};

const TableDef kTableB = {
    "QMXHTB", 100, 1,
    {{{"originnode", 0, 64, ATTR_TEXT}, "ORIGINNODE"},
     {{"timestamp", 64, 16, ATTR_TEXT}, "TIMESTAMP"},
     {{"sampleno", 80, 4, ATTR_INT32}, "SAMPLENO"},
     {{"rowno", 84, 4, ATTR_INT32}, "ROWNO"},
     {{"kind", 88, 8, ATTR_TEXT}, "KIND"},
     {{"count", 96, 4, ATTR_INT32}, "COUNT"}}};

std::atomic<int> gSampleNo{0};

void Put(std::vector<char>& row, int offset, const void* data, size_t n) {
  std::memcpy(row.data() + offset, data, n);
}
void PutText(std::vector<char>& row, int offset, const std::string& text) {
  Put(row, offset, text.data(), text.size());
}
void PutInt(std::vector<char>& row, int offset, int32_t v) { Put(row, offset, &v, 4); }
void PutBig(std::vector<char>& row, int offset, int64_t v) { Put(row, offset, &v, 8); }

std::vector<char> RowsA(int sampleno) {
  struct R {
    const char* origin;
    std::string name;
    std::string label;
    int32_t value;
    int64_t big;
    int32_t avail;
  };
  const R rows[] = {
      {"hostA:EX", "alpha", "one   ", -5, 5000000000LL, 7},
      {"hostB:EX", "beta", std::string("two\0junk", 8), 0, -1, -1},
      {"hostA:EX", "ga\"m\\ma\nx", "three", 7, 0, 0},
      {"hostC:EX", "\xc3\xa9t\xc3\xa9", "bad\xff\xfe", 100, 42, 100},
  };
  std::vector<char> out;
  int rowno = 0;
  for (const R& r : rows) {
    std::vector<char> row(static_cast<size_t>(kTableA.rowSize), '\0');
    std::memset(row.data(), ' ', 64);  // the origin is blank-padded
    PutText(row, 0, r.origin);
    PutInt(row, 64, sampleno);
    PutInt(row, 68, rowno++);
    PutText(row, 72, "1261210120000000");
    PutText(row, 88, r.name);
    PutText(row, 120, r.label);
    PutInt(row, 136, r.value);
    PutBig(row, 140, r.big);
    PutInt(row, 148, r.avail);
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

std::vector<char> RowsB(int sampleno) {
  std::vector<char> out;
  const char* kinds[] = {"x", "y"};
  for (int i = 0; i < 2; ++i) {
    std::vector<char> row(static_cast<size_t>(kTableB.rowSize), '\0');
    std::memset(row.data(), ' ', 64);
    PutText(row, 0, "hostA:EX");
    PutText(row, 64, "1261210120000000");
    PutInt(row, 80, sampleno);
    PutInt(row, 84, i);
    PutText(row, 88, kinds[i]);
    PutInt(row, 96, i + 1);
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

class TestAgent : public qmxtest::FieldTableAgent {
 public:
  TestAgent(RequestDetail* d, ContextInfo* c, TableManager* m, const TableDef& def)
      : FieldTableAgent(d, c, m, def.fields, def.rowSize, def.step), def_(def) {}
  unsigned long TakeSample() override {
    int sampleno = ++gSampleNo;
    if (&def_ == &kTableA) {
      std::vector<char> rows = RowsA(sampleno);
      return AddData(rows.data(), static_cast<int>(rows.size()) / rowSize);
    }
    int now = ++gTableBRunning;
    int most = gTableBMostAtOnce.load();
    while (now > most && !gTableBMostAtOnce.compare_exchange_weak(most, now)) {
    }
    if (gTableBDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gTableBDelayMs.load()));
    unsigned long status = 0x21060002;
    if (!gTableBFails) {
      std::vector<char> rows = RowsB(sampleno);
      status = AddData(rows.data(), static_cast<int>(rows.size()) / rowSize);
    }
    --gTableBRunning;
    return status;
  }

 private:
  const TableDef& def_;
};

class TestManager : public TableManager {
 public:
  explicit TestManager(const TableDef& def) : TableManager("QMX", def.name), def_(def) {}
  vorta* CreateRequest(RequestDetail* d, ContextInfo* c) override {
    return AddRequest(new TestAgent(d, c, this, def_));
  }

 private:
  const TableDef& def_;
};

}  // namespace

void RegisterTestTables() {
  static TestManager* a = new TestManager(kTableA);
  static TestManager* b = new TestManager(kTableB);
  TableManager::RegisterWithManager(a);
  TableManager::RegisterWithManager(b);
}

}  // namespace http_test
