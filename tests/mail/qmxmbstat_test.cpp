// qmxmbstat.exe under Wine, with the PowerShell.exe stand-in first on the search path: the stand-in
// checks the script it was given (mode, snap-in of the release, server) and writes the records a
// test prepared where the script names its records file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_env.h"
#include "win_process.h"

using qmxtest::FileExists;
using qmxtest::ReadWholeFile;
using qmxtest::SetEnv;
using qmxtest::WriteWholeFile;

namespace {

const char kSnapin2007[] = "Microsoft.Exchange.Management.PowerShell.Admin";
const char kSnapin2010[] = "Microsoft.Exchange.Management.PowerShell.E2010";

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    if (std::string(d.cFileName) != "." && std::string(d.cFileName) != "..") names.push_back(d.cFileName);
  } while (FindNextFileA(h, &d));
  FindClose(h);
  return names;
}

// A log folder whose name a script must quote with care, and the stand-ins' data folder.
class Mbstat : public testing::Test {
 protected:
  void SetUp() override {
    root_ = qmxtest::MakeTempDir("qmxmbstat");
    logs_ = root_ + "\\it's log files";
    data_ = root_ + "\\standin";
    CreateDirectoryA(logs_.c_str(), nullptr);
    CreateDirectoryA(data_.c_str(), nullptr);
    SetEnv("QMX_STANDIN_DATA", data_.c_str());
    SetEnv("QMX_STANDIN_SERVER", "EXCH01");
  }
  void TearDown() override { SetEnv("QMX_STANDIN_SNAPIN", nullptr); }

  void Prepare(const std::string& file, const std::string& text) { WriteWholeFile(data_ + "\\" + file, text); }
  std::string Errors() { return ReadWholeFile(data_ + "\\errors.log"); }
  std::string Calls() { return ReadWholeFile(data_ + "\\calls.log"); }

  // Runs the tool as the agent does: its path and the details file in double quotes.
  qmxtest::ProcessResult Tool(const std::string& arguments) {
    return qmxtest::Run("\"" + qmxtest::ProductDir() + "qmxmbstat.exe\" " + arguments, 120000);
  }
  qmxtest::ProcessResult Tool(const char* mode, const char* version, const std::string& file,
                              const char* options = "") {
    return Tool(std::string(options) + mode + " " + version + " EXCH01 \"" + file + "\"");
  }

  std::string root_, logs_, data_;
  qmxtest::SearchPathFirst standins_{qmxtest::WinePath(QMX_STANDIN_DIR)};
};

struct GoodRun {
  const char* what;
  const char* mode;
  const char* version;
  const char* snapin;
  const char* file;
  const char* prepared;  // file of the stand-in's data folder
  std::string records;
  std::string details;
  const char* printed;
};

TEST_F(Mbstat, DetailsFilesOfBothModesOnBothReleases) {
  const std::string bom = "\xEF\xBB\xBF";
  const GoodRun runs[] = {
      {"mailboxes, release 5", "-mailboxdetails", "2010", kSnapin2010, "MailBox_Details.log",
       "qmxmbstat-mailboxdetails.txt",
       "M\tAlice Smith\t\tDB01\t120\t36700160\t1073741824\t20111109142533\talice@corp.example.com\r\n"
       "M\tJ\xC3\xBCrgen; M\xC3\xBCller\t\tDB02\t\t\t\t\tjuergen@corp.example.com\r\n"
       "E\t2\r\n",
       "# Mailbox Details - Total Mailboxes:'2' (size in MB, maximum size in tenths of MB, 0: no limit)\r\n"
       "Alice Smith;;DB01;120;35;10240;1111109142533000;alice@corp.example.com\r\n"
       "J\xC3\xBCrgen\xEF\xBC\x9B M\xC3\xBCller;;DB02;0;0;0;;juergen@corp.example.com\r\n",
       "2 mailboxes"},
      {"mailboxes, release 3", "-mailboxdetails", "2007", kSnapin2007, "MailBox_Details.log",
       "qmxmbstat-mailboxdetails.txt",
       bom + "M\t#ops\tFirst Storage Group\tMailbox Database\t4\t524288\t\t20101231235959\tops@corp.example.com\r\nE\t1\r\n",
       "# Mailbox Details - Total Mailboxes:'1' (size in MB, maximum size in tenths of MB, 0: no limit)\r\n"
       "\xEF\xBC\x83ops;First Storage Group;Mailbox Database;4;0;0;1101231235959000;ops@corp.example.com\r\n",
       "1 mailboxes"},
      {"public folders, release 5", "-publicfolderdetails", "2010", kSnapin2010, "PublicFolderDetails2010.log",
       "qmxmbstat-publicfolderdetails.txt",
       "P\tMarketing\t\tPF01\t7\t12944671\t20111109142533\r\nP\tPlans\t\tPF01\t0\t0\t\r\nE\t2\r\n",
       "# Public Folder Details - Total Public Folders:'2' (size in MB)\r\n"
       "Marketing;;PF01;7;12.34;1111109142533000\r\n"
       "Plans;;PF01;0;0.00;\r\n",
       "2 public folders"},
      {"public folders, release 3", "-publicfolderdetails", "2007", kSnapin2007, "PublicFolderDetails2007.log",
       "qmxmbstat-publicfolderdetails.txt", "E\t0\r\n",
       "# Public Folder Details - Total Public Folders:'0' (size in MB)\r\n", "0 public folders"},
  };
  for (const GoodRun& r : runs) {
    SCOPED_TRACE(r.what);
    SetEnv("QMX_STANDIN_SNAPIN", r.snapin);
    DeleteFileA((data_ + "\\calls.log").c_str());
    Prepare(r.prepared, r.records);
    const std::string file = logs_ + "\\" + r.file;
    WriteWholeFile(file, "previous run\r\n");
    qmxtest::ProcessResult p = Tool(r.mode, r.version, file);
    EXPECT_EQ(p.exitCode, 0u) << p.err << Errors();
    EXPECT_EQ(p.err, "");
    EXPECT_NE(p.out.find(std::string(r.printed) + " written to " + file), std::string::npos) << p.out;
    EXPECT_EQ(ReadWholeFile(file), r.details);
    EXPECT_EQ(Errors(), "");
    // One shell run, with the script as one encoded argument; the folder keeps no other file.
    EXPECT_EQ(Calls().rfind("PowerShell|-NoLogo -NoProfile -NonInteractive -EncodedCommand ", 0), 0u) << Calls();
    EXPECT_EQ(Calls().find('\n'), Calls().size() - 1);
    EXPECT_NE(ReadWholeFile(data_ + "\\script.ps1").find("IO.StreamWriter('" + root_ + "\\it''s log files\\" + r.file),
              std::string::npos);
    std::vector<std::string> files = FilesIn(logs_);
    EXPECT_EQ(files, std::vector<std::string>{r.file});
    DeleteFileA(file.c_str());
  }
}

struct BadRun {
  const char* what;
  const char* prepared;  // records served, or null for none
  const char* exitCode;  // the shell's, or null
  const char* delayMs;
  const char* printed;   // the shell's standard output, or null
  DWORD toolExit;
  const char* message;
};

// Whatever goes wrong with the shell, the tool says so, ends non-zero and leaves the previous
// details file as it was (or none where there was none), with nothing else left in the folder.
TEST_F(Mbstat, FailedRunsLeaveThePreviousFile) {
  const BadRun runs[] = {
      {"output of another shape", "\r\nName          : F1\r\nDatabaseName  : PF01\r\n\r\n", nullptr, nullptr, nullptr,
       3, "not in the expected shape: line 1: empty line"},
      {"empty output", "", nullptr, nullptr, nullptr, 3, "wrote no records and no end record"},
      {"output cut short", "P\tF1\t\tPF01\t1\t2\t\r\nP\tF2\t\tPF01\t1\t2\t\r\n", nullptr, nullptr, nullptr, 3,
       "stops after 2 records without its end record"},
      {"no output file", nullptr, nullptr, nullptr, "Add-PSSnapin : No snap-ins have been registered", 3,
       "wrote no output"},
      {"shell fails", "E\t0\r\n", "1", nullptr, "Get-PublicFolderStatistics : access denied", 2,
       "ended with exit code 1; the details file was left as it was\n  shell output:\n    "
       "Get-PublicFolderStatistics : access denied"},
      {"shell never ends", "E\t0\r\n", nullptr, "600000", nullptr, 2, "did not end within 2 s and was stopped"},
  };
  const std::string file = logs_ + "\\PublicFolderDetails2010.log";
  for (bool previous : {true, false}) {
    for (const BadRun& r : runs) {
      SCOPED_TRACE(std::string(r.what) + (previous ? ", with a previous file" : ", without one"));
      for (const char* f : {"qmxmbstat-publicfolderdetails.txt", "exit_code", "delay_ms", "stdout.txt", "pid.txt"})
        DeleteFileA((data_ + "\\" + f).c_str());
      if (r.prepared) Prepare("qmxmbstat-publicfolderdetails.txt", r.prepared);
      if (r.exitCode) Prepare("exit_code", r.exitCode);
      if (r.delayMs) Prepare("delay_ms", r.delayMs);
      if (r.printed) Prepare("stdout.txt", r.printed);
      if (previous)
        WriteWholeFile(file, "# Public Folder Details - Total Public Folders:'1'\r\nOld;;PF01;1;1.00;\r\n");
      else
        DeleteFileA(file.c_str());
      qmxtest::ProcessResult p = Tool("-publicfolderdetails", "2010", file, "-timeout 2 ");
      EXPECT_EQ(p.exitCode, r.toolExit) << p.err;
      EXPECT_EQ(p.err.rfind("qmxmbstat: ", 0), 0u) << p.err;
      EXPECT_NE(p.err.find(r.message), std::string::npos) << p.err;
      EXPECT_EQ(p.out, "");
      EXPECT_EQ(Errors(), "");
      if (previous) {
        EXPECT_EQ(ReadWholeFile(file), "# Public Folder Details - Total Public Folders:'1'\r\nOld;;PF01;1;1.00;\r\n");
      }
      EXPECT_EQ(FilesIn(logs_), previous ? std::vector<std::string>{"PublicFolderDetails2010.log"}
                                         : std::vector<std::string>{});
      if (r.delayMs) {  // the shell was ended, not left behind
        DWORD pid = std::stoul(ReadWholeFile(data_ + "\\pid.txt"));
        HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
        if (h) {
          EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0) << "the shell still runs";
          CloseHandle(h);
        }
      }
    }
  }
}

TEST_F(Mbstat, BadArgumentsRunNothing) {
  struct Case {
    std::string arguments;
    const char* message;
  } cases[] = {
      {"", "4 arguments expected"},
      {"-mailboxdetails N/A EXCH01 \"" + logs_ + "\\MailBox_Details.log\"", "unknown Exchange release \"N/A\""},
      {"-publicfolderdetails 2010 \"EXCH01 & calc\" \"" + logs_ + "\\x.log\"", "is not a host name"},
      {"-mailboxdetails 2010 EXCH01", "4 arguments expected"},
      {"-timeout 0 -mailboxdetails 2010 EXCH01 x.log", "-timeout needs"},
      {"-mailboxdetails 2010 EXCH01 \"" + root_ + "\\missing\\MailBox_Details.log\"",
       "the folder of the details file does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    qmxtest::ProcessResult p = Tool(c.arguments);
    EXPECT_EQ(p.exitCode, 1u);
    EXPECT_NE(p.err.find(c.message), std::string::npos) << p.err;
    EXPECT_EQ(p.err.rfind("qmxmbstat: ", 0), 0u) << p.err;
    EXPECT_EQ(Calls(), "");
  }
  // The usage line comes with the reason.
  EXPECT_NE(Tool("").err.find("usage: qmxmbstat.exe [-timeout <seconds>] -mailboxdetails|-publicfolderdetails"),
            std::string::npos);
}

// The stand-in refuses a script for the other release or another server: the tool reports the
// shell's failure.
TEST_F(Mbstat, ScriptOfTheWrongReleaseOrServerIsRefused) {
  struct Case {
    const char* snapin;
    const char* server;
    const char* refusal;
  } cases[] = {
      {kSnapin2007, "EXCH01", "snap-in [Microsoft.Exchange.Management.PowerShell.E2010], not [Microsoft.Exchange.Management.PowerShell.Admin]"},
      {kSnapin2010, "EXCH02", "command names server [EXCH01], not [EXCH02]"},
  };
  Prepare("qmxmbstat-mailboxdetails.txt", "E\t0\r\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusal);
    DeleteFileA((data_ + "\\errors.log").c_str());
    SetEnv("QMX_STANDIN_SNAPIN", c.snapin);
    SetEnv("QMX_STANDIN_SERVER", c.server);
    qmxtest::ProcessResult p = Tool("-mailboxdetails", "2010", logs_ + "\\MailBox_Details.log");
    EXPECT_EQ(p.exitCode, 2u);
    EXPECT_NE(p.err.find("ended with exit code 3"), std::string::npos) << p.err;
    EXPECT_NE(Errors().find(c.refusal), std::string::npos) << Errors();
    EXPECT_FALSE(FileExists(logs_ + "\\MailBox_Details.log"));
  }
}

}  // namespace
