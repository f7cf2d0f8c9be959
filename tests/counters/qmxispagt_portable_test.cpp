// The information store tables without an operating system: the token walk, the store status,
// summary and history texts, the computed fields, and the rows built from counter rows, with the
// counter probes (instance exists, single instance ratio) as inputs.
#include "qmxispagt_portable.h"
#include "qmxstorage_portable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using qmx::StoreTableDesc;

const StoreTableDesc& Pri() { return qmx::PrivateStoreTable(); }
const StoreTableDesc& Pub() { return qmx::PublicStoreTable(); }

int32_t I32(const char* p, int off) {
  int32_t v;
  std::memcpy(&v, p + off, 4);
  return v;
}
void Put(char* p, int off, int32_t v) { std::memcpy(p + off, &v, 4); }
std::string Name(const char* row) { return std::string(row + 88, strnlen(row + 88, 600)); }

TEST(StoreTexts, TokenWalk) {
  const struct {
    std::string text;
    std::vector<std::string> tokens;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a;", {"a", ""}},
      {";", {"", ""}},
      {"a;;b", {"a", "", "b"}},
      {"Storage Group=x;Mailbox Store=y;Status=0;", {"Storage Group=x", "Mailbox Store=y", "Status=0", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(qmx::storage::Tokens(c.text), c.tokens) << "[" << c.text << "]";
}

TEST(StoreTexts, StoreStatus) {
  struct S {
    std::string group, store;
    bool mounted;
  };
  const struct {
    std::string text;
    const char* key;
    std::vector<S> stores;
  } cases[] = {
      {"Storage Group=SG1;Mailbox Store=DB1;Status=0;Storage Group=SG2;Mailbox Store=DB2;Status=1;"
       "Public Store=PF;Status=0;",
       "Mailbox Store=",
       {{"SG1", "DB1", true}, {"SG2", "DB2", false}}},
      {"Storage Group=SG1;Mailbox Store=DB1;Status=0;Storage Group=SG2;Public Store=PF;Status=0;",
       "Public Store=",
       {{"SG2", "PF", true}}},
      // A ";" inside a store name: the rest of the name is taken for its status.
      {"Storage Group=;Mailbox Store=A;B;Status=0;", "Mailbox Store=", {{"", "A", false}}},
      {"Mailbox Store=X=Y;Status=0", "Mailbox Store=", {{"", "X=Y", true}}},
      {"Mailbox Store=Z", "Mailbox Store=", {{"", "Z", false}}},
      {"Mailbox Store=Z;Status=00;", "Mailbox Store=", {{"", "Z", false}}},
      {"Mailbox Store=Z;Status=0 ;", "Mailbox Store=", {{"", "Z", false}}},
      {"", "Mailbox Store=", {}},
  };
  for (const auto& c : cases) {
    std::vector<qmx::StatusStore> got = qmx::ParseStoreStatus(c.text, c.key);
    ASSERT_EQ(got.size(), c.stores.size()) << c.text;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].group, c.stores[i].group) << c.text;
      EXPECT_EQ(got[i].store, c.stores[i].store) << c.text;
      EXPECT_EQ(got[i].mounted, c.stores[i].mounted) << c.text;
    }
  }
}

TEST(StoreTexts, Summary) {
  const struct {
    std::string text;
    std::vector<std::string> names;
    std::vector<double> sizes;
    int dropped;
  } cases[] = {
      {"DB1;1048576.000000;100.000000;1000.000000", {"DB1"}, {1048576}, 0},
      {"DB1;1.000000;2.000000;3.000000;DB 2;4.5;0.000000;0.000000", {"DB1", "DB 2"}, {1, 4.5}, 0},
      {"DB1; 5 ;1;2", {"DB1"}, {5}, 0},
      {"DB1;abc;1;2", {}, {}, 1},
      {"DB1;1;2", {}, {}, 1},
      {"DB1;nan;1;2;DB2;inf;1;2;DB3;1e999;1;2", {}, {}, 3},
      {"DB1;;1;2", {}, {}, 1},
      // A ";" in a name shifts every item after it.
      {"A;B;1;2;3", {}, {}, 2},
      {"DB1;1;2;3;", {"DB1"}, {1}, 1},
      {"", {}, {}, 0},
  };
  for (const auto& c : cases) {
    int dropped = -1;
    std::vector<qmx::SummaryEntry> got = qmx::ParseSummary(c.text, &dropped);
    EXPECT_EQ(dropped, c.dropped) << c.text;
    ASSERT_EQ(got.size(), c.names.size()) << c.text;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, c.names[i]);
      EXPECT_EQ(got[i].sizeBytes, c.sizes[i]);
    }
  }
  std::vector<qmx::SummaryEntry> one = qmx::ParseSummary("DB1;10.5;20.25;30.125");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].freeMB, 20.25);
  EXPECT_EQ(one[0].totalMB, 30.125);
}

TEST(StoreTexts, HistoryFromFileBytes) {
  const struct {
    std::string bytes, text;
  } cases[] = {
      {"", ""},
      {"DB1;1.0;2.0;3.0", "DB1;1.0;2.0;3.0"},
      {"DB1;1.0;2.0;3.0\n", "DB1;1.0;2.0;3.0"},
      {"DB1;1.0\r\n2.0;3.0\r\n", "DB1;1.0;2.0;3.0"},
      {"a\n\nb", "a;;b"},
      {std::string("x\0y\n\x01\xff", 6), std::string("x\0y;\x01\xff", 6)},
      {"\n", ""},
      {"DB1;1;1;1\r", "DB1;1;1;1\r"},  // no line end after it: part of the text
  };
  for (const auto& c : cases) EXPECT_EQ(qmx::HistoryTextFromBytes(c.bytes), c.text);
}

TEST(StoreFields, SizeShareGrowth) {
  const double MB = 1048576.0;
  const struct {
    double bytes, totalMB, earlier;
    int32_t size, share, growth;
  } cases[] = {
      {100 * MB, 1000, 0, 10000, 1000, 10000},
      {1100 * MB, 10000, 1000 * MB, 110000, 1100, 909},   // grew 100 of 1100 MB: 9.09 %
      {1000 * MB, 10000, 1100 * MB, 100000, 1000, 0},     // shrank
      {1000 * MB, 10000, 1000 * MB, 100000, 1000, 0},
      {5.0 * 1024 * MB, 20480, 0, 512000, 2500, 10000},  // a 5 GiB file
      {100 * MB, 0, 0, 10000, -1, 10000},                 // no drive total: not available
      {100 * MB, -3, 0, 10000, -1, 10000},
      {0, 0, 0, 0, -1, 0},
      {1e30, 1, -1e300, INT32_MAX, INT32_MAX, INT32_MAX},
      {0.5, 1000, 0, 0, 0, 10000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qmx::StoreSizeField(c.bytes), c.size) << c.bytes;
    EXPECT_EQ(qmx::StoreShareField(c.bytes, c.totalMB), c.share) << c.bytes << " of " << c.totalMB;
    EXPECT_EQ(qmx::StoreGrowthField(c.bytes, c.earlier), c.growth) << c.bytes << " from " << c.earlier;
  }
}

TEST(StoreLayouts, BothTablesResolveToTheirOffsets) {
  const struct {
    const StoreTableDesc* desc;
    uint16_t ratio;
    std::vector<uint16_t> taken;
  } cases[] = {{&Pri(), 768, {696, 700, 760, 764}}, {&Pub(), 764, {696, 700, 756, 760}}};
  for (const auto& c : cases) {
    const qmx::StoreLayout* L = qmx::ResolveStoreLayout(*c.desc);
    ASSERT_NE(L, nullptr) << c.desc->traceName;
    EXPECT_EQ(L->rowSize, 836u);
    EXPECT_EQ(L->nameOffset, 88);
    EXPECT_EQ(L->nameWidth, 600);
    EXPECT_EQ(L->countersBegin, 688);
    EXPECT_EQ(L->size, 820);
    EXPECT_EQ(L->growth, 824);
    EXPECT_EQ(L->share, 828);
    EXPECT_EQ(L->state, 832);
    EXPECT_EQ(L->ratio, c.ratio);
    EXPECT_EQ(L->taken, c.taken);
  }
  EXPECT_EQ(qmx::StartLine(Pri().table), "qmx_mseispri_agent::TakeSample()  invoked (qmx04agt)");
  EXPECT_EQ(qmx::StartLine(Pub().table), "qmx_mseispub_agent::TakeSample() invoked (qmx05agt)");
}

// ---------------------------------------------------------------- rows

const double MB = 1048576.0;

// Counter rows as the counter service delivers them: header, instance name, counter k of row i
// holds 1000 * (i + 1) + k; the four computed fields hold a leftover pattern.
struct CounterRows {
  std::vector<char> bytes;
  uint32_t count = 0;
  explicit CounterRows(const std::vector<std::string>& instances, uint32_t rowSize = 836) : rowSize_(rowSize) {
    count = static_cast<uint32_t>(instances.size());
    bytes.assign(static_cast<size_t>(count) * rowSize, '\0');
    for (uint32_t i = 0; i < count; ++i) {
      char* r = row(i);
      std::memset(r, 'S', 64);
      Put(r, 64, 7);
      Put(r, 68, static_cast<int32_t>(i + 1));
      std::memcpy(r + 72, "1261210172700000", 16);
      std::memcpy(r + 88, instances[i].data(), std::min<size_t>(instances[i].size(), 600));
      for (int k = 0; k < 33; ++k) Put(r, 688 + 4 * k, static_cast<int32_t>(1000 * (i + 1) + k));
      for (uint32_t off = 820; off + 4 <= rowSize; off += 4) Put(r, static_cast<int>(off), 0x11111111);
    }
  }
  char* row(uint32_t i) { return bytes.data() + static_cast<size_t>(i) * rowSize_; }
  uint32_t rowSize_;
};

// The probes: instances that exist, and the ratio of each store.
struct Probe {
  std::set<std::string> existing;
  std::map<std::string, int32_t> ratios;
  std::vector<std::string> ratioAsked;
  static bool Exists(const StoreTableDesc&, const char* name, void* arg) {
    return static_cast<Probe*>(arg)->existing.count(name) > 0;
  }
  static int32_t Ratio(const StoreTableDesc&, const char* name, void* arg) {
    Probe* p = static_cast<Probe*>(arg);
    p->ratioAsked.push_back(name);
    auto it = p->ratios.find(name);
    return it == p->ratios.end() ? 0 : it->second;
  }
  qmx::StoreProbe probe() { return {&Exists, &Ratio, this}; }
};

qmx::StoreSampleInput Input(int release, const std::string& status, const std::string& summary, size_t databases,
                            CounterRows* rows, Probe* probe) {
  qmx::StoreSampleInput in;
  in.release = release;
  in.statusKnown = true;
  in.statusText = status;
  in.summaryText = summary;
  in.databaseCount = databases;
  if (rows) {
    in.counterRows = rows->bytes.data();
    in.counterRowCount = rows->count;
    in.counterRowSize = rows->rowSize_;
  }
  if (probe) in.probe = probe->probe();
  return in;
}

std::vector<std::string> Names(qmx::StoreRows& rows) {
  std::vector<std::string> names;
  for (int i = 0; i < rows.count; ++i) names.push_back(Name(rows.row(i)));
  return names;
}

// Two databases on one drive: the second entry of the summary counts no drive space.
const std::string kSummary2007 =
    "DB1;104857600.000000;500.000000;1000.000000;DB2;209715200.000000;0.000000;0.000000";

TEST(StoreRows, Release2007MailboxStores) {
  CounterRows c({"SG1-DB1", "Unrelated", "SG2-DB2", "_Total"});
  Probe p;
  p.existing = {"SG1-DB1", "SG2-DB2", "_Total"};
  p.ratios = {{"SG1-DB1", 150}, {"SG2-DB2", 250}, {"_Total", 9}};
  qmx::StoreRows rows = qmx::BuildStoreRows(
      Pri(), Input(3, "Storage Group=SG1;Mailbox Store=DB1;Status=0;Storage Group=SG2;Mailbox Store=DB2;Status=1;",
                   kSummary2007, 2, &c, &p));
  ASSERT_EQ(rows.count, 3);
  EXPECT_EQ(Names(rows), (std::vector<std::string>{"SG1-DB1", "SG2-DB2", "_Total"}));
  const struct {
    int row;
    uint32_t instance;  // the counter row that lent its values
    int32_t size, growth, share, state, ratio;
  } want[] = {
      {0, 0, 10000, 0, 1000, 0, 150},
      {1, 2, 20000, 0, -1, 1, 250},  // its drive was counted for DB1: no total, not available
      {2, 3, 10000, 0x11111111, 0x11111111, 2, 9},  // the mounted stores' size; _Total has no database
  };
  for (const auto& w : want) {
    const char* r = rows.row(w.row);
    SCOPED_TRACE(w.row);
    EXPECT_EQ(std::string(r, 64), std::string(64, 'S'));
    EXPECT_EQ(I32(r, 64), 7);
    EXPECT_EQ(I32(r, 68), w.row + 1);
    EXPECT_EQ(std::string(r + 72, 16), "1261210172700000");
    for (int off = 688; off < 820; off += 4) {
      const int k = (off - 688) / 4;
      if (off == 696 || off == 736 || off == 764)
        EXPECT_EQ(I32(r, off), -1) << "release marker at " << off;
      else if (off == 768)
        EXPECT_EQ(I32(r, off), w.ratio);
      else
        EXPECT_EQ(I32(r, off), static_cast<int32_t>(1000 * (w.instance + 1) + k)) << off;
    }
    EXPECT_EQ(I32(r, 820), w.size);
    EXPECT_EQ(I32(r, 824), w.growth);
    EXPECT_EQ(I32(r, 828), w.share);
    EXPECT_EQ(I32(r, 832), w.state);
  }
  EXPECT_EQ(p.ratioAsked, (std::vector<std::string>{"SG1-DB1", "SG2-DB2", "_Total"}));
  // The delivered rows carry their computed fields and the markers too.
  EXPECT_EQ(I32(c.row(2), 820), 20000);
  EXPECT_EQ(I32(c.row(1), 696), -1);
  EXPECT_EQ(I32(c.row(1), 820), 0x11111111) << "no database of its name";
}

TEST(StoreRows, Release2010SkippedStoresLeaveNoEmptyRows) {
  // Three databases in the directory; the status names one that is not among them.
  const std::string summary = "DB1;1048576.0;1.0;10.0;DB2;2097152.0;0.0;0.0;DB3;0.0;0.0;0.0";
  CounterRows c({"DB2", "DB1", "_Total"});
  Probe p;
  p.existing = {"DB1", "DB2", "_Total"};
  qmx::StoreRows rows = qmx::BuildStoreRows(
      Pri(), Input(5, "Storage Group=;Mailbox Store= db1 ;Status=0;Storage Group=;Mailbox Store=Gone;Status=0;"
                      "Storage Group=;Mailbox Store=DB2;Status=0;",
                   summary, 3, &c, &p));
  // Not four rows with an unnamed one before the total.
  ASSERT_EQ(rows.count, 3);
  // A matched store row takes the instance's name.
  EXPECT_EQ(Names(rows), (std::vector<std::string>{" db1 ", "DB2", "_Total"}));
  EXPECT_EQ(I32(rows.row(2), 68), 3);
  EXPECT_EQ(I32(rows.row(1), 820), 200);
  EXPECT_EQ(I32(rows.row(0), 820), 0) << "\" db1 \" is not within the instance name DB1";
  EXPECT_EQ(I32(rows.row(2), 820), 200);
  for (int i = 0; i < rows.count; ++i)
    for (int off : {696, 700, 760, 764, 768}) EXPECT_EQ(I32(rows.row(i), off), -1) << i << " at " << off;
  EXPECT_TRUE(p.ratioAsked.empty()) << "release 5 reads no ratio";
}

TEST(StoreRows, GrowthFromTheHistory) {
  const std::string summary = "DB1;1153433600.000000;0.0;10000.0";  // 1100 MB
  const struct {
    const StoreTableDesc* desc;
    std::string history;
    int32_t growth;
  } cases[] = {
      {&Pri(), "DB1;1048576000.000000;0.0;10000.0", 909},
      {&Pub(), "DB1;1048576000.000000;0.0;10000.0", 909},
      {&Pri(), "DB1;2097152000.000000;0.0;10000.0", 0},  // shrank
      {&Pri(), "DB10;1048576000.000000;0.0;10000.0", 0},  // not the same name
      {&Pri(), "", 0},  // no history: 0, not what the counter row held
      {&Pub(), "", 0},
      {&Pri(), std::string("\x01\x02;\0\xff", 5), 0},
      {&Pub(), "DB1;not a size;0.0;10000.0", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.desc->traceName) + " [" + c.history + "]");
    const char* key = c.desc == &Pri() ? "Mailbox Store=" : "Public Store=";
    CounterRows rows({"SG-DB1"});
    Probe p;
    p.existing = {"SG-DB1"};
    qmx::StoreSampleInput in = Input(3, std::string("Storage Group=SG;") + key + "DB1;Status=0;", summary, 1, &rows, &p);
    in.historyText = c.history;
    qmx::StoreRows out = qmx::BuildStoreRows(*c.desc, in);
    ASSERT_EQ(out.count, 2);
    EXPECT_EQ(I32(out.row(0), 824), c.growth);
    EXPECT_EQ(I32(out.row(0), 820), 110000);
    EXPECT_EQ(I32(out.row(0), 828), 1100);
  }
}

TEST(StoreRows, PublicStoresMarkersAfterTheMerge) {
  const struct {
    int release;
    std::set<int> marked;  // in every row, delivered and built
    bool ratioRead;
  } cases[] = {
      {1, {696, 744}, true},
      {3, {696, 728, 760}, true},
      {5, {}, false},
      {-1, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.release);
    CounterRows rows({"SG-PF1", "_Total"});
    Probe p;  // table 05 asks no existence
    p.ratios = {{"SG-PF1", 77}, {"PF1", 78}};
    const std::string status = "Storage Group=SG;Public Store=PF1;Status=0;Storage Group=SG;Mailbox Store=M;Status=0;";
    qmx::StoreRows out = qmx::BuildStoreRows(Pub(), Input(c.release, status, "PF1;1048576.0;1.0;2.0", 1, &rows, &p));
    ASSERT_EQ(out.count, 2);
    const char* r = out.row(0);
    for (int off = 688; off < 820; off += 4) {
      if (c.marked.count(off)) {
        EXPECT_EQ(I32(r, off), -1) << off;
        EXPECT_EQ(I32(rows.row(0), off), -1) << "delivered row at " << off;
        EXPECT_EQ(I32(out.row(1), off), -1) << "total row at " << off;
      } else if (c.release == 5 && (off == 696 || off == 700 || off == 756 || off == 760 || off == 764)) {
        EXPECT_EQ(I32(r, off), -1) << off;
        EXPECT_EQ(I32(rows.row(0), off), 1000 + (off - 688) / 4) << "the delivered row keeps it";
      } else if (off == 764) {
        EXPECT_EQ(I32(r, off), c.release == 1 || c.release == 3 || c.release == -1 ? 77 : -1);
      } else {
        EXPECT_EQ(I32(r, off), 1000 + (off - 688) / 4) << off;
      }
    }
    EXPECT_EQ(p.ratioAsked.empty(), !c.ratioRead);
  }
}

TEST(StoreRows, MailboxStoreTakesOnlyAnExistingInstance) {
  CounterRows c({"SG-DB1", "SG-A", "_Total"});
  Probe p;
  p.existing = {"_Total", "-A"};  // SG-DB1 is delivered but PDH does not know it
  qmx::StoreRows out = qmx::BuildStoreRows(
      Pri(), Input(-1, "Storage Group=SG;Mailbox Store=DB1;Status=0;Storage Group=;Mailbox Store=A;Status=0;",
                   "DB1;1048576.0;1.0;2.0", 5, &c, &p));
  ASSERT_EQ(out.count, 3);
  // The row that took an instance carries its name.
  EXPECT_EQ(Names(out), (std::vector<std::string>{"SG-DB1", "SG-A", "_Total"}));
  for (int off = 688; off < 820; off += 4) EXPECT_EQ(I32(out.row(0), off), 0) << off;
  EXPECT_EQ(I32(out.row(0), 820), 0) << "no instance lent its size";
  EXPECT_EQ(I32(out.row(1), 688), 2000) << "\"-A\" is in SG-A, which exists";
  EXPECT_EQ(I32(out.row(2), 688), 3000);
  EXPECT_EQ(I32(out.row(2), 820), I32(out.row(1), 820)) << "the one mounted store with an instance";
}

TEST(StoreRows, TheTotalRowTakesOnlyTheTotalInstance) {
  // A store instance whose name holds "_Total", delivered before the total instance.
  CounterRows c({"S-DB_Total", "_Total"});
  Probe p;
  p.existing = {"_Total"};
  qmx::StoreRows out = qmx::BuildStoreRows(Pri(), Input(3, "Storage Group=S;Mailbox Store=DB_Total;Status=0;",
                                                        "DB_Total;1048576.0;1;1", 1, &c, &p));
  ASSERT_EQ(out.count, 2);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"S-DB_Total", "_Total"}));
  EXPECT_EQ(I32(out.row(1), 688), 2000);
  EXPECT_EQ(I32(out.row(1), 832), 2);
  EXPECT_EQ(I32(out.row(1), 820), 0) << "the one store has no instance that exists";
}

TEST(StoreRows, AStoreNamedTotalLeavesTheTotalInstanceToTheTotalRow) {
  CounterRows c({"Total", "_Total"});
  qmx::StoreRows out = qmx::BuildStoreRows(
      Pub(), Input(5, "Public Store=Total;Status=0;", "Total;1048576.0;1;1", 1, &c, nullptr));
  ASSERT_EQ(out.count, 2);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"Total", "_Total"}));
  EXPECT_EQ(I32(out.row(0), 688), 1000);
  EXPECT_EQ(I32(out.row(0), 832), 0);
  EXPECT_EQ(I32(out.row(1), 688), 2000);
  EXPECT_EQ(I32(out.row(1), 820), 100);
  EXPECT_EQ(I32(out.row(1), 832), 2);
}

TEST(StoreRows, OneCharacterNamesTakeNoInstance) {
  CounterRows c({"XAX"});
  Probe p;
  p.existing = {"A", "XAX"};
  qmx::StoreRows out = qmx::BuildStoreRows(Pri(), Input(5, "Mailbox Store=A;Status=0;", "A;1.0;1.0;1.0", 1, &c, &p));
  ASSERT_EQ(out.count, 2);
  EXPECT_EQ(Name(out.row(0)), "A");
  EXPECT_EQ(I32(out.row(0), 688), 0);
}

TEST(StoreRows, TotalIsTheSumOfMountedStoresOnly) {
  const struct {
    std::string states;  // one status digit per store
    int32_t total;
  } cases[] = {{"000", 600}, {"010", 400}, {"111", 0}, {"100", 500}};
  for (const auto& c : cases) {
    std::string status;
    for (size_t i = 0; i < c.states.size(); ++i)
      status += "Public Store=P" + std::to_string(i + 1) + ";Status=" + c.states[i] + ";";
    CounterRows rows({"P1", "P2", "P3"});
    qmx::StoreRows out = qmx::BuildStoreRows(
        Pub(), Input(5, status, "P1;1048576.0;0;1;P2;2097152.0;0;1;P3;3145728.0;0;1", 3, &rows, nullptr));
    ASSERT_EQ(out.count, 4);
    EXPECT_EQ(I32(out.row(3), 820), c.total) << c.states;
    EXPECT_EQ(I32(out.row(3), 832), 2);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(I32(out.row(i), 832), c.states[static_cast<size_t>(i)] - '0');
  }
}

TEST(StoreRows, TotalSumHeldAtTheFieldsRange) {
  CounterRows rows({"P1", "P2"});
  // Two stores of 20 TB each: the sum of their sizes does not fit 32 bits.
  const std::string summary = "P1;21990232555520.0;0;1;P2;21990232555520.0;0;1";
  qmx::StoreRows out =
      qmx::BuildStoreRows(Pub(), Input(5, "Public Store=P1;Status=0;Public Store=P2;Status=0;", summary, 2, &rows, nullptr));
  ASSERT_EQ(out.count, 3);
  EXPECT_EQ(I32(out.row(0), 820), 2097152000);
  EXPECT_EQ(I32(out.row(2), 820), INT32_MAX);
}

TEST(StoreRows, MoreStoresThanDatabasesAreLeftOut) {
  CounterRows rows({"S-A"});
  qmx::StoreRows out = qmx::BuildStoreRows(
      Pub(), Input(3, "Storage Group=S;Public Store=A;Status=0;Public Store=B;Status=0;Public Store=C;Status=0;",
                   "A;1.0;1.0;1.0", 1, &rows, nullptr));
  EXPECT_EQ(Names(out), (std::vector<std::string>{"S-A", "_Total"}));
}

TEST(StoreRows, LongNamesStayInsideTheField) {
  // An instance name that fills the field without a terminator, and a store name longer than it.
  const std::string longStore(700, 'x');
  const std::string instance(600, 'x');
  CounterRows rows({instance});
  Probe p;
  p.existing = {std::string(599, 'x')};
  qmx::StoreRows out = qmx::BuildStoreRows(
      Pri(), Input(5, "Mailbox Store=" + longStore + ";Status=0;", longStore + ";1048576.0;1;1", 1, &rows, &p));
  ASSERT_EQ(out.count, 2);
  // The store name is cut to 599 bytes and terminated; the instance holds it and lends its row.
  EXPECT_EQ(Name(out.row(0)), instance);
  EXPECT_EQ(I32(out.row(0), 688), 1000);
  EXPECT_EQ(I32(out.row(0), 820), 0x11111111) << "the summary name is longer than the instance";
  // A multi-byte character is not cut in two.
  std::string utf8 = std::string(598, 'y') + "\xc3\xa9";
  CounterRows none({});
  qmx::StoreRows cut = qmx::BuildStoreRows(Pub(), Input(5, "Public Store=" + utf8 + ";Status=0;", "", 1, &none, nullptr));
  EXPECT_EQ(Name(cut.row(0)), std::string(598, 'y'));
}

TEST(StoreRows, WithoutCounterRowsTheSamplesOwnHeader) {
  std::string system = "HOST:EX";
  system.resize(64, ' ');
  qmx::StoreSampleInput in = Input(3, "Storage Group=G;Public Store=P;Status=1;", "P;1.0;1.0;1.0", 1, nullptr, nullptr);
  in.systemName64 = system.c_str();
  in.stamp16 = "1261210180000000";
  qmx::StoreRows out = qmx::BuildStoreRows(Pub(), in);
  ASSERT_EQ(out.count, 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(std::string(out.row(i), 64), system);
    EXPECT_EQ(I32(out.row(i), 68), i + 1);
    EXPECT_EQ(std::string(out.row(i) + 72, 16), "1261210180000000");
    EXPECT_EQ(I32(out.row(i), 696), -1) << "release 3 marker";
  }
  EXPECT_EQ(Names(out), (std::vector<std::string>{"G-P", "_Total"}));
}

TEST(StoreRows, CounterRowsOfAnotherSizeAreNotUsed) {
  CounterRows rows({"G-P"}, 820);
  qmx::StoreRows out = qmx::BuildStoreRows(Pub(), Input(3, "Storage Group=G;Public Store=P;Status=0;", "P;1.0;1.0;1.0", 1, &rows, nullptr));
  ASSERT_EQ(out.count, 2);
  EXPECT_EQ(I32(out.row(0), 688), 0);
  EXPECT_EQ(I32(rows.row(0), 696), 1002) << "the delivered rows are left alone";
}

TEST(StoreRows, UnknownStatusClearsTheNames) {
  CounterRows rows({"G-P"});
  qmx::StoreSampleInput in = Input(3, "Storage Group=G;Public Store=P;Status=0;", "P;1.0;1.0;1.0", 1, &rows, nullptr);
  in.statusKnown = false;
  qmx::StoreRows out = qmx::BuildStoreRows(Pub(), in);
  ASSERT_EQ(out.count, 2);
  EXPECT_EQ(Names(out), (std::vector<std::string>{"", ""}));
}

TEST(StoreHistory, WrittenOnlyWhenTheSummaryChanged) {
  const struct {
    std::string summary, history;
    bool write;
  } cases[] = {{"A;1;1;1", "A;1;1;1", false}, {"A;1;1;1", "", true}, {"A;2;1;1", "A;1;1;1", true}};
  for (const auto& c : cases) EXPECT_EQ(qmx::HistoryNeedsWrite(c.summary, c.history), c.write);
  // What the agent writes reads back as the same text.
  EXPECT_FALSE(qmx::HistoryNeedsWrite("A;1;1;1", qmx::HistoryTextFromBytes("A;1;1;1")));
}

}  // namespace
