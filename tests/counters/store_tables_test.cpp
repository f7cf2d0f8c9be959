// Tables 04 (MSEISPRI) and 05 (MSEISPUB) under Wine, end to end: the counter service DEDAZUD.DLL
// fed by the PDH stand-in (store instances that match the stores and some that do not), the store
// status from the PowerShell stand-in, the database records from the test directory (127.0.0.2)
// with file sizes and drive space from the test drives M: and N:, the history files in the log
// folder, and the rows read back through the framework's requests. Release 3 is the test
// organisation's EXUM01, release 5 its EXMB01.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../ctrtables/agent_service.h"
#include "../ctrtables/win_snapshot.h"
#include "exchange_registry.h"
#include "hvl.h"
#include "pxr.h"
#include "qmxcommon.h"
#include "qmxispagt_portable.h"
#include "qmxscripts.h"
#include "table_catalogue.h"
#include "test_env.h"
#include "win_process.h"
#include "zrtcoi.h"
#include "zrtglobals.h"

using qmxtest::SetEnv;

namespace {

const char kReader[] = "CN=qmxreader,CN=Users,DC=qmxtest,DC=local";
const char kReaderPassword[] = "Rd-2026.secret";
const double kMB = 1048576.0;

int32_t I32(const char* p, int off) {
  int32_t v;
  std::memcpy(&v, p + off, 4);
  return v;
}
std::string Name(const char* row) { return std::string(row + 88, strnlen(row + 88, 600)); }

std::string WindowsPath(std::string unixPath) {
  for (char& c : unixPath)
    if (c == '/') c = '\\';
  return "Z:" + unixPath;
}

void PutFile(const std::string& path, const std::string& text) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
  DWORD done = 0;
  ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
  CloseHandle(h);
}

// Total megabytes of a test drive, as the disk space query gives them.
double DriveTotalMB(const char* root) {
  ULARGE_INTEGER freeToCaller, total, totalFree;
  EXPECT_TRUE(GetDiskFreeSpaceExA(root, &freeToCaller, &total, &totalFree)) << root;
  return static_cast<double>(total.QuadPart / 1048576);
}

// What the store status script reports: one format-list record per store.
struct Store {
  const char* objectClass;  // msExchPrivateMDB or msExchPublicMDB
  const char* group;
  const char* name;
  bool mounted;
};
std::string FormatList(const std::vector<Store>& stores) {
  std::string out;
  for (const Store& s : stores)
    out += std::string("\r\nObjectClass      : {top, msExchMDB, ") + s.objectClass + "}\r\nStorageGroupName : " +
           s.group + "\r\nName             : " + s.name + "\r\nMounted          : " + (s.mounted ? "True" : "False") +
           "\r\n";
  return out + "\r\n";
}

// Counter values of one store instance: counter k of definition `id` holds base + k, and the
// single instance ratio `ratio`.
std::string InstanceLines(int id, const std::string& instance, int base, const char* ratio) {
  const qmx::CounterSetDefinition def = cstest::Definition(id);
  std::string out;
  for (size_t k = 0; k < def.fields.size(); ++k) {
    const std::string& counter = def.fields[k].name;
    if (counter == "_INSTANCE_") continue;
    out += Line(def.object, instance, counter,
                counter == "Single Instance Ratio" ? ratio : std::to_string(base + static_cast<int>(k)));
  }
  return out;
}

class StoreTables : public exchtest::ExchangeRegistry {
 protected:
  void SetUp() override {
    ExchangeRegistry::SetUp();
    if (HasFatalFailure()) return;
    InitializeCriticalSection(&lock_);
    SetScriptLock(&lock_);
    ResetScriptUpgradeFlag();
    root_ = qmxtest::MakeTempDir("qmxstores");
    logs_ = root_ + "\\log files";
    data_ = root_ + "\\standin";
    install_ = root_ + "\\Exchange Server\\";
    for (const std::string& d : {logs_, data_, root_ + "\\Exchange Server", install_ + "Bin"})
      CreateDirectoryA(d.c_str(), nullptr);
    PutFile(install_ + "Bin\\ExShell.psc1", "<PSConsoleFile/>");
    trace_ = root_ + "\\trace.log";
    SetEnv("JBX_RAS1_LOG", trace_.c_str());
    SetEnv("JBX_RAS1", "ERROR (UNIT:qmxispagt ALL)");
    SetEnv("QMX_STANDIN_DATA", data_.c_str());
    SetEnv("QMX_INTERVAL", "0");
    SetEnv("VORTA_LOG_PATH", logs_.c_str());
    SetEnv("QMX_AD_SERVER", "127.0.0.2");
    SetEnv("QMX_AD_BIND", "simple");
    SetEnv("QMX_AD_USER", kReader);
    char* token = nullptr;
    int32_t length = 0;
    ASSERT_EQ(CRY_Encrypt(kReaderPassword, static_cast<int32_t>(strlen(kReaderPassword)), &token, &length), 0);
    SetEnv("QMX_AD_PASSWORD", token);
    CRY_Free(token);
    SetEnv("QMX_EXCH_DOMAIN", "qmxtest");
    char path[32768] = {0};
    GetEnvironmentVariableA("PATH", path, sizeof path);
    oldPath_ = path;
    SetEnv("PATH", (WindowsPath(QMX_STANDIN_DIR) + ";" + oldPath_).c_str());

    pxr::ResetForTests();
    ctrtest::StartAgentCounterService();
  }
  void TearDown() override {
    ctrtest::StopAgentCounterService();
    if (!oldPath_.empty()) SetEnv("PATH", oldPath_.c_str());
    for (const char* v : {"QMX_STANDIN_DATA", "QMX_STANDIN_SERVER", "QMX_INTERVAL", "VORTA_LOG_PATH", "QMX_AD_SERVER",
                          "QMX_AD_BIND", "QMX_AD_USER", "QMX_AD_PASSWORD", "QMX_EXCH_DOMAIN", "QMX_EXCH_SERVER"})
      SetEnv(v, nullptr);
    SetEnv("JBX_RAS1", "ERROR");
    SetEnv("JBX_RAS1_LOG", "");
    SetScriptLock(nullptr);
    DeleteCriticalSection(&lock_);
    ExchangeRegistry::TearDown();
  }

  // Exchange 2007 on EXUM01, or 2010 on EXMB01; the mailbox role key unless told otherwise.
  void Release(int release, bool mailboxRole = true) {
    const char* setup = release == 5 ? exchtest::kV14Setup : exchtest::kSetup;
    Dword(setup, "MsiProductMajor", release == 5 ? 14 : 8);
    regtest::SetString(setup, "MsiInstallPath", install_);
    if (mailboxRole) Key(std::string(release == 5 ? exchtest::kV14 : exchtest::kV8) + "\\MailboxRole");
    ResetExchangeVersionCaches();
    const char* server = release == 5 ? "EXMB01" : "EXUM01";
    SetEnv("QMX_EXCH_SERVER", server);
    SetEnv("QMX_STANDIN_SERVER", server);
  }
  void StoreStatus(const std::vector<Store>& mailbox, const std::vector<Store>& publicStores) {
    PutFile(data_ + "\\get-mailboxdatabase.txt", FormatList(mailbox));
    PutFile(data_ + "\\get-publicfolderdatabase.txt", FormatList(publicStores));
  }

  // Binds the table to its definition as the loader does and waits for the service's second round.
  SampleBfr* Bind(int number) {
    const qmx::TableLayout* t = qmx::TableLayoutByNumber(number);
    SampleBfr* b = ctrtest::BindCounterTable(number, t->definitionId);
    if (b) EXPECT_TRUE(cstest::WaitFor([&] { return ctrtest::ServiceRound(b) >= 2; }, 20000)) << "the service samples";
    return b;
  }
  // The raw row of each instance, by name.
  static std::map<std::string, std::vector<char>> RawByInstance(SampleBfr* b) {
    std::map<std::string, std::vector<char>> out;
    std::vector<char> raw = ctrtest::ServiceRows(b);
    for (size_t off = 0; b->nRowSize && off + b->nRowSize <= raw.size(); off += b->nRowSize)
      out[Name(raw.data() + off)] = std::vector<char>(raw.begin() + off, raw.begin() + off + b->nRowSize);
    return out;
  }

  // One sample of the table through the framework; the raw rows of the same service round.
  struct Sampled {
    std::unique_ptr<pxr::Request> request;
    std::map<std::string, std::vector<char>> raw;
    const char* row(int i) const { return request->row(i); }
    int count() const { return request->rowCount(); }
  };
  Sampled Sample(const char* table, SampleBfr* b) {
    Sampled s;
    unsigned long status = 1;
    s.request = pxr::Request::Open(table, {}, &status);
    EXPECT_EQ(status, 0u);
    if (!s.request) return s;
    for (int attempt = 0; attempt < 3; ++attempt) {
      s.raw = RawByInstance(b);
      const int32_t round = s.raw.empty() ? 0 : I32(s.raw.begin()->second.data(), 64);
      EXPECT_EQ(s.request->Sample(), 0u);
      if (s.count() > 0 && I32(s.row(0), 64) == round) break;
    }
    return s;
  }

  std::string Trace() { return qmxtest::ReadWholeFile(trace_); }
  // The database summary of the latest table 04 sample, from its detail trace.
  std::string LastSummary() {
    static const char kLine[] = "Storage Group String : ";
    const std::string trace = Trace();
    size_t at = trace.rfind(kLine);
    if (at == std::string::npos) return "<no summary traced>";
    at += sizeof kLine - 1;
    std::string line = trace.substr(at, trace.find('\n', at) - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  std::string History(const char* file) { return qmxtest::ReadWholeFile(logs_ + "\\" + file); }

  CRITICAL_SECTION lock_;
  std::string root_, logs_, data_, install_, trace_, oldPath_;
  CounterSnapshot snapshot_;
};

// The counters of a store row are its instance's, but for the fields the table sets itself.
void ExpectCountersOf(const char* row, const std::vector<char>& raw, const std::map<int, int32_t>& own) {
  for (int off = 688; off < 820; off += 4) {
    auto it = own.find(off);
    if (it != own.end())
      EXPECT_EQ(I32(row, off), it->second) << "offset " << off;
    else
      EXPECT_EQ(I32(row, off), I32(raw.data(), off)) << "offset " << off;
  }
}

TEST_F(StoreTables, MailboxStoresOnExchange2007) {
  Release(3);
  const std::string sg1 = "First Storage Group-Mailbox Database", sales = "Second Storage Group-Sales",
                    staff = "Second Storage Group-Staff";
  ASSERT_TRUE(snapshot_.Write(InstanceLines(815, sg1, 100, "2.5") + InstanceLines(815, sales, 200, "1.25") +
                              InstanceLines(815, staff, 300, "1") + InstanceLines(815, "Orphan Group-Gone", 400, "9") +
                              InstanceLines(815, "_Total", 500, "1.5")));
  StoreStatus({{"msExchPrivateMDB", "First Storage Group", "Mailbox Database", true},
               {"msExchPrivateMDB", "Second Storage Group", "Sales", true},
               {"msExchPrivateMDB", "Second Storage Group", "Staff", false}},
              {{"msExchPublicMDB", "Second Storage Group", "Public Folder Database", true}});
  SampleBfr* b = Bind(4);
  ASSERT_NE(b, nullptr);
  Sampled s = Sample("MSEISPRI", b);
  ASSERT_EQ(s.count(), 4) << Trace();
  const double totalM = DriveTotalMB("M:\\");
  const struct {
    std::string name;
    double mb;
    int32_t share, state, ratio;
  } want[] = {
      {sg1, 1000, static_cast<int32_t>(1000 / totalM * 10000), 0, 250},
      // M: was counted for the first database: no drive total of their own.
      {sales, 200 + 5120, -1, 0, 125},
      {staff, 300, -1, 1, 100},
  };
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(want[i].name);
    const char* r = s.row(i);
    ASSERT_EQ(Name(r), want[i].name);
    ASSERT_EQ(s.raw.count(want[i].name), 1u);
    EXPECT_EQ(I32(r, 68), i + 1);
    ExpectCountersOf(r, s.raw[want[i].name], {{696, -1}, {736, -1}, {764, -1}, {768, want[i].ratio}});
    EXPECT_EQ(I32(r, 820), static_cast<int32_t>(want[i].mb * 100));
    EXPECT_EQ(I32(r, 824), 0) << "no history yet";
    EXPECT_EQ(I32(r, 828), want[i].share);
    EXPECT_EQ(I32(r, 832), want[i].state);
  }
  const char* total = s.row(3);
  EXPECT_EQ(Name(total), "_Total");
  EXPECT_EQ(I32(total, 820), (1000 + 5320) * 100) << "the mounted stores only";
  EXPECT_EQ(I32(total, 832), 2);
  ExpectCountersOf(total, s.raw["_Total"], {{696, -1}, {736, -1}, {764, -1}, {768, 150}});
  const std::string trace = Trace();
  EXPECT_NE(trace.find("CalcSingInstRatio : Single Instance Ratio for " + sg1 + " is 250"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Instance key (" + staff + ") exists in perfmon "), std::string::npos);
  EXPECT_NE(trace.find("Number of rows : 4"), std::string::npos);
  EXPECT_NE(trace.find("SMG: MSEISPRI file open for read failed: " + logs_ + "\\mseispri_history.txt"),
            std::string::npos);
}

TEST_F(StoreTables, HistoryWrittenOnceAndGrowthFromIt) {
  Release(3);
  const std::string sg1 = "First Storage Group-Mailbox Database";
  ASSERT_TRUE(snapshot_.Write(InstanceLines(815, sg1, 100, "1") + InstanceLines(815, "_Total", 500, "1")));
  StoreStatus({{"msExchPrivateMDB", "First Storage Group", "Mailbox Database", true}}, {});
  SampleBfr* b = Bind(4);
  ASSERT_NE(b, nullptr);
  const std::string file = logs_ + "\\mseispri_history.txt";
  Sampled first = Sample("MSEISPRI", b);
  ASSERT_GE(first.count(), 2) << Trace();
  const std::string written = History("mseispri_history.txt");
  ASSERT_EQ(written.compare(0, 34, "Mailbox Database;1048576000.000000"), 0) << written;
  EXPECT_EQ(written.find('\n'), std::string::npos);

  // Unchanged: the file is not written again (its time stays where the test put it). The free
  // space in the summary is the host disk's, which other programs change: a sample whose summary
  // differs rewrites the file, so the test samples until one finds the summary unchanged.
  bool unchanged = false;
  for (int attempt = 0; attempt < 5 && !unchanged; ++attempt) {
    const std::string before = History("mseispri_history.txt");
    HANDLE h = CreateFileA(file.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME old = {0x12345600, 0x01c00000};
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &old));
    CloseHandle(h);
    Sampled again = Sample("MSEISPRI", b);
    ASSERT_GE(again.count(), 2);
    const std::string summary = LastSummary();
    WIN32_FILE_ATTRIBUTE_DATA a;
    ASSERT_TRUE(GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &a));
    unchanged = summary == before;
    const bool kept = a.ftLastWriteTime.dwLowDateTime == old.dwLowDateTime &&
                      a.ftLastWriteTime.dwHighDateTime == old.dwHighDateTime;
    EXPECT_EQ(kept, unchanged) << summary << " after " << before;
    EXPECT_EQ(History("mseispri_history.txt"), summary);
  }
  EXPECT_TRUE(unchanged) << "no two samples in a row found the same free space";

  // The history says the database held 900 MB: it grew by a tenth of its size now.
  PutFile(file, "Mailbox Database;943718400.000000;1.0;2.0\r\n");
  Sampled third = Sample("MSEISPRI", b);
  ASSERT_GE(third.count(), 2);
  EXPECT_EQ(Name(third.row(0)), sg1);
  EXPECT_EQ(I32(third.row(0), 824), 1000);
  EXPECT_EQ(History("mseispri_history.txt"), LastSummary()) << "replaced by the current summary";
  // Replaced in one step: no temporary file is left beside it.
  WIN32_FIND_DATAA d;
  HANDLE f = FindFirstFileA((logs_ + "\\*.tmp").c_str(), &d);
  EXPECT_EQ(f, INVALID_HANDLE_VALUE);
  if (f != INVALID_HANDLE_VALUE) FindClose(f);
}

// A history file that is empty, binary or too large to be the agent's: no growth from it, and it
// is replaced by the sample's summary.
TEST_F(StoreTables, BadHistoryFiles) {
  Release(5);
  ASSERT_TRUE(snapshot_.Write(InstanceLines(815, "DB01", 100, "1") + InstanceLines(815, "_Total", 500, "1")));
  StoreStatus({{"msExchPrivateMDB", "", "DB01", true}}, {});
  SampleBfr* b = Bind(4);
  ASSERT_NE(b, nullptr);
  // Were the large file read, its first entry would give DB01 a growth of almost 100 %.
  std::string huge;
  while (huge.size() <= qmx::kMaxHistoryBytes) huge += "DB01;1.000000;1.000000;1.000000;";
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"binary", std::string("\0\xff\x01;;\x02\r\n\x1a DB01;\0;1;1", 20)},
      {"huge", huge},
  };
  const std::string file = logs_ + "\\mseispri_history.txt";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PutFile(file, c.bytes);
    Sampled s = Sample("MSEISPRI", b);
    ASSERT_EQ(s.count(), 2) << Trace();
    ASSERT_EQ(Name(s.row(0)), "DB01");
    EXPECT_EQ(I32(s.row(0), 820), 60000);
    EXPECT_EQ(I32(s.row(0), 824), 0);
    EXPECT_EQ(History("mseispri_history.txt"), LastSummary());
  }
  EXPECT_NE(Trace().find("SMG: MSEISPRI history file " + file + " is larger than 1048576 bytes; not used"),
            std::string::npos);
}

TEST_F(StoreTables, MailboxStoresOnExchange2010) {
  Release(5);
  ASSERT_TRUE(snapshot_.Write(InstanceLines(815, "DB01", 100, "2") + InstanceLines(815, "DB04", 200, "2") +
                              InstanceLines(815, "DB99", 300, "2") + InstanceLines(815, "_Total", 500, "2")));
  // DB99 is mounted but no database of the directory: it gets no row, and none is left empty.
  StoreStatus({{"msExchPrivateMDB", "", "DB01", true},
               {"msExchPrivateMDB", "", "DB99", true},
               {"msExchPrivateMDB", "", "DB04", false}},
              {{"msExchPublicMDB", "", "PF01", true}});
  SampleBfr* b = Bind(4);
  ASSERT_NE(b, nullptr);
  Sampled s = Sample("MSEISPRI", b);
  ASSERT_EQ(s.count(), 3) << Trace();
  const std::map<int, int32_t> marked = {{696, -1}, {700, -1}, {760, -1}, {764, -1}, {768, -1}};
  const struct {
    const char* name;
    double mb;
    int32_t state;
  } want[] = {{"DB01", 600, 0}, {"DB04", 300, 1}, {"_Total", 600, 2}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(want[i].name);
    ASSERT_EQ(Name(s.row(i)), want[i].name);
    ExpectCountersOf(s.row(i), s.raw[want[i].name], marked);
    EXPECT_EQ(I32(s.row(i), 820), static_cast<int32_t>(want[i].mb * 100));
    EXPECT_EQ(I32(s.row(i), 832), want[i].state);
  }
  EXPECT_EQ(Trace().find("CalcSingInstRatio"), std::string::npos) << "release 5 reads no ratio";
  EXPECT_NE(Trace().find("Mailbox matched : DB04"), std::string::npos);
}

TEST_F(StoreTables, PublicStoresOnExchange2007) {
  Release(3);
  const std::string pf = "Second Storage Group-Public Folder Database";
  ASSERT_TRUE(snapshot_.Write(InstanceLines(836, pf, 100, "3") + InstanceLines(836, "Elsewhere", 200, "4") +
                              InstanceLines(836, "_Total", 300, "5")));
  StoreStatus({{"msExchPrivateMDB", "First Storage Group", "Mailbox Database", true}},
              {{"msExchPublicMDB", "Second Storage Group", "Public Folder Database", true}});
  SampleBfr* b = Bind(5);
  ASSERT_NE(b, nullptr);
  Sampled s = Sample("MSEISPUB", b);
  ASSERT_EQ(s.count(), 2) << Trace();
  ASSERT_EQ(Name(s.row(0)), pf);
  ExpectCountersOf(s.row(0), s.raw[pf], {{696, -1}, {728, -1}, {760, -1}, {764, 300}});
  EXPECT_EQ(I32(s.row(0), 820), 15000);
  EXPECT_EQ(I32(s.row(0), 828), static_cast<int32_t>(150 / DriveTotalMB("N:\\") * 10000));
  EXPECT_EQ(I32(s.row(0), 824), 0);
  EXPECT_EQ(I32(s.row(0), 832), 0);
  EXPECT_EQ(Name(s.row(1)), "_Total");
  EXPECT_EQ(I32(s.row(1), 820), 15000);
  EXPECT_EQ(I32(s.row(1), 832), 2);
  EXPECT_EQ(History("mseispub_history.txt").compare(0, 39, "Public Folder Database;157286400.000000"), 0);
}

TEST_F(StoreTables, PublicStoresNeedTheMailboxRole) {
  const struct {
    int release;
    bool role;
    bool rows;
  } cases[] = {{5, false, false}, {3, false, false}, {5, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.release) + (c.role ? " with" : " without") + " the mailbox role");
    Clear();
    Release(c.release, c.role);
    ASSERT_TRUE(snapshot_.Write(InstanceLines(836, "PF01", 100, "1") + InstanceLines(836, "_Total", 300, "1")));
    StoreStatus({}, {{"msExchPublicMDB", "", "PF01", true}});
    SampleBfr* b = Bind(5);
    ASSERT_NE(b, nullptr);
    Sampled s = Sample("MSEISPUB", b);
    EXPECT_EQ(s.count() > 0, c.rows) << Trace();
  }
  EXPECT_NE(Trace().find("qmx_mseispub_agent :: TakeSample: Mailbox role not found. No details here."),
            std::string::npos);
}

TEST_F(StoreTables, NoStoreStatusNoRows) {
  Release(5);
  ASSERT_TRUE(snapshot_.Write(InstanceLines(815, "DB01", 100, "1")));
  StoreStatus({}, {});
  SampleBfr* b = Bind(4);
  ASSERT_NE(b, nullptr);
  Sampled s = Sample("MSEISPRI", b);
  EXPECT_EQ(s.count(), 0);
  EXPECT_NE(Trace().find("No data returned from mbxstorestate script"), std::string::npos);
  // The sample still keeps the history.
  EXPECT_EQ(History("mseispri_history.txt").compare(0, 5, "DB01;"), 0);
}

}  // namespace
