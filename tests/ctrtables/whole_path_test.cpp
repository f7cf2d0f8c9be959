// The counter-backed tables end to end under Wine: the counter service DEDAZUD.DLL (registered
// and created through COM), fed by the PDH stand-in, the tables loaded as the agent loads them,
// ZrtTalloInterface, the corrections and AddData, and the rows read back through pxr::Request.
// The Exchange release and level come from registry keys the test writes and removes.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "counter_set.h"
#include "counter_set_strings.h"
#include "ctrtable_rules.h"
#include "pxr.h"
#include "qmxcommon.h"
#include "qmxctrtables.h"
#include "table_catalogue.h"
#include "agent_service.h"
#include "win_snapshot.h"
#include "zrtcoi.h"
#include "zrtglobals.h"

namespace {

std::string ExeDir() {
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string e(exe);
  return e.substr(0, e.find_last_of('\\'));
}

bool KeyExists(const char* path) {
  HKEY k;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

void SetDword(const char* path, const char* name, DWORD value) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

const char kV14Setup[] = "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup";
const char kSetup[] = "SOFTWARE\\Microsoft\\Exchange\\Setup";
// Two paths, each from its top key down to the key the tests write.
const char* const kExchangeKeys[] = {"SOFTWARE\\Microsoft\\ExchangeServer", "SOFTWARE\\Microsoft\\ExchangeServer\\v14",
                                     kV14Setup, "SOFTWARE\\Microsoft\\Exchange", kSetup};

enum Release { EX2010_SP1, EX2007_SP2 };

int32_t I32(const char* p, int off) {
  int32_t v;
  std::memcpy(&v, p + off, 4);
  return v;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class WholePath : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_FALSE(KeyExists(kV14Setup)) << "this machine has Exchange keys";
    ASSERT_FALSE(KeyExists(kSetup)) << "this machine has Exchange keys";
    for (const char* k : kExchangeKeys) existed_.push_back(KeyExists(k));
    ASSERT_FALSE(KeyExists("Cluster\\Nodes")) << "this machine is a cluster node";
    trace_ = ExeDir() + "\\ctrtables_trace_" + std::to_string(GetCurrentProcessId()) + ".log";
    DeleteFileA(trace_.c_str());
    _putenv_s("JBX_RAS1_LOG", trace_.c_str());
    ResetExchangeVersionCaches();
    qmx::ResetCounterTableStateForTests();
    pxr::ResetForTests();
    ctrtest::StartAgentCounterService();
  }
  void TearDown() override {
    ctrtest::StopAgentCounterService();
    // From the first key of each path that was not there before.
    for (size_t i = 0; i < existed_.size(); ++i) {
      bool newPath = i == 0 || i == 3;
      if (!existed_[i] && (newPath || existed_[i - 1])) RegDeleteTreeA(HKEY_LOCAL_MACHINE, kExchangeKeys[i]);
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Cluster\\Nodes");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Cluster");
    ResetExchangeVersionCaches();
    _putenv_s("JBX_RAS1_LOG", "");
    DeleteFileA(trace_.c_str());
  }

  static void Exchange(Release r) {
    if (r == EX2010_SP1) {
      SetDword(kV14Setup, "MsiProductMajor", 14);
      SetDword(kV14Setup, "MsiProductMinor", 1);
    } else {
      SetDword(kSetup, "MsiProductMajor", 8);
      SetDword(kSetup, "MsiProductMinor", 2);
    }
    ResetExchangeVersionCaches();
  }

  static SampleBfr* Bind(int number, int definitionId) { return ctrtest::BindCounterTable(number, definitionId); }

  // The service's own rows of a sample, read past the agent.
  static std::vector<char> Raw(SampleBfr* b, ULONG* rows) {
    std::vector<char> bytes = ctrtest::ServiceRows(b);
    *rows = b->nRowSize ? static_cast<ULONG>(bytes.size() / b->nRowSize) : 0;
    return bytes;
  }
  static int32_t RoundOf(SampleBfr* b) { return ctrtest::ServiceRound(b); }
  static bool WaitRound(SampleBfr* b, int32_t atLeast) {
    for (int i = 0; i < 200; ++i) {
      if (RoundOf(b) >= atLeast) return true;
      Sleep(50);
    }
    return false;
  }

  static std::unique_ptr<pxr::Request> Open(const char* table) {
    unsigned long status = 1;
    auto r = pxr::Request::Open(table, {}, &status);
    EXPECT_EQ(status, 0u) << table;
    return r;
  }

  std::string trace_;
  std::vector<bool> existed_;  // kExchangeKeys before the test
};

// The fields that must carry the marker after the agent's corrections, by table and release.
std::map<int, std::set<int>> ExpectedMarkers(Release r) {
  const std::set<int> async14 = {272, 276, 280, 284, 288, 296, 300, 304, 308, 312, 316, 320, 328, 332};
  if (r == EX2007_SP2) return {{10, {212}}, {28, {140}}, {29, async14}, {51, {100, 112}}};
  std::set<int> async16 = async14;
  async16.insert({112, 176});
  return {{1, {232, 236}},
          {3, {108}},
          {10, {212}},
          {25, {744}},
          {26, {700, 704, 708, 720, 732, 736, 744, 748, 752}},
          {28, {112, 120, 124, 128, 140}},
          {29, async16},
          {37, {164}}};
}

void CheckAllLoadedTables(Release release) {
  CounterSnapshot::Use(QMX_DEMO_SNAPSHOT);
  ASSERT_EQ(LoadAgents(), 0);
  const std::map<int, std::set<int>> markers = ExpectedMarkers(release);
  int checked = 0;
  for (const auto& loaded : LoadedTables()) {
    const qmx::TableEntry* e = qmx::FindTableByName(loaded.first.c_str());
    ASSERT_NE(e, nullptr);
    const int number = e->layout->number;
    if (!qmx::FindCounterTableDesc(number)) continue;
    SCOPED_TRACE(loaded.first);
    SampleBfr* b = e->buffer;
    ASSERT_EQ(b->bCtrObject, 1);
    // The second round has the rates too.
    ASSERT_TRUE(WholePath::WaitRound(b, 2));
    std::unique_ptr<pxr::Request> req = WholePath::Open(loaded.first.c_str());
    ULONG rawRows = 0;
    std::vector<char> raw;
    for (int attempt = 0; attempt < 3; ++attempt) {
      EXPECT_EQ(req->Sample(), 0u);
      raw = WholePath::Raw(b, &rawRows);
      if (req->rowCount() > 0 && rawRows > 0 && I32(req->row(0), 64) == I32(raw.data(), 64)) break;
    }
    ASSERT_GT(rawRows, 0u) << "the demo snapshot has this object";
    ASSERT_EQ(req->rowCount(), static_cast<int>(rawRows));
    const int rowSize = e->layout->rowSize;
    auto it = markers.find(number);
    const std::set<int> marked = it == markers.end() ? std::set<int>() : it->second;
    for (int r = 0; r < req->rowCount(); ++r) {
      const char* got = req->row(r);
      const char* svc = raw.data() + static_cast<size_t>(r) * rowSize;
      EXPECT_EQ(std::string(got, 64), std::string(svc, 64));
      EXPECT_EQ(I32(got, 68), r + 1);
      for (int off = 88; off + 4 <= rowSize; off += 4) {
        if (marked.count(off)) {
          EXPECT_EQ(I32(got, off), -1) << "marker at " << off;
          EXPECT_NE(I32(svc, off), -1) << "the service had a value at " << off;
          continue;
        }
        if (number == 1 && off < 148) {
          // The database name is the start of the instance name.
          std::string want(svc + 240, 60);
          want = want.substr(0, want.find('\0'));
          want.resize(60, '\0');
          EXPECT_EQ(std::string(got + 88, 60), want);
          off = 144;
          continue;
        }
        if (number == 25 && off == 88 && release == EX2010_SP1) {
          EXPECT_EQ(std::string(got + 88, 4), std::string("N/A\0", 4));
          continue;
        }
        const qmx::ResolvedTable* t = qmx::ResolveCounterTable(number);
        bool isDelta = false;
        for (const qmx::ResolvedDelta& d : t->deltas) isDelta = isDelta || (r == 0 && d.delta == off);
        if (isDelta) continue;  // checked by their own test
        ASSERT_EQ(I32(got, off), I32(svc, off)) << "offset " << off;
      }
    }
    ++checked;
  }
  // 2010 SP1 loads every counter table but the three of Exchange 2003; 2007 SP2 none of 2010's.
  EXPECT_EQ(checked, release == EX2010_SP1 ? 51 : 34);
}

TEST_F(WholePath, EveryTableOnExchange2010Sp1) {
  Exchange(EX2010_SP1);
  CheckAllLoadedTables(EX2010_SP1);
}

TEST_F(WholePath, EveryTableOnExchange2007Sp2) {
  Exchange(EX2007_SP2);
  CheckAllLoadedTables(EX2007_SP2);
}

// Definition 936's object and counters, with the four totals given.
std::string ProtocolAnalysisSnapshot(const uint32_t totals[4]) {
  std::vector<std::string> strings;
  EXPECT_TRUE(qmx::CounterSetStrings(936, &strings));
  std::string five[5] = {strings[0], strings[1], strings[2], strings[3], strings[4]};
  qmx::CounterSetDefinition def;
  std::string error;
  EXPECT_TRUE(qmx::ParseCounterSet(five, &def, &error)) << error;
  std::string out;
  for (size_t k = 0; k < def.fields.size(); ++k)
    out += Line(def.object, "", def.fields[k].name, std::to_string(k < 4 ? totals[k] : 3));
  return out;
}

TEST_F(WholePath, Table33FirstAndSecondSample) {
  Exchange(EX2010_SP1);
  CounterSnapshot snap;
  const uint32_t first[4] = {1000, 2000, 3000, 4000};
  const uint32_t second[4] = {1010, 2020, 3030, 4040};
  const uint32_t restarted[4] = {5, 2021, 3030, 4041};
  ASSERT_TRUE(snap.Write(ProtocolAnalysisSnapshot(first)));
  SampleBfr* b = Bind(33, 936);
  ASSERT_TRUE(WaitRound(b, 1));
  auto r = Open("MSEPAA");
  auto deltas = [&] {
    std::vector<int32_t> v;
    for (int off : {108, 112, 116, 120}) v.push_back(I32(r->row(0), off));
    return v;
  };
  ASSERT_EQ(r->Sample(), 0u);
  ASSERT_EQ(r->rowCount(), 1);
  EXPECT_EQ(I32(r->row(0), 88), 1000);
  EXPECT_EQ(deltas(), (std::vector<int32_t>{0, 0, 0, 0}));

  int32_t round = RoundOf(b);
  ASSERT_TRUE(snap.Write(ProtocolAnalysisSnapshot(second)));
  ASSERT_TRUE(WaitRound(b, round + 1));
  ASSERT_EQ(r->Sample(), 0u);
  ASSERT_EQ(r->rowCount(), 1);
  EXPECT_EQ(deltas(), (std::vector<int32_t>{10, 20, 30, 40}));

  // The service restarted: the first total starts again from 0.
  round = RoundOf(b);
  ASSERT_TRUE(snap.Write(ProtocolAnalysisSnapshot(restarted)));
  ASSERT_TRUE(WaitRound(b, round + 1));
  ASSERT_EQ(r->Sample(), 0u);
  EXPECT_EQ(deltas(), (std::vector<int32_t>{5, 1, 0, 1}));
}

TEST_F(WholePath, Table29OnExchange2003Sp2And2010Sp1) {
  CounterSnapshot::Use(QMX_DEMO_SNAPSHOT);
  const std::set<int> first = {88, 92, 96, 100, 112, 144, 148, 152, 156, 176, 180, 184, 220, 224, 228, 232, 236, 256};
  const std::set<int> second = {112, 176, 272, 276, 280, 284, 288, 296, 300, 304, 308, 312, 316, 320, 328, 332};
  // No registry names Exchange 2003: its codes are given, and the loader's 2003 SP2 definition.
  SampleBfr* b = Bind(29, 1106);
  ASSERT_TRUE(WaitRound(b, 2));
  auto r = Open("MSEASYNC");
  qmx::ExchangeCodes ex2003;
  ex2003.release = 1;
  ex2003.level2003 = 7;
  EXPECT_EQ(qmx::CounterTableSampleWithCodes(*r->object(), 29, *b, ex2003), 0u);
  ASSERT_GT(r->rowCount(), 0);
  for (int off = 88; off + 4 <= 340; off += 4)
    EXPECT_EQ(I32(r->row(0), off) == -1, first.count(off) == 1) << "2003 SP2, offset " << off;

  Exchange(EX2010_SP1);
  b = Bind(29, 901);
  ASSERT_TRUE(WaitRound(b, 2));
  auto r2 = Open("MSEASYNC");
  ASSERT_EQ(r2->Sample(), 0u);
  ASSERT_GT(r2->rowCount(), 0);
  for (int off = 88; off + 4 <= 340; off += 4)
    EXPECT_EQ(I32(r2->row(0), off) == -1, second.count(off) == 1) << "2010 SP1, offset " << off;
}

TEST_F(WholePath, Table28ClusterNodes) {
  CounterSnapshot::Use(QMX_DEMO_SNAPSHOT);
  Exchange(EX2010_SP1);
  SampleBfr* b = Bind(28, 896);
  ASSERT_TRUE(WaitRound(b, 2));
  auto r = Open("MSEREPL");
  ASSERT_EQ(r->Sample(), 0u);
  ASSERT_GT(r->rowCount(), 0);
  std::set<int> marked;
  for (int off = 88; off + 4 <= 148; off += 4)
    if (I32(r->row(0), off) == -1) marked.insert(off);
  EXPECT_EQ(marked, (std::set<int>{112, 120, 124, 128, 140})) << "not clustered, 2010 SP1";
  EXPECT_TRUE(IsCCREnv() == false);

  // A CCR node on Exchange 2007 keeps the copy queue field.
  HKEY k;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Cluster\\Nodes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_TRUE(IsCCREnv());
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kV14Setup);
  Exchange(EX2007_SP2);
  ASSERT_EQ(r->Sample(), 0u);
  ASSERT_GT(r->rowCount(), 0);
  EXPECT_NE(I32(r->row(0), 140), -1);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Cluster\\Nodes");
  ASSERT_EQ(r->Sample(), 0u);
  EXPECT_EQ(I32(r->row(0), 140), -1);
}

// A sample on Exchange 2010 asks the 2010 level only: the 2007 level, unknown there, is neither
// read from the registry nor traced as a failure at every sample.
TEST_F(WholePath, SamplesAskOnlyTheirReleasesLevel) {
  Exchange(EX2010_SP1);
  CounterSnapshot::Use(QMX_DEMO_SNAPSHOT);
  SampleBfr* b = Bind(1, 966);
  ASSERT_TRUE(WaitRound(b, 1));
  auto r = Open("MSEDB");
  for (int i = 0; i < 5; ++i) ASSERT_EQ(r->Sample(), 0u);
  ASSERT_GT(r->rowCount(), 0);
  EXPECT_EQ(I32(r->row(0), 232), -1) << "the 2010 corrections still apply";
  const std::string trace = ReadFile(trace_);
  EXPECT_EQ(trace.find("GetExchange2k7ServicePackLevel"), std::string::npos) << trace;
}

TEST_F(WholePath, FailedFetchesAreTracedAndHandOverNothing) {
  CounterSnapshot::Use(QMX_DEMO_SNAPSHOT);
  SampleBfr* b = Bind(2, 805);
  ASSERT_TRUE(WaitRound(b, 1));
  auto r = Open("MSEDS");
  ASSERT_EQ(r->Sample(), 0u);
  ASSERT_EQ(r->rowCount(), 1);

  // A status of 1 left by the sample's description is a failure, of severity 0.
  b->bCtrObject = 0;
  b->ulResult = 1;
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0);
  // A handle the service does not know fails in the service itself.
  b->bCtrObject = 1;
  ULONGLONG handle = b->hSample;
  b->hSample = handle + 1000;
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0);
  b->hSample = handle;
  ASSERT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 1);
  std::string trace = ReadFile(trace_);
  EXPECT_NE(trace.find("ZrtTalloInterface() returns Severity: 0, Facility: 0, Code: 1 - (0x00000001)"),
            std::string::npos) << trace;
  EXPECT_NE(trace.find("ZrtTalloInterface() returns Severity: 1, Facility: 7, Code: 6 - (0x80070006)"),
            std::string::npos) << trace;
}

}  // namespace
