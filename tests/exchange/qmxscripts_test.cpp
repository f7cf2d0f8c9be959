// The script machinery under Wine, with the PowerShell.exe and WScript.exe stand-ins first on the
// search path: script files, command lines, freshness, the store-script lock, the run bound, and
// the rows of tables 42 and 43 through the framework.
#include "qmxscripts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exchange_registry.h"
#include "qmx_tables.h"
#include "qmxcommon.h"
#include "table_catalogue.h"
#include "table_sample.h"
#include "win_process.h"

using namespace exchtest;
using qmxtest::ReadWholeFile;
using qmxtest::WriteWholeFile;
using qmxtest::SetEnv;

namespace {


std::string RightTrimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string Db(const char* objectClass, const char* group, const char* name, const char* mounted) {
  return std::string("\r\nObjectClass      : {top, msExchMDB, ") + objectClass +
         "}\r\nStorageGroupName : " + group + "\r\nName             : " + name +
         "\r\nMounted          : " + mounted + "\r\n";
}

// One Exchange installation in the registry, a log folder, the stand-ins' data folder and the
// stand-ins first on the search path.
class Scripts : public ExchangeRegistry {
 protected:
  void SetUp() override {
    InitializeCriticalSection(&lock_);
    ExchangeRegistry::SetUp();
    if (HasFatalFailure()) return;
    ResetScriptUpgradeFlag();
    SetScriptLock(&lock_);
    root_ = qmxtest::MakeTempDir("qmxscripts");
    logs_ = root_ + "\\log files";  // a blank in every path
    data_ = root_ + "\\standin";
    install_ = root_ + "\\Exchange Server\\";
    for (const std::string& d : {logs_, data_, root_ + "\\Exchange Server", install_ + "Bin"})
      CreateDirectoryA(d.c_str(), nullptr);
    WriteWholeFile(install_ + "Bin\\ExShell.psc1", "<PSConsoleFile/>");
    SetEnv("QMX_STANDIN_DATA", data_.c_str());
    SetEnv("QMX_STANDIN_SERVER", "SRV1");
    SetEnv("QMX_INTERVAL", "0");
    char path[32768] = {0};
    GetEnvironmentVariableA("PATH", path, sizeof path);
    oldPath_ = path;
    SetEnv("PATH", (qmxtest::WinePath(QMX_STANDIN_DIR) + ";" + oldPath_).c_str());
  }
  void TearDown() override {
    if (!oldPath_.empty()) SetEnv("PATH", oldPath_.c_str());
    SetScriptLock(nullptr);
    DeleteCriticalSection(&lock_);
    ExchangeRegistry::TearDown();
  }

  void Release2010(bool mailboxRole = true) {
    Key(kV14Setup);
    regtest::SetDword(kV14Setup, "MsiProductMajor", 14);
    regtest::SetString(kV14Setup, "MsiInstallPath", install_);
    Key(std::string(kV14) + (mailboxRole ? "\\MailboxRole" : "\\ClientAccessRole"));
  }
  void Release2007() {
    Key(kSetup);
    regtest::SetDword(kSetup, "MsiProductMajor", 8);
    regtest::SetString(kSetup, "MsiInstallPath", install_);
    Key(std::string(kV8) + "\\MailboxRole");
  }
  void Prepare(const char* file, const std::string& text) { WriteWholeFile(data_ + "\\" + file, text); }
  std::vector<std::string> Calls() { return qmxtest::TextLines(ReadWholeFile(data_ + "\\calls.log")); }
  std::string Errors() { return ReadWholeFile(data_ + "\\errors.log"); }
  std::string PowerShellCall(const char* script) {
    return "PowerShell|-PSConsoleFile \"" + install_ + "Bin\\ExShell.psc1\" -Command \". '" + logs_ +
           "\\" + script + "'\"";
  }

  CRITICAL_SECTION lock_;
  std::string root_, logs_, data_, install_, oldPath_;
};

TEST_F(Scripts, StoreStatus2010WithMountedAndDismountedStores) {
  Release2010();
  Prepare("get-mailboxdatabase.txt", Db("msExchPrivateMDB", "", "DB01", "True") +
                                         Db("msExchPrivateMDB", "", "DB02", "False") + "\r\n");
  Prepare("get-publicfolderdatabase.txt", Db("msExchPublicMDB", "", "PF01", "True") + "\r\n");
  std::string text;
  ASSERT_EQ(CheckMailboxStoreStatus(&text, logs_.c_str(), "SRV1"), 0) << Errors();
  EXPECT_EQ(text,
            "Storage Group=;Mailbox Store=DB01;Status=0;Storage Group=;Mailbox Store=DB02;Status=1;"
            "Storage Group=;Public Store=PF01;Status=0;");
  EXPECT_EQ(Calls(), std::vector<std::string>{PowerShellCall("mbxstorestate2010.ps1")});
  // The script holds the two quoted lines, filled in, padded as stored.
  std::vector<std::string> lines = qmxtest::TextLines(ReadWholeFile(logs_ + "\\mbxstorestate2010.ps1"));
  const std::string out = "\"" + logs_ + "\\mbxstorestate2010.log\"";
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(RightTrimmed(lines[0]),
            "get-mailboxdatabase -Server SRV1 -status | ? { $_.Recovery -eq $false } | format-list "
            "objectclass, storagegroupname, name, mounted | out-file " + out + " -encoding UTF8 -width 250");
  EXPECT_EQ(RightTrimmed(lines[1]),
            "get-publicfolderdatabase -Server SRV1 -status | format-list objectclass, storagegroupname, "
            "name, mounted | out-file " + out + " -encoding UTF8 -append -width 250");
  EXPECT_GT(lines[0].size(), RightTrimmed(lines[0]).size());
}

TEST_F(Scripts, StoreStatus2007WithStorageGroups) {
  Release2007();
  Prepare("get-mailboxdatabase.txt", Db("msExchPrivateMDB", "First Storage Group", "Mailbox Database", "True") +
                                         Db("msExchPrivateMDB", "SG2", "Archive", "False"));
  Prepare("get-publicfolderdatabase.txt", Db("msExchPublicMDB", "SG2", "Public Folder Database", "False"));
  std::string text;
  ASSERT_EQ(CheckMailboxStoreStatus(&text, logs_.c_str(), "SRV1"), 0) << Errors();
  EXPECT_EQ(text,
            "Storage Group=First Storage Group;Mailbox Store=Mailbox Database;Status=0;"
            "Storage Group=SG2;Mailbox Store=Archive;Status=1;"
            "Storage Group=SG2;Public Store=Public Folder Database;Status=1;");
  EXPECT_EQ(Calls(), std::vector<std::string>{PowerShellCall("mbxstorestate2007.ps1")});
}

TEST_F(Scripts, FreshOutputIsReusedWithoutRunningTheScript) {
  Release2010();
  SetEnv("QMX_INTERVAL", "600");
  Prepare("get-mailboxdatabase.txt", Db("msExchPrivateMDB", "", "DB01", "True"));
  std::string first, second;
  ASSERT_EQ(CheckMailboxStoreStatus(&first, logs_.c_str(), "SRV1"), 0) << Errors();
  Prepare("get-mailboxdatabase.txt", Db("msExchPrivateMDB", "", "DB01", "False"));
  ASSERT_EQ(CheckMailboxStoreStatus(&second, logs_.c_str(), "SRV1"), 0);
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_EQ(second, first);
  EXPECT_EQ(second, "Storage Group=;Mailbox Store=DB01;Status=0;");
  // Stale again: the script runs.
  SetEnv("QMX_INTERVAL", "0");
  ASSERT_EQ(CheckMailboxStoreStatus(&second, logs_.c_str(), "SRV1"), 0);
  EXPECT_EQ(Calls().size(), 2u);
  EXPECT_EQ(second, "Storage Group=;Mailbox Store=DB01;Status=1;");
}

TEST_F(Scripts, BusyLockMakesTheSecondCallerParseTheExistingFile) {
  Release2010();
  Prepare("get-mailboxdatabase.txt", Db("msExchPrivateMDB", "", "NEW", "True"));
  WriteWholeFile(logs_ + "\\mbxstorestate2010.log", "\xEF\xBB\xBF" + Db("msExchPrivateMDB", "", "OLD", "False"));
  HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr), done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    EnterCriticalSection(&lock_);
    SetEvent(held);
    WaitForSingleObject(done, INFINITE);
    LeaveCriticalSection(&lock_);
  });
  WaitForSingleObject(held, INFINITE);
  std::string text;
  EXPECT_EQ(CheckMailboxStoreStatus(&text, logs_.c_str(), "SRV1"), 0);
  SetEvent(done);
  holder.join();
  CloseHandle(held);
  CloseHandle(done);
  EXPECT_EQ(text, "Storage Group=;Mailbox Store=OLD;Status=1;");
  EXPECT_TRUE(Calls().empty());
}

TEST_F(Scripts, ClusterScriptNamingAnotherServerIsRewritten) {
  Release2007();
  SetEnv("QMX_STANDIN_SERVER", "CMS1");
  WriteWholeFile(logs_ + "\\clustermbxstatus2007.ps1",
            "Get-ClusteredMailboxServerStatus -identity OLDCMS | format-list ClusteredMailboxServerName, "
            "State, OperationalMachines | out-file \"" + logs_ + "\\clustermbxstatus2007.log\" -encoding UTF8 -width 250\r\n");
  Prepare("get-clusteredmailboxserverstatus.txt",
          "\r\nClusteredMailboxServerName : CMS1.corp.example.com\r\nState                      : Online\r\n"
          "OperationalMachines        : {NODE1 <Active, Quorum Owner>, NODE2}\r\n\r\n");
  std::string text;
  ASSERT_EQ(CheckClusteredMailboxServerStatus(&text, logs_.c_str(), "CMS1"), 0) << Errors();
  EXPECT_EQ(text, "Mailbox Server Name=CMS1.corp.example.com;State=Online;"
                  "OperationalMachines={NODE1 <Active, Quorum Owner>, NODE2};");
  EXPECT_NE(ReadWholeFile(logs_ + "\\clustermbxstatus2007.ps1").find("-identity CMS1 |"), std::string::npos);
  // On 2010 nothing runs.
  ResetExchangeVersionCaches();
  Clear();
  Release2010();
  EXPECT_EQ(CheckClusteredMailboxServerStatus(&text, logs_.c_str(), "CMS1"), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(Calls().size(), 1u);
}

TEST_F(Scripts, MailboxDetailsScriptIsRewrittenOncePerStart) {
  Release2010();
  std::string script, output;
  const std::string path = logs_ + "\\mbxdetails2010.ps1";
  const std::string edited = "# edited\r\nGet-Mailbox -server SRV1 -ResultSize Unlimited\r\n";
  WriteWholeFile(path, edited);
  ASSERT_EQ(CreateScript("mbxdetails2010", logs_.c_str(), "SRV1", &script, &output), 0);
  EXPECT_EQ(script, path);
  EXPECT_EQ(output, logs_ + "\\MailBox_Details.log");
  EXPECT_EQ(ReadWholeFile(path).find("# edited"), std::string::npos);  // rewritten after the start
  WriteWholeFile(path, edited);
  ASSERT_EQ(CreateScript("mbxdetails2010", logs_.c_str(), "SRV1", &script, &output), 0);
  EXPECT_EQ(ReadWholeFile(path), edited);  // same server: kept
  ResetScriptUpgradeFlag();
  ASSERT_EQ(CreateScript("mbxdetails2010", logs_.c_str(), "SRV1", &script, &output), 0);
  EXPECT_EQ(ReadWholeFile(path).find("# edited"), std::string::npos);
}

TEST_F(Scripts, ServerNameInjectionWritesNoScriptAndRunsNothing) {
  Release2010();
  std::string text = "untouched";
  EXPECT_EQ(CheckMailboxStoreStatus(&text, logs_.c_str(), "srv; Remove-Item C:\\ -Recurse"), 99);
  EXPECT_EQ(text, "");
  EXPECT_FALSE(qmxtest::FileExists(logs_ + "\\mbxstorestate2010.ps1"));
  // An existing script for a good server is not run with the bad one either.
  ASSERT_EQ(CheckMailboxStoreStatus(&text, logs_.c_str(), "SRV1"), 0);
  EXPECT_EQ(CheckMailboxStoreStatus(&text, logs_.c_str(), "SRV1$(calc)"), 99);
  EXPECT_EQ(Calls().size(), 1u);
}

TEST_F(Scripts, HangingScriptIsEndedAndTheLockReleased) {
  Release2010();
  Prepare("delay_ms", "600000");
  std::string script, output, text;
  ASSERT_EQ(CreateScript("mbxstorestate2010", logs_.c_str(), "SRV1", &script, &output), 0);
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(RunProcess("mbxstorestate2010", script, output, &text, 3000), 99);
  ULONGLONG took = GetTickCount64() - start;
  EXPECT_GE(took, 2900u);
  EXPECT_LT(took, 30000u);
  EXPECT_EQ(text, "");
  DWORD pid = std::stoul(ReadWholeFile(data_ + "\\pid.txt"));
  HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (p) {
    EXPECT_EQ(WaitForSingleObject(p, 5000), WAIT_OBJECT_0) << "the stand-in still runs";
    CloseHandle(p);
  }
  bool free = false;
  std::thread other([&] {
    free = TryEnterCriticalSection(&lock_);
    if (free) LeaveCriticalSection(&lock_);
  });
  other.join();
  EXPECT_TRUE(free);
  // The bound: the larger of 120 s and the interval.
  SetEnv("QMX_INTERVAL", "60");
  EXPECT_EQ(ScriptRunBoundMs(), 120000u);
  SetEnv("QMX_INTERVAL", "900");
  EXPECT_EQ(ScriptRunBoundMs(), 900000u);
  SetEnv("QMX_INTERVAL", "x");
  EXPECT_EQ(ScriptRunBoundMs(), 120000u);
}

TEST_F(Scripts, BadSetupGivesEmptyResults) {
  struct Case {
    const char* what;
    bool installValue;
    bool trailingBackslash;
    bool logDirExists;
    int rc;
  } cases[] = {
      {"install path missing", false, true, true, 99},
      {"install path without trailing backslash", true, false, true, 0},
      {"log directory missing", true, true, false, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Clear();
    ResetExchangeVersionCaches();
    Release2010();
    std::string install = install_;
    if (!c.trailingBackslash) install.pop_back();
    if (c.installValue)
      regtest::SetString(kV14Setup, "MsiInstallPath", install);
    else
      RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kV14Setup, "MsiInstallPath");
    DeleteFileA((logs_ + "\\mbxstorestate2010.log").c_str());
    DeleteFileA((logs_ + "\\mbxstorestate2010.ps1").c_str());
    Prepare("get-mailboxdatabase.txt", Db("msExchPrivateMDB", "", "DB01", "True"));
    std::string dir = c.logDirExists ? logs_ : logs_ + "\\missing";
    std::string text = "untouched";
    EXPECT_EQ(CheckMailboxStoreStatus(&text, dir.c_str(), "SRV1"), c.rc);
    EXPECT_EQ(text, c.rc ? "" : "Storage Group=;Mailbox Store=DB01;Status=0;");
  }
  // Without a mailbox role on 2010 nothing is written or run.
  Clear();
  ResetExchangeVersionCaches();
  Release2010(false);
  DeleteFileA((logs_ + "\\mbxstorestate2010.ps1").c_str());
  size_t calls = Calls().size();
  std::string text;
  EXPECT_EQ(CheckMailboxStoreStatus(&text, logs_.c_str(), "SRV1"), 99);
  EXPECT_EQ(Calls().size(), calls);
}

TEST_F(Scripts, CountsAndAFailingExitCode) {
  Release2010();
  Prepare("get-publicfolderstatistics.txt",
          "\r\nName          : F1\r\nDatabaseName  : PF01\r\n\r\nName          : F2\r\nDatabaseName  : PF01\r\n\r\n");
  Prepare("exit_code", "1");
  std::string script, output, text;
  ASSERT_EQ(CreateScript("PublicFolderDetails2010", logs_.c_str(), "SRV1", &script, &output), 0);
  ASSERT_EQ(RunProcess("PublicFolderDetails2010", script, output, &text), 0) << Errors();
  EXPECT_EQ(text, "######    Public Folder Details - Total Public Folders:'2'");
}

// Tables 42 and 43 through the framework's request interface.
class ScriptTables : public Scripts {
 protected:
  void SetUp() override {
    Scripts::SetUp();
    pxr::ResetForTests();
    for (const qmx::TableEntry& e : qmx::TableCatalogue()) ASSERT_EQ(e.init(), 0u) << e.layout->name;
    SetEnv("VORTA_LOG_PATH", logs_.c_str());
  }
  std::unique_ptr<pxr::Request> Sample(const char* table) { return qmxtest::SampleTable(table); }
};

std::string Field(const pxr::Request& r, const char* table, const char* upper) {
  const qmx::TableLayout& t = *qmx::TableLayoutByName(table);
  const qmx::TableAttribute& a = t.attributes[static_cast<size_t>(t.Find(upper))];
  const char* f = r.row(0) + a.offset;
  return std::string(f, strnlen(f, a.width));
}

int32_t IntField(const pxr::Request& r, const char* table, const char* upper) {
  const qmx::TableLayout& t = *qmx::TableLayoutByName(table);
  int32_t v = 0;
  std::memcpy(&v, r.row(0) + t.attributes[static_cast<size_t>(t.Find(upper))].offset, 4);
  return v;
}

TEST_F(ScriptTables, ClusteredServerRowOnRelease3) {
  Release2007();
  SetEnv("QMX_EXCH_SERVER", "CMS1");
  SetEnv("QMX_STANDIN_SERVER", "CMS1");
  Prepare("get-clusteredmailboxserverstatus.txt",
          "\r\nClusteredMailboxServerName : CMS1.corp.example.com\r\nState                      : Online\r\n"
          "OperationalMachines        : {NODE1 <Active, Quorum Owner>, NODE2}\r\n\r\n");
  std::unique_ptr<pxr::Request> r = Sample("MSMBSCS");
  ASSERT_EQ(r->rowCount(), 1) << Errors();
  EXPECT_EQ(Field(*r, "MSMBSCS", "MBXNAME"), "CMS1");
  EXPECT_EQ(Field(*r, "MSMBSCS", "MBXSTATE"), "Online");
  EXPECT_EQ(Field(*r, "MSMBSCS", "NODES"), "{NODE1 <Active, Quorum Owner>, NODE2}");
  EXPECT_EQ(IntField(*r, "MSMBSCS", "SAMPLENO"), 1);
  EXPECT_EQ(IntField(*r, "MSMBSCS", "ROWNO"), 1);
  // Release 5: no script, no row.
  Clear();
  ResetExchangeVersionCaches();
  Release2010();
  EXPECT_EQ(Sample("MSMBSCS")->rowCount(), 0);
}

TEST_F(ScriptTables, NlbRowFromTheScriptOutput) {
  Release2007();
  SetEnv("QMX_EXCH_SERVER", "SRV1");
  Prepare("nlbstatus.txt", "0\r\nfirst\r\n1\r\nsecond.corp.example.com\r\nEnd of file\r\n");
  std::unique_ptr<pxr::Request> r = Sample("MSENLBS");
  ASSERT_EQ(r->rowCount(), 1) << Errors();
  EXPECT_EQ(IntField(*r, "MSENLBS", "NLBSTATUS"), 1);
  EXPECT_EQ(Field(*r, "MSENLBS", "MACHNAME"), "SECOND");
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0], "WScript|\"" + logs_ + "\\nlbStatus.vbs\"");
  EXPECT_NE(ReadWholeFile(logs_ + "\\nlbStatus.vbs").find("blnOpenFile(\"" + logs_ + "\\nlbStatus.log\", objFile)"),
            std::string::npos);
  // No output at all: the row says "Undefined".
  DeleteFileA((logs_ + "\\nlbStatus.log").c_str());
  DeleteFileA((data_ + "\\nlbstatus.txt").c_str());
  Clear();
  ResetExchangeVersionCaches();
  Release2010();
  r = Sample("MSENLBS");
  ASSERT_EQ(r->rowCount(), 1);
  EXPECT_EQ(Field(*r, "MSENLBS", "MACHNAME"), "Undefined");
  EXPECT_EQ(IntField(*r, "MSENLBS", "NLBSTATUS"), 0);
}

}  // namespace
