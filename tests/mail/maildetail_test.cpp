// The mailbox and public folder cycles under Wine with the test tool in the place of qmxmbstat.exe
// (in the parent folder of the log directory): command lines, schedules, the first-run wait with a
// test clock, settings that stop a cycle, the bound on a tool that never ends, and the rows of
// tables 13 and 14 through the framework.
#include "qmxmaildetail.h"

#include <gtest/gtest.h>
#include <process.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "exchange_registry.h"
#include "qmx_tables.h"
#include "qmxcommon.h"
#include "qmxschedule.h"
#include "table_catalogue.h"
#include "table_sample.h"
#include "test_env.h"
#include "win_process.h"

using namespace exchtest;
using qmxtest::ReadWholeFile;
using qmxtest::WriteWholeFile;
using qmxtest::SetEnv;

namespace {

// The test clock of the first-run wait.
SYSTEMTIME g_now;
void TestClock(SYSTEMTIME* now) { *now = g_now; }

// A cycle on a thread of its own, stopped and joined at the end.
class Cycle {
 public:
  explicit Cycle(int (*routine)(void*)) : routine_(routine) {
    qmx::ResumeCollections();
    thread_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Body, this, 0, nullptr));
  }
  ~Cycle() { Stop(); }
  Cycle(const Cycle&) = delete;
  Cycle& operator=(const Cycle&) = delete;
  // Ends the cycle's pause; its result (-1 when it did not end within 30 s).
  int Stop() {
    if (thread_) {
      qmx::StopCollections();
      if (WaitForSingleObject(thread_, 30000) != WAIT_OBJECT_0) result_ = -1;
      CloseHandle(thread_);
      thread_ = nullptr;
    }
    return result_;
  }
  // Whether the routine returned by itself within ms.
  bool EndsWithin(DWORD ms) { return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0; }

 private:
  static unsigned __stdcall Body(void* self) {
    Cycle* c = static_cast<Cycle*>(self);
    int local = 0;
    c->result_ = c->routine_(&local);
    return 0;
  }
  int (*routine_)(void*);
  HANDLE thread_ = nullptr;
  int result_ = -2;
};

class MailDetails : public ExchangeRegistry {
 protected:
  void SetUp() override {
    ExchangeRegistry::SetUp();
    if (HasFatalFailure()) return;
    root_ = qmxtest::MakeTempDir("qmxmaildetail");
    logs_ = root_ + "\\log files";  // a blank in every path
    data_ = root_ + "\\tool data";
    CreateDirectoryA(logs_.c_str(), nullptr);
    CreateDirectoryA(data_.c_str(), nullptr);
    std::string tool = "Z:" + std::string(QMX_MBSTAT_TOOL);
    for (char& ch : tool)
      if (ch == '/') ch = '\\';
    ASSERT_TRUE(CopyFileA(tool.c_str(), (root_ + "\\qmxmbstat.exe").c_str(), FALSE)) << tool;
    SetEnv("QMX_MBSTAT_DATA", data_.c_str());
    SetEnv("VORTA_LOG_PATH", logs_.c_str());
    SetEnv("QMX_EXCH_SERVER", "EXMB01");
    SetEnv("QMX_MBX_INFO_INTERVAL", "60");
    SetEnv("QMX_MAILBOX_RUNTIME", nullptr);
    trace_ = root_ + "\\trace.log";
    BSS1_PutEnv(("JBX_RAS1_LOG=" + trace_).c_str());
    BSS1_PutEnv("JBX_RAS1=ERROR (UNIT:qmx ALL)");
    SetDetailsClock(nullptr);
  }
  void TearDown() override {
    qmx::StopCollections();
    SetDetailsClock(nullptr);
    BSS1_PutEnv("JBX_RAS1_LOG=");
    BSS1_PutEnv("JBX_RAS1=ERROR");
    ExchangeRegistry::TearDown();
  }

  void Release2010() {
    Key(kV14Setup);
    regtest::SetDword(kV14Setup, "MsiProductMajor", 14);
    Key(std::string(kV14) + "\\MailboxRole");
  }
  void Release2007() {
    Key(kSetup);
    regtest::SetDword(kSetup, "MsiProductMajor", 8);
    Key(std::string(kV8) + "\\MailboxRole");
  }
  void Prepare(const char* file, const std::string& text) { WriteWholeFile(data_ + "\\" + file, text); }
  std::vector<std::string> Calls() { return qmxtest::TextLines(ReadWholeFile(data_ + "\\calls.log")); }
  std::string Errors() { return ReadWholeFile(data_ + "\\errors.log"); }
  std::string Trace() { return ReadWholeFile(trace_); }
  // The trace file stays open in the trace facility: each case looks only at what came after its mark.
  void Mark() { mark_ = Trace().size(); }
  bool Traced(const std::string& line) {
    const std::string t = Trace();
    return t.size() > mark_ && t.find(line, mark_) != std::string::npos;
  }
  // Waits until the trace holds the line (at most 30 s).
  bool AwaitTrace(const std::string& line) {
    for (int i = 0; i < 600; ++i) {
      if (Traced(line)) return true;
      Sleep(50);
    }
    return false;
  }
  std::string ToolCall(const char* option, const char* release, const char* file) {
    return std::string(option) + " " + release + " EXMB01 \"" + logs_ + "\\" + file + "\"";
  }

  std::string root_, logs_, data_, trace_;
  size_t mark_ = 0;
};

const char kMailboxes[] =
    "# Mailbox Details - Number of Mailboxes '2'\r\n"
    "Ann Archer;First Storage Group;Mailbox Database;12;2048;1024;2011-11-09 14:25;ann@corp.example.com\r\n"
    "Bob Baker;;;3;40;-77;;bob@corp.example.com\r\n";
const char kFolders[] =
    "Public Folder Details - Number of Folders '2'\r\n"
    "IPM_SUBTREE;Second Storage Group;Public Folder Database;7;12.345;2011-11-09 14:25:33\r\n"
    "Schedule+ Free Busy;;;0;0.29;\r\n";

// Each cycle runs the tool at once with its command line, then pauses for its interval: 60 s for
// mailboxes, raised to 300 s for public folders; on release 3 the 2007 names.
TEST_F(MailDetails, CommandLinesAndIntervals) {
  struct Case {
    bool release2010;
    int (*routine)(void*);
    const char* option;
    const char* file;
    const char* waiting;
  };
  const Case cases[] = {
      {true, GetMailBoxDetailex, "-mailboxdetails", "MailBox_Details.log",
       "Entering wait period between attempts to gather mailbox details : 60000"},
      {true, GetPublicFolderDetailsEx, "-publicfolderdetails", "PublicFolderDetails2010.log",
       "Entering wait period between attempts to gather public folder details : 300000"},
      {false, GetMailBoxDetailex, "-mailboxdetails", "MailBox_Details.log",
       "Entering wait period between attempts to gather mailbox details : 60000"},
      {false, GetPublicFolderDetailsEx, "-publicfolderdetails", "PublicFolderDetails2007.log",
       "Entering wait period between attempts to gather public folder details : 300000"},
  };
  Prepare("mailboxdetails.txt", kMailboxes);
  Prepare("publicfolderdetails.txt", kFolders);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Clear();
    ResetExchangeVersionCaches();
    if (c.release2010) Release2010(); else Release2007();
    DeleteFileA((data_ + "\\calls.log").c_str());
    Mark();
    Cycle cycle(c.routine);
    ASSERT_TRUE(AwaitTrace(c.waiting)) << Trace();
    EXPECT_EQ(cycle.Stop(), 1) << "a stopped cycle returns 1, not the 0 of a missing setting";
    EXPECT_EQ(Calls(), std::vector<std::string>{ToolCall(c.option, c.release2010 ? "2010" : "2007", c.file)});
    EXPECT_EQ(Errors(), "");
    EXPECT_EQ(ReadWholeFile(logs_ + "\\" + c.file),
              std::strcmp(c.option, "-mailboxdetails") == 0 ? kMailboxes : kFolders);
    EXPECT_TRUE(Traced("Command to be executed : \"" + root_ + "\\qmxmbstat.exe\" " +
                       ToolCall(c.option, c.release2010 ? "2010" : "2007", c.file)));
    EXPECT_FALSE(Traced("Sleep interval")) << "stopped during its first pause";
  }
}

// An interval of 1 s: the mailbox cycle runs every second, the public folder cycle still pauses 300 s.
TEST_F(MailDetails, ShortIntervalRepeatsOnlyTheMailboxCycle) {
  Release2010();
  SetEnv("QMX_MBX_INFO_INTERVAL", "1");
  Prepare("mailboxdetails.txt", kMailboxes);
  Prepare("publicfolderdetails.txt", kFolders);
  {
    Cycle cycle(GetMailBoxDetailex);
    ASSERT_TRUE(AwaitTrace("Sleep interval 1l expired. Gather mailbox details")) << Trace();
    for (int i = 0; i < 600 && Calls().size() < 2; ++i) Sleep(50);
    EXPECT_EQ(cycle.Stop(), 1);
  }
  EXPECT_GE(Calls().size(), 2u);
  DeleteFileA((data_ + "\\calls.log").c_str());
  Cycle cycle(GetPublicFolderDetailsEx);
  ASSERT_TRUE(AwaitTrace("Entering wait period between attempts to gather public folder details : 300000"))
      << Trace();
  EXPECT_EQ(cycle.Stop(), 1);
  EXPECT_EQ(Calls().size(), 1u);
}

// A release that has no public folder file (neither 3 nor 5): the cycle keeps its schedule but
// does not run the tool.
TEST_F(MailDetails, NoPublicFolderFileWithoutARelease) {
  Prepare("publicfolderdetails.txt", kFolders);
  Mark();
  Cycle cycle(GetPublicFolderDetailsEx);
  ASSERT_TRUE(AwaitTrace("Entering wait period between attempts to gather public folder details : 300000"))
      << Trace();
  EXPECT_EQ(cycle.Stop(), 1);
  EXPECT_TRUE(Traced("No public folder details file for Exchange release -1; qmxmbstat.exe not run"));
  EXPECT_EQ(Calls(), std::vector<std::string>{});
}

// Settings that keep a cycle from running: it returns 0 at once with its trace line, and the tool
// never runs.
TEST_F(MailDetails, MissingOrUnusableSettingsEndTheCycle) {
  Release2010();
  struct Case {
    const char* interval;  // null: unset
    const char* server;
    bool mailboxRuns, foldersRun;
  };
  const Case cases[] = {
      {nullptr, "EXMB01", false, false}, {"0", "EXMB01", false, false}, {"-1", "EXMB01", false, false},
      {"abc", "EXMB01", false, false},   {"", "EXMB01", false, false},  {"60", nullptr, false, true},
      {"60", "EX MB01", false, false},   {"60", "\"x", false, false},
  };
  Prepare("hang", "");  // a cycle that does run stays in its first tool run
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.interval ? c.interval : "<unset>") + " / " + (c.server ? c.server : "<unset>"));
    SetEnv("QMX_MBX_INFO_INTERVAL", c.interval);
    SetEnv("QMX_EXCH_SERVER", c.server);
    Mark();
    struct Run {
      int (*routine)(void*);
      bool runs;
      const char* line;
    };
    for (const Run& run : {Run{GetMailBoxDetailex, c.mailboxRuns,
                               "Environment variables are not set. Missing mailbox detail interval or computer name"},
                           Run{GetPublicFolderDetailsEx, c.foldersRun,
                               "Environment variables is not set for public folder data collection"}}) {
      if (run.runs) continue;
      Cycle cycle(run.routine);
      ASSERT_TRUE(cycle.EndsWithin(30000));
      EXPECT_EQ(cycle.Stop(), 0);
    }
    const bool missing = !c.interval || !*c.interval || std::strcmp(c.interval, "60") != 0 || !c.server;
    if (missing) {
      EXPECT_TRUE(Traced("Environment variables are not set. Missing mailbox detail interval or computer name"))
          << Trace();
    } else {
      EXPECT_TRUE(Traced("the server name is not a host name")) << Trace();
    }
  }
  EXPECT_EQ(Calls(), std::vector<std::string>{});
}

// The first mailbox run waits until QMX_MAILBOX_RUNTIME on the test clock; a text that is no time
// of day is traced and the first run is at once.
TEST_F(MailDetails, FirstRunWaitsForTheRunTime) {
  Release2010();
  Prepare("mailboxdetails.txt", kMailboxes);
  SetDetailsClock(TestClock);
  struct Case {
    const char* runTime;
    WORD hour, minute, second;
    long waitMs;  // -1: no wait
    bool runsAtOnce;
  };
  const Case cases[] = {
      {"23:00", 22, 30, 0, 1800000, false},  {"23:00", 23, 30, 0, 84600000, false},
      {"23:00", 23, 0, 40, 0, true},         {"00:15", 10, 30, 0, 49500000, false},
      {"00:15", 0, 10, 0, 300000, false},    {"", 10, 30, 0, -1, true},
      {"24:00", 10, 30, 0, -1, true},        {"7:5", 10, 30, 0, -1, true},
      {"ab:cd", 10, 30, 0, -1, true},        {"23:60", 10, 30, 0, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.runTime) + " at " + std::to_string(c.hour) + ":" + std::to_string(c.minute));
    g_now = SYSTEMTIME{2011, 11, 3, 9, c.hour, c.minute, c.second, 0};
    SetEnv("QMX_MAILBOX_RUNTIME", *c.runTime ? c.runTime : nullptr);
    DeleteFileA((data_ + "\\calls.log").c_str());
    Mark();
    Cycle cycle(GetMailBoxDetailex);
    if (c.runsAtOnce) {
      ASSERT_TRUE(AwaitTrace("Entering wait period between attempts to gather mailbox details")) << Trace();
      EXPECT_EQ(Calls().size(), 1u);
    } else {
      ASSERT_TRUE(AwaitTrace("Entering wait till start time arrives : " + std::to_string(c.waitMs))) << Trace();
      Sleep(300);
      EXPECT_EQ(Calls().size(), 0u) << "no run before the start time";
    }
    EXPECT_EQ(cycle.Stop(), 1) << "the wait ends when the agent stops";
    EXPECT_TRUE(Traced("System Time : Year : 2011 Month : 11 Date : 9 Hour : " + std::to_string(c.hour) +
                       " Min : " + std::to_string(c.minute) + " Second : " + std::to_string(c.second)));
    const bool waited = c.waitMs >= 0;
    EXPECT_EQ(Traced("Entering wait till start time arrives"), waited);
    EXPECT_EQ(Traced("Exiting wait to process MailBox Detail"), c.waitMs == 0);
    EXPECT_EQ(Traced("QMX_MAILBOX_RUNTIME is not a time of day"), !waited && *c.runTime);
  }
}

// A tool that never ends is ended at the bound with everything it started; the cycle goes on.
TEST_F(MailDetails, ToolThatNeverEndsIsEnded) {
  Prepare("hang", "");
  const std::string command = qmx::DetailsCommandLine(logs_, "-mailboxdetails", 5, "EXMB01",
                                                      logs_ + "\\MailBox_Details.log");
  EXPECT_FALSE(RunDetailsTool(command, 1500));
  const DWORD pid = static_cast<DWORD>(std::atoi(ReadWholeFile(data_ + "\\pid.txt").c_str()));
  ASSERT_NE(pid, 0u);
  HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (p) {
    EXPECT_EQ(WaitForSingleObject(p, 5000), WAIT_OBJECT_0) << "the tool still runs";
    CloseHandle(p);
  }
  EXPECT_FALSE(qmxtest::FileExists(logs_ + "\\MailBox_Details.log"));
  EXPECT_EQ(DetailsToolBoundMs(60), 120000u);
  EXPECT_EQ(DetailsToolBoundMs(86400), 86400000u);
  EXPECT_EQ(DetailsToolBoundMs(4000000), 4000000000u);
}

// Tables 13 and 14 through the framework's request interface.
class DetailTables : public MailDetails {
 protected:
  void SetUp() override {
    MailDetails::SetUp();
    pxr::ResetForTests();
    for (const qmx::TableEntry& e : qmx::TableCatalogue()) ASSERT_EQ(e.init(), 0u) << e.layout->name;
  }
  std::unique_ptr<pxr::Request> Sample(const char* table) { return qmxtest::SampleTable(table); }
};

// A field as text: integers (type 3) in decimal, texts up to their first NUL.
std::string Value(const pxr::Request& r, int row, const char* table, const char* upper) {
  const qmx::TableLayout& t = *qmx::TableLayoutByName(table);
  const qmx::TableAttribute& a = t.attributes[static_cast<size_t>(t.Find(upper))];
  const char* f = r.row(row) + a.offset;
  if (a.type == 3) {
    int32_t v = 0;
    std::memcpy(&v, f, 4);
    return std::to_string(v);
  }
  return std::string(f, strnlen(f, a.width));
}

struct Expected {
  int row;
  const char* attribute;
  std::string value;
};

void ExpectFields(const pxr::Request& r, const char* table, const std::vector<Expected>& fields) {
  for (const Expected& e : fields)
    EXPECT_EQ(Value(r, e.row, table, e.attribute), e.value) << table << " row " << e.row << " " << e.attribute;
}

TEST_F(DetailTables, MailboxRowsFromTheDetailsFile) {
  Release2010();
  WriteWholeFile(logs_ + "\\MailBox_Details.log", kMailboxes);
  std::unique_ptr<pxr::Request> r = Sample("MSEMBXD");
  ASSERT_EQ(r->rowCount(), 2);
  ExpectFields(*r, "MSEMBXD",
               {{0, "MBXNAME", "Ann Archer"}, {0, "SGNAME", "First Storage Group"},
                {0, "ISNAME", "Mailbox Database"}, {0, "NUMMBXMSGS", "12"}, {0, "MBXSIZE", "2048"},
                {0, "MBXMAXSIZE", "102"}, {0, "MBXLASTLGN", "2011-11-09 14:25"},
                {0, "EMAILADDRS", "ann@corp.example.com"}, {0, "ROWNO", "1"},
                {1, "SGNAME", "Undefined"}, {1, "ISNAME", "Undefined"}, {1, "MBXMAXSIZE", "-7"},
                {1, "MBXLASTLGN", std::string(16, ' ')}, {1, "ROWNO", "2"}});
  EXPECT_TRUE(Traced("Reading mailbox detail file: " + logs_ + "\\MailBox_Details.log"));
  EXPECT_TRUE(Traced("mbxmaxsize : 102"));
}

// Counts that are not the lines present: rows are the lines there are; no file: no rows.
TEST_F(DetailTables, RowsAreTheLinesPresent) {
  Release2007();
  struct Case {
    const char* what;
    std::string mailboxes, folders;
    int mailboxRows, folderRows;
  };
  const std::string m = "m;SG;DB;1;2;3;t;a\n";
  const std::string f = "f;SG;PF;1;2;t\n";
  const Case cases[] = {
      {"huge count", "# '2000000000'\n" + m + m + m, "'2000000000'\n" + f + f + f, 3, 3},
      {"negative count", "# '-5'\n" + m, "'-5'\n" + f, 0, 0},
      {"fewer lines than declared", "# '4'\n" + m, "'4'\n" + f, 1, 1},
      {"more lines than declared", "# '1'\n" + m + m, "'1'\n" + f + f, 1, 1},
      {"empty files", "", "", 0, 0},
      {"binary", std::string("\0\xff\x01\n\x7f", 5), std::string("\0\xff'\x01\n\x7f", 6), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteWholeFile(logs_ + "\\MailBox_Details.log", c.mailboxes);
    WriteWholeFile(logs_ + "\\PublicFolderDetails2007.log", c.folders);
    EXPECT_EQ(Sample("MSEMBXD")->rowCount(), c.mailboxRows);
    EXPECT_EQ(Sample("MSEPFLDD")->rowCount(), c.folderRows);
  }
  DeleteFileA((logs_ + "\\MailBox_Details.log").c_str());
  DeleteFileA((logs_ + "\\PublicFolderDetails2007.log").c_str());
  EXPECT_EQ(Sample("MSEMBXD")->rowCount(), 0);
  EXPECT_EQ(Sample("MSEPFLDD")->rowCount(), 0);
  EXPECT_TRUE(Traced("Mailbox Detail file open failed: " + logs_ + "\\MailBox_Details.log"));
  EXPECT_TRUE(Traced("( " + logs_ + "\\PublicFolderDetails2007.log )file open failed."));
  EXPECT_TRUE(Traced("No public folder information found"));
}

// Release 5 reads the 2010 file, release 3 the 2007 file, other releases none.
TEST_F(DetailTables, PublicFolderRowsByRelease) {
  WriteWholeFile(logs_ + "\\PublicFolderDetails2010.log", kFolders);
  WriteWholeFile(logs_ + "\\PublicFolderDetails2007.log",
            "Public Folder Details - Number of Folders '1'\nOld Folder;SG;PF;1;1;2007-01-01 00:00\n");
  Release2010();
  std::unique_ptr<pxr::Request> r = Sample("MSEPFLDD");
  ASSERT_EQ(r->rowCount(), 2);
  ExpectFields(*r, "MSEPFLDD",
               {{0, "PFLDNAME", "IPM_SUBTREE"}, {0, "SGNAME", "Second Storage Group"},
                {0, "ISNAME", "Public Folder Database"}, {0, "NUMPFLDMSG", "7"}, {0, "PFLDSIZE", "1234"},
                {0, "PFLDLASTLG", "2011-11-09 14:25"}, {1, "SGNAME", "Undefined"}, {1, "PFLDSIZE", "29"},
                {1, "PFLDLASTLG", ""}});
  EXPECT_TRUE(Traced("-----------ReadPublicFolderDetails--------------"));
  EXPECT_TRUE(Traced("pfldsize   : 1234"));

  Clear();
  ResetExchangeVersionCaches();
  Release2007();
  r = Sample("MSEPFLDD");
  ASSERT_EQ(r->rowCount(), 1);
  ExpectFields(*r, "MSEPFLDD", {{0, "PFLDNAME", "Old Folder"}});

  Clear();
  ResetExchangeVersionCaches();
  EXPECT_EQ(Sample("MSEPFLDD")->rowCount(), 0) << "no release: no file to read";
}

// The cycles with the real qmxmbstat.exe in the tool's place and the PowerShell.exe stand-in
// serving the records its scripts would write: tables 13 and 14 show what the shell gave, in their
// units, and a failed run leaves the rows of the previous one.
class RealTool : public DetailTables {
 protected:
  void SetUp() override {
    DetailTables::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(CopyFileA(qmxtest::WinePath(QMX_REAL_MBSTAT).c_str(), (root_ + "\\qmxmbstat.exe").c_str(), FALSE));
    SetEnv("QMX_STANDIN_DATA", data_.c_str());
    SetEnv("QMX_STANDIN_SERVER", "EXMB01");
  }
  void TearDown() override {
    SetEnv("QMX_STANDIN_SNAPIN", nullptr);
    DetailTables::TearDown();
  }
  // Runs a cycle until it pauses after its first run.
  void RunOnce(int (*routine)(void*), const char* waiting) {
    Mark();
    Cycle cycle(routine);
    ASSERT_TRUE(AwaitTrace(waiting)) << Trace();
    EXPECT_EQ(cycle.Stop(), 1);
  }

  qmxtest::SearchPathFirst standins_{qmxtest::WinePath(QMX_STANDIN_DIR)};
};

TEST_F(RealTool, CyclesFillTheDetailTablesOnBothReleases) {
  const char kMailboxWait[] = "Entering wait period between attempts to gather mailbox details : 60000";
  const char kFolderWait[] = "Entering wait period between attempts to gather public folder details : 300000";
  Prepare("qmxmbstat-mailboxdetails.txt",
          "M\tAnn Archer\tFirst Storage Group\tMailbox Database\t12\t2147483648\t1073741824\t20111109142533\t"
          "ann@corp.example.com\r\nM\tBob; Baker\t\tDB02\t\t\t\t\tbob@corp.example.com\r\nE\t2\r\n");
  Prepare("qmxmbstat-publicfolderdetails.txt",
          "P\tIPM_SUBTREE\tSecond Storage Group\tPublic Folder Database\t7\t12944671\t20111109142533\r\nE\t1\r\n");
  struct Case {
    bool release2010;
    const char* snapin;
    const char* folderFile;
  } cases[] = {
      {true, "Microsoft.Exchange.Management.PowerShell.E2010", "PublicFolderDetails2010.log"},
      {false, "Microsoft.Exchange.Management.PowerShell.Admin", "PublicFolderDetails2007.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folderFile);
    Clear();
    ResetExchangeVersionCaches();
    if (c.release2010) Release2010(); else Release2007();
    SetEnv("QMX_STANDIN_SNAPIN", c.snapin);
    DeleteFileA((data_ + "\\exit_code").c_str());
    DeleteFileA((logs_ + "\\MailBox_Details.log").c_str());
    DeleteFileA((logs_ + "\\" + c.folderFile).c_str());
    RunOnce(GetMailBoxDetailex, kMailboxWait);
    RunOnce(GetPublicFolderDetailsEx, kFolderWait);
    EXPECT_EQ(Errors(), "");
    std::unique_ptr<pxr::Request> r = Sample("MSEMBXD");
    ASSERT_EQ(r->rowCount(), 2) << ReadWholeFile(logs_ + "\\MailBox_Details.log");
    ExpectFields(*r, "MSEMBXD",
                 {{0, "MBXNAME", "Ann Archer"}, {0, "SGNAME", "First Storage Group"},
                  {0, "ISNAME", "Mailbox Database"}, {0, "NUMMBXMSGS", "12"}, {0, "MBXSIZE", "2048"},
                  {0, "MBXMAXSIZE", "1024"}, {0, "MBXLASTLGN", "1111109142533000"},
                  {0, "EMAILADDRS", "ann@corp.example.com"}, {1, "MBXNAME", "Bob\xEF\xBC\x9B Baker"},
                  {1, "SGNAME", "Undefined"}, {1, "ISNAME", "DB02"}, {1, "NUMMBXMSGS", "0"}, {1, "MBXSIZE", "0"},
                  {1, "MBXMAXSIZE", "0"}, {1, "MBXLASTLGN", std::string(16, ' ')}});
    r = Sample("MSEPFLDD");
    ASSERT_EQ(r->rowCount(), 1) << ReadWholeFile(logs_ + "\\" + c.folderFile);
    ExpectFields(*r, "MSEPFLDD",
                 {{0, "PFLDNAME", "IPM_SUBTREE"}, {0, "SGNAME", "Second Storage Group"},
                  {0, "ISNAME", "Public Folder Database"}, {0, "NUMPFLDMSG", "7"}, {0, "PFLDSIZE", "1234"},
                  {0, "PFLDLASTLG", "1111109142533000"}});

    // A shell that fails: the tool ends with 2, the tables keep the rows of the last complete run.
    Prepare("exit_code", "1");
    RunOnce(GetMailBoxDetailex, kMailboxWait);
    EXPECT_EQ(Sample("MSEMBXD")->rowCount(), 2);
    EXPECT_TRUE(Traced("Script command ended with exit code 2")) << Trace();
  }
}

}  // namespace
