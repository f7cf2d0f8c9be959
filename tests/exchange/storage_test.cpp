// Storage groups, stores and log files (and table 12) against the test organisation on 127.0.0.2
// and the drives M: and N: of the fixture qmx_drives: sizes and free space come from the files.
// EXUM01 is the 2007 server, EXMB01 the 2010 server of the organisation.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../settings/regtest_util.h"
#include "exchange_services.h"
#include "pxr.h"
#include "qmx09agt.h"
#include "qmx_tables.h"
#include "qmxcommon.h"
#include "qmxstorage.h"
#include "qmxstorage_portable.h"
#include "table_layout.h"
#include "test_directory.h"
#include "test_env.h"
#include "win_text.h"

namespace {

using qmxtest::SetEnv;

const char kEnvironment[] = "SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment";
const double kMB = 1048576.0;

// A file's size, read independently of the agent.
double FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) return -1;
  return static_cast<double>(d.nFileSizeHigh) * 4294967296.0 + d.nFileSizeLow;
}

// Sets a file's size (sparse on the Linux side); true when done.
bool Resize(const std::string& path, double bytes) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(bytes);
  bool ok = SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  return ok;
}

// Gives a file back its size at the end of a case.
class SizeKeeper {
 public:
  explicit SizeKeeper(std::string path) : path_(std::move(path)), size_(FileSize(path_)) {}
  ~SizeKeeper() {
    if (size_ >= 0) Resize(path_, size_);
  }
  double size() const { return size_; }

 private:
  std::string path_;
  double size_;
};

// Free and total megabytes of a drive, read independently of the agent.
void DriveMB(const char* root, double* freeMB, double* totalMB) {
  ULARGE_INTEGER avail, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExA(root, &avail, &total, &free)) << root;
  *freeMB = static_cast<double>(free.QuadPart >> 20);
  *totalMB = static_cast<double>(total.QuadPart >> 20);
}
double DrivePercent(const char* root) {
  double f = 0, t = 0;
  DriveMB(root, &f, &t);
  return f / t * 10000.0;
}

std::set<std::string> Set(const std::vector<std::string>& v) { return {v.begin(), v.end()}; }

// The records of a record text, one text per record.
std::vector<std::string> Records(const std::string& text, size_t width) {
  std::vector<std::string> f = qmx::storage::Tokens(text), out;
  EXPECT_EQ(f.size() % width, 0u) << text;
  for (size_t i = 0; i + width <= f.size(); i += width) {
    std::string r;
    for (size_t j = i; j < i + width; ++j) r += f[j] + (j + 1 < i + width ? ";" : "");
    out.push_back(r);
  }
  return out;
}

class Storage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qmxtest::ExchangeKeys::Clean()) << "this machine has Exchange keys of its own";
    ASSERT_GT(FileSize("M:\\Exchange\\SG1\\Mailbox Database.edb"), 0) << "the drives fixture is not up";
    ResetExchangeVersionCaches();
    log_ = qmxtest::MakeTempDir("qmxstor");
    trace_ = log_ + "\\trace.log";
    SetEnv("JBX_RAS1_LOG", trace_.c_str());
    SetEnv("JBX_RAS1", "ERROR (UNIT:qmxstorage ALL) (UNIT:qmx12agt ALL)");
    qmxtest::UseDirectory("127.0.0.2");
    environment_ = std::make_unique<regtest::ScopedTree>(kEnvironment);
  }
  void TearDown() override {
    environment_.reset();
    keys_.reset();
    qmxtest::ForgetDirectory();
    SetEnv("QMX_EXCH_SERVER", nullptr);
    SetEnv("JBX_RAS1", "ERROR");
    SetEnv("JBX_RAS1_LOG", "");
    ResetExchangeVersionCaches();
    DeleteFileA(trace_.c_str());
    RemoveDirectoryA(log_.c_str());
  }
  // The release's keys (the mailbox role under that release's key) and the server.
  void Server(int release, const char* server) {
    keys_ = std::make_unique<qmxtest::ExchangeKeys>();
    keys_->Release(release, nullptr);
    keys_->Role("MailboxRole");
    ResetExchangeVersionCaches();
    SetEnv("QMX_EXCH_SERVER", server);
  }
  std::string Trace() { return qmxtest::ReadWholeFile(trace_); }
  std::string Stored(const std::string& group) {
    return regtest::GetString(kEnvironment, (group + "_QMX_Storage_Group_Details").c_str());
  }

  std::string log_, trace_;
  std::unique_ptr<qmxtest::ExchangeKeys> keys_;
  std::unique_ptr<regtest::ScopedTree> environment_;
};

TEST_F(Storage, StorageGroupsOfTheServer) {
  struct Case {
    int release;
    const char* server;
    std::set<std::string> groups;
  } cases[] = {
      {3, "EXUM01", {"First Storage Group", "Second Storage Group", "Third Storage Group"}},
      {3, "exum01", {"First Storage Group", "Second Storage Group", "Third Storage Group"}},
      // The recovery group is left out on 2003 and 2007 only.
      {5, "EXUM01",
       {"First Storage Group", "Second Storage Group", "Third Storage Group", "Recovery Storage Group"}},
      {3, "EXMB01", {"First Storage Group"}},
      {3, "EXCAS01", {}},
  };
  for (const Case& c : cases) {
    Server(c.release, c.server);
    std::string names = "unchanged";
    EXPECT_EQ(GetStorageGroupNames(nullptr, c.server, &names), 0);
    EXPECT_EQ(Set(qmx::storage::Tokens(names)), c.groups) << c.server << " " << names;
  }
  EXPECT_NE(Trace().find("This is not an RSG so set the Name"), std::string::npos);
}

TEST_F(Storage, RecordTextsOf2007Server) {
  Server(3, "EXUM01");
  std::string code, message, text;
  ASSERT_EQ(GetPrivateStoreActiveDirectoryData(nullptr, "EXUM01", "", &code, &message, &text, 0), 0);
  EXPECT_EQ(code, "0");
  EXPECT_EQ(message, "OK");
  std::vector<std::string> records = Records(text, 9);
  EXPECT_EQ(Set(records),
            (std::set<std::string>{
                "First Storage Group;Mailbox Database;M:\\Exchange\\SG1\\Mailbox Database.edb;;2411724;2097152;1992294;2;M",
                "Second Storage Group;Sales;M:\\Exchange\\SG2\\Sales.edb;M:\\Exchange\\SG2\\Sales.stm;1048576;943718;838861;1;M",
                "Second Storage Group;Staff;M:\\Exchange\\SG2\\Staff.edb;;1048576;943718;838861;0;M",
                "Third Storage Group;;;;;;;;M"}))
      << "no recovery database, no policy, no other server's database: " << text;
  EXPECT_EQ(records.back(), "Third Storage Group;;;;;;;;M") << "groups without databases come last";
  ASSERT_EQ(GetPublicStoreActiveDirectoryData(nullptr, "EXUM01", "", &code, &message, &text), 0);
  EXPECT_EQ(text, "Second Storage Group;Public Folder Database;N:\\Exchange\\SG2\\Public Folder "
                  "Database.edb;;4194304;3145728;2097152;P");
  std::string trace = Trace();
  for (const char* line : {"-------> mailbox store data <------", "Server name extracted from Active Directory: EXUM01",
                           "Number of Mailboxex: 2", "Results: First Storage Group;"})
    EXPECT_NE(trace.find(line), std::string::npos) << line;
}

TEST_F(Storage, RecordTextsOf2010ServerHaveEachDatabaseOnce) {
  Server(5, "EXMB01");
  std::string code, message, text;
  ASSERT_EQ(GetPrivateStoreActiveDirectoryData(nullptr, "EXMB01", "", &code, &message, &text, 0), 0);
  // DB01 is also left under EXMB01's old storage group: one record, the Databases container's.
  EXPECT_EQ(Set(Records(text, 9)),
            (std::set<std::string>{
                "EXMB01;DB01;M:\\Exchange\\DB01\\DB01.edb;;2411724;2097152;1992294;1;M",
                "EXMB01;DB04;M:\\Exchange\\DB04\\DB04.edb;;1048576;943718;838861;2;M"}))
      << text;
  ASSERT_EQ(GetPublicStoreActiveDirectoryData(nullptr, "EXMB01", "", &code, &message, &text), 0);
  EXPECT_EQ(text, "EXMB01;PF01;N:\\Exchange\\PF01\\PF01.edb;;4194304;3145728;2097152;P");
  // A server without databases of a kind: 99 and no text.
  SetEnv("QMX_EXCH_SERVER", "EXCAS01");
  EXPECT_EQ(GetPublicStoreActiveDirectoryData(nullptr, "EXCAS01", "", &code, &message, &text), 99);
  EXPECT_EQ(text, "");
}

TEST_F(Storage, DirectoryDownGivesTheErrorTexts) {
  Server(3, "EXUM01");
  qmxtest::UseDirectory("127.0.0.4");  // nothing listens
  std::string code, message, text = "old";
  EXPECT_NE(GetPrivateStoreActiveDirectoryData(nullptr, "EXUM01", "", &code, &message, &text, 0), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(code.substr(0, 3), "ADS");
  EXPECT_NE(message, "OK");
  std::string count = "x";
  EXPECT_TRUE(GetStorGrpDetails(nullptr, &count).empty());
  EXPECT_EQ(count, "0");
  std::wstring logs = L"old";
  EXPECT_NE(GetLogFileActiveDirectoryData(nullptr, "EXUM01", &logs), 0);
  EXPECT_EQ(logs, L"");
  EXPECT_NE(Trace().find("HResult: 0x"), std::string::npos);
}

TEST_F(Storage, DatabaseFilesSizedFromTheDrives) {
  Server(3, "EXUM01");
  std::string code, message, text, count, summary;
  ASSERT_EQ(GetPrivateStoreActiveDirectoryData(nullptr, "EXUM01", "", &code, &message, &text, 0), 0);
  std::vector<DbFileRecord> files = GetNumDBFiles(nullptr, text, &count, &summary);
  ASSERT_EQ(count, "4");
  ASSERT_EQ(files.size(), 4u);
  double mFree = 0, mTotal = 0;
  DriveMB("M:\\", &mFree, &mTotal);
  std::map<std::string, const DbFileRecord*> byName;
  for (const DbFileRecord& f : files) byName[f.name] = &f;
  ASSERT_TRUE(byName.count("Sales"));
  // The streaming file is 5 GiB: its size needs more than 32 bits.
  const double sales = FileSize("M:\\Exchange\\SG2\\Sales.edb") + FileSize("M:\\Exchange\\SG2\\Sales.stm");
  EXPECT_GT(FileSize("M:\\Exchange\\SG2\\Sales.stm"), 4294967296.0);
  EXPECT_EQ(byName["Sales"]->sizeBytes, sales);
  EXPECT_EQ(byName["Staff"]->sizeBytes, FileSize("M:\\Exchange\\SG2\\Staff.edb"));
  EXPECT_EQ(byName["Mailbox Database"]->mailboxes, 2);
  EXPECT_EQ(byName[""]->sizeBytes, 0);
  // Summary: three databases on M:, the drive counted with the first of them only.
  std::vector<std::string> f = qmx::storage::Tokens(summary);
  ASSERT_EQ(f.size(), 12u) << summary;
  int counted = 0;
  for (size_t i = 0; i < f.size(); i += 4) {
    const double total = std::stod(f[i + 3]);
    if (total > 0) {
      ++counted;
      EXPECT_EQ(total, mTotal) << summary;
      EXPECT_NEAR(std::stod(f[i + 2]), mFree, 50) << summary;
      EXPECT_EQ(i, 0u) << "the first database of the drive counts it";
    }
    if (f[i] == "Sales") EXPECT_EQ(std::stod(f[i + 1]), sales);
  }
  EXPECT_EQ(counted, 1) << summary;
  EXPECT_NE(Trace().find("    DB type, mail or public: M"), std::string::npos);
}

TEST_F(Storage, MissingFilesCountZero) {
  // EXMB02's DB02 names a file that is not on M:, DB03 names none; a path without a drive is not
  // looked up relative to the working folder.
  Server(5, "EXMB02");
  std::string count, summary;
  std::vector<DbFileRecord> files = GetNumDBFiles(
      nullptr, "EXMB02;DB02;M:\\Exchange\\DB02\\DB02.edb;;0;0;0;0;M;EXMB02;DB05;DB05.edb;;0;0;0;0;M", &count, &summary);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].storageGroup, "Undefined");
  EXPECT_EQ(files[0].sizeBytes, 0);
  EXPECT_EQ(files[1].sizeBytes, 0);
  EXPECT_NE(Trace().find("\"DB05.edb\" of DB05 names no drive"), std::string::npos);
}

// The rows of table 12 by group name.
struct GroupRow {
  int32_t size, free, growth, mailboxes, rowNo, sampleNo;
};

class StorageTable : public Storage {
 protected:
  void SetUp() override {
    Storage::SetUp();
    pxr::ResetForTests();
    ASSERT_EQ(qmx_msesgrpd_init(), 0u);
    unsigned long status = 1;
    request_ = pxr::Request::Open("MSESGRPD", {}, &status);
    ASSERT_TRUE(request_);
  }
  void TearDown() override {
    request_.reset();
    v8Role_.reset();
    Storage::TearDown();
  }
  // Table 12 asks for the 2007 mailbox key whatever the release.
  void V8MailboxRole() {
    v8Role_ = std::make_unique<regtest::ScopedTree>("SOFTWARE\\Microsoft\\Exchange\\v8.0\\MailboxRole");
  }
  std::map<std::string, GroupRow> Sample() {
    std::map<std::string, GroupRow> out;
    EXPECT_EQ(request_->Sample(), 0u);
    const qmx::TableLayout* layout = qmx::TableLayoutByName("MSESGRPD");
    auto field = [&](int row, const char* name) {
      int32_t v;
      std::memcpy(&v, request_->row(row) + layout->attributes[layout->Find(name)].offset, sizeof v);
      return v;
    };
    for (int i = 0; i < request_->rowCount(); ++i) {
      const qmx::TableAttribute& a = layout->attributes[layout->Find("SGNAME")];
      std::string name(request_->row(i) + a.offset, strnlen(request_->row(i) + a.offset, a.width));
      out[name] = {field(i, "SGSIZE"), field(i, "SGPCTFREE"), field(i, "SGPCTGRWTH"),
                   field(i, "NUMMBX"), field(i, "ROWNO"),     field(i, "SAMPLENO")};
    }
    EXPECT_EQ(out.size(), static_cast<size_t>(request_->rowCount())) << "one row per group";
    return out;
  }
  static int32_t Hundredths(double bytes) { return static_cast<int32_t>(bytes / kMB * 100); }

  std::unique_ptr<pxr::Request> request_;
  std::unique_ptr<regtest::ScopedTree> v8Role_;
};

TEST_F(StorageTable, Release2007RowsAndGrowth) {
  Server(3, "EXUM01");
  const std::string mailboxDb = "M:\\Exchange\\SG1\\Mailbox Database.edb";
  SizeKeeper keep(mailboxDb);
  ASSERT_TRUE(Resize(mailboxDb, 1000 * kMB));
  std::map<std::string, GroupRow> rows = Sample();
  ASSERT_EQ(rows.size(), 3u) << "no recovery group";
  const double m = DrivePercent("M:\\"), both = [] {
    double mf, mt, nf, nt;
    DriveMB("M:\\", &mf, &mt);
    DriveMB("N:\\", &nf, &nt);
    return (mf + nf) / (mt + nt) * 10000.0;
  }();
  const double second = FileSize("M:\\Exchange\\SG2\\Sales.edb") + FileSize("M:\\Exchange\\SG2\\Sales.stm") +
                        FileSize("M:\\Exchange\\SG2\\Staff.edb") +
                        FileSize("N:\\Exchange\\SG2\\Public Folder Database.edb");
  struct Expect {
    const char* group;
    int32_t size;
    double free;
    int32_t mailboxes;
  } expect[] = {
      {"First Storage Group", 100000, m, 2},
      {"Second Storage Group", Hundredths(second), both, 1},  // public database's drive too
      {"Third Storage Group", 0, -1, 0},                      // no database: no drive to ask
  };
  for (const Expect& e : expect) {
    ASSERT_TRUE(rows.count(e.group)) << e.group;
    const GroupRow& r = rows[e.group];
    EXPECT_EQ(r.size, e.size) << e.group;
    EXPECT_NEAR(r.free, e.free, 5) << e.group;
    EXPECT_EQ(r.growth, 0) << "first sample: " << e.group;
    EXPECT_EQ(r.mailboxes, e.mailboxes) << e.group;
    EXPECT_EQ(r.rowNo, 3) << "rowno holds the rows of the sample";
  }
  EXPECT_NE(Stored("First Storage Group").find("1048576000.000000;0.000000;"), std::string::npos)
      << Stored("First Storage Group");

  ASSERT_TRUE(Resize(mailboxDb, 1100 * kMB));
  std::map<std::string, GroupRow> next = Sample();
  EXPECT_EQ(next["First Storage Group"].growth, 10);
  EXPECT_EQ(next["First Storage Group"].size, 110000);
  EXPECT_EQ(next["Second Storage Group"].growth, 0);
  EXPECT_GT(next["First Storage Group"].sampleNo, rows["Third Storage Group"].sampleNo);
  std::string trace = Trace();
  for (const char* line : {"Storage Group Details key (First Storage Group_QMX_Storage_Group_Details) "
                           "not found in Windows Registry.",
                           "SG (First Storage Group) Registry Data: 1048576000.000000;",
                           "Number of Mailbox in First Storage Group : 2", "Storage Groups: "})
    EXPECT_NE(trace.find(line), std::string::npos) << line;
}

TEST_F(StorageTable, Release2010RowsNeedThe2007MailboxKey) {
  Server(5, "EXMB01");
  EXPECT_TRUE(Sample().empty()) << "a 2010 server has no v8.0 mailbox key";
  EXPECT_NE(Trace().find("TakeSample: MailboxRole not configured."), std::string::npos);
  V8MailboxRole();
  const std::string db01 = "M:\\Exchange\\DB01\\DB01.edb";
  SizeKeeper keep(db01);
  const double others = FileSize("M:\\Exchange\\DB04\\DB04.edb") + FileSize("N:\\Exchange\\PF01\\PF01.edb");
  ASSERT_TRUE(Resize(db01, 1000 * kMB - others));  // the group: 1000 MB
  std::map<std::string, GroupRow> rows = Sample();
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_TRUE(rows.count("Undefined")) << "2010 has no storage groups";
  EXPECT_EQ(rows["Undefined"].size, 100000) << "DB01 once, DB04 and PF01";
  EXPECT_EQ(rows["Undefined"].mailboxes, 3);
  ASSERT_TRUE(Resize(db01, 1100 * kMB - others));
  EXPECT_EQ(Sample()["Undefined"].growth, 10);
}

TEST_F(StorageTable, TwoInstancesKeepTheirOwnGrowth) {
  // Two agents on one host watching two 2007 servers whose first groups share a name: each
  // compares with its own previous size, never with the other's.
  Server(3, "EXUM01");
  ASSERT_EQ(Sample().count("First Storage Group"), 1u);
  SetEnv("QMX_EXCH_SERVER", "EXMB01");  // its First Storage Group holds DB01 (600 MB)
  std::map<std::string, GroupRow> other = Sample();
  ASSERT_EQ(other.count("First Storage Group"), 1u);
  EXPECT_NE(other["First Storage Group"].size, 100000);
  EXPECT_EQ(other["First Storage Group"].growth, 0);
  SetEnv("QMX_EXCH_SERVER", "EXUM01");
  EXPECT_EQ(Sample()["First Storage Group"].growth, 0) << "not the growth from EXMB01's size";
  const std::string stored = Stored("First Storage Group");
  EXPECT_NE(stored.find("/EXUM01\n"), std::string::npos) << stored;
  EXPECT_NE(stored.find("/EXMB01\n"), std::string::npos) << stored;
}

TEST_F(StorageTable, StoredGrowthValuesOfEveryKind) {
  Server(3, "EXUM01");
  const std::string name = "First Storage Group_QMX_Storage_Group_Details";
  struct Case {
    const char* stored;
    int32_t growth;
  } cases[] = {
      {"not a number;0;Thu Dec 10 17:11:24 2026\n", 0},
      {"", 0},
      {"909312000.000000;0.000000;Thu Dec 10 17:11:24 2026\n", 15},  // 867.2 MB before, no owner
      {"909312000.000000;0.000000\n", 0},                           // no time kept
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(regtest::SetString(kEnvironment, name.c_str(), c.stored));
    EXPECT_EQ(Sample()["First Storage Group"].growth, c.growth) << c.stored;
    EXPECT_EQ(qmx::storage::PreviousSize(Stored("First Storage Group"), "x"), 0) << "no line without owner left";
  }
  // Without the environment key: growth 0, traced, and the rows still come.
  environment_.reset();
  std::map<std::string, GroupRow> rows = Sample();
  EXPECT_EQ(rows.size(), 3u);
  EXPECT_NE(Trace().find("Open Registry key: SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment failed."),
            std::string::npos);
}

TEST_F(Storage, LogFilePathsOfEachRelease) {
  struct Case {
    int release;
    const char* server;
    std::set<std::string> entries;
  } cases[] = {
      {3, "EXUM01",
       {"N:\\Logs\\SG1\\E00.log", "N:\\Logs\\SG1\\E0000000001.log", "First Storage Group",
        "N:\\Logs\\SG2\\E01.log", "Second Storage Group", "N:\\Logs\\SG3\\E02.log",
        "Third Storage Group", "N:\\Logs\\RSG\\R00.log", "Recovery Storage Group"}},
      {5, "EXMB01",
       {"N:\\Logs\\DB01\\E00.log", "N:\\Logs\\DB01\\E00000000A1.log", "DB01", "N:\\Logs\\DB04\\E01.log",
        "DB04"}},
  };
  for (const Case& c : cases) {
    Server(c.release, c.server);
    std::wstring text;
    const long rc = c.release == 5 ? GetLogFileDataFromActiveDirectoryData(nullptr, c.server, &text)
                                   : GetLogFileActiveDirectoryData(nullptr, c.server, &text);
    EXPECT_EQ(rc, 0);
    const std::vector<std::string> entries = qmx::storage::Tokens(qmx::FromWide(text, CP_ACP));
    EXPECT_EQ(Set(entries), c.entries) << c.server;
    EXPECT_EQ(entries.size(), c.entries.size()) << "each once: " << qmx::FromWide(text, CP_ACP);
    std::string paths;
    ASSERT_TRUE(qmx::ServerLogPathsFromDirectory(c.release, c.server, &paths));
    EXPECT_EQ(paths, qmx::FromWide(text, CP_ACP));
  }
  // A server without log paths: nothing, and the server status table gets no space.
  std::string paths = "old";
  EXPECT_FALSE(qmx::ServerLogPathsFromDirectory(3, "EXCAS01", &paths));
  EXPECT_EQ(paths, "");
  EXPECT_NE(Trace().find("Log File results: "), std::string::npos);
}

}  // namespace
