// The reachability cycle under Wine with the test tool in the place of qmxews.exe (copied into the
// parent folder of the log folder) and the test directory on 127.0.0.15 (nothing listens on
// 127.0.0.4). The waits between attempts and cycles are recorded instead of slept.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hvl.h"
#include "jbx.h"
#include "pxr.h"
#include "qmx_tables.h"
#include "table_layout.h"
#include "qmxcommon.h"
#include "qmxmailbox.h"
#include "test_cipher.h"
#include "test_env.h"
#include "win_process.h"

using qmxtest::ReadWholeFile;
using qmxtest::Encipher;
using qmxtest::SetEnv;

namespace {

const char kPassword[] = "Pw-Reach.2026!";
const char kSent[] = "SentTime: 01/05/2026  10:00:00";
const char kReply5s[] = "ReceivedTime: 01/05/2026  10:00:05";
const char kFile[] = "MailBox_Reachability_Results.log";

std::mutex g_waitsLock;
std::vector<DWORD> g_waits;
std::atomic<int> g_cyclesLeft{0};

bool RecordWait(DWORD ms) {
  std::lock_guard<std::mutex> lock(g_waitsLock);
  g_waits.push_back(ms);
  return true;
}

// Between cycles: recorded; false once the cycles a test asked for have run.
bool CycleWait(DWORD ms) {
  RecordWait(ms);
  return --g_cyclesLeft > 0;
}


void RemoveTree(const std::string& dir) {
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = d.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = dir + "\\" + name;
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(h, &d));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

// The processes of these ids (one a line) that still run.
int StillRunning(const std::string& pids) {
  int n = 0;
  size_t pos = 0;
  while (pos < pids.size()) {
    size_t nl = pids.find('\n', pos);
    const DWORD pid = static_cast<DWORD>(std::stoul(pids.substr(pos, nl - pos)));
    pos = nl == std::string::npos ? pids.size() : nl + 1;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) continue;
    n += WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
  }
  return n;
}

class Reachability : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = qmxtest::MakeTempDir("qmxreach");
    logs_ = root_ + "\\logs";
    CreateDirectoryA(logs_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA((qmxtest::BinDir() + "qmxews.exe").c_str(), (root_ + "\\qmxews.exe").c_str(), FALSE));
    trace_ = logs_ + "\\trace.log";
    SetEnv("JBX_RAS1_LOG", trace_.c_str());
    SetEnv("JBX_RAS1", "ERROR (UNIT:qmxmailbox ALL) (UNIT:qmxscripts ALL) (UNIT:qmxdecrypt ALL)");
    SetEnv("VORTA_LOG_PATH", logs_.c_str());
    SetEnv("QMX_EXCH_USERID", "qmxprobe");
    SetEnv("QMX_EXCH_PASSWORD", Encipher(kPassword).c_str());
    SetEnv("QMX_EXCH_DOMAIN", "qmxtest");
    SetEnv("QMX_EXCH_SERVER", "EXMB01");
    SetEnv("QMX_REACHABILITY_INTERVAL", "300");
    SetEnv("QMX_REACHABILITY_THRESHOLD", "30");
    SetEnv("QMX_AD_SERVER", "127.0.0.4");
    SetEnv("QMX_AD_BIND", "simple");
    {
      std::lock_guard<std::mutex> lock(g_waitsLock);
      g_waits.clear();
    }
    ReachabilityWaits waits;
    waits.wait = RecordWait;
    waits.toolBoundMs = 20000;
    SetReachabilityWaits(waits);
  }
  void TearDown() override {
    SetReachabilityWaits(ReachabilityWaits());
    for (const char* v : {"VORTA_LOG_PATH", "QMX_EXCH_USERID", "QMX_EXCH_PASSWORD", "QMX_EXCH_DOMAIN",
                          "QMX_EXCH_SERVER", "QMX_REACHABILITY_INTERVAL", "QMX_REACHABILITY_THRESHOLD",
                          "QMX_EMAIL_ADDRESSES", "QMX_AD_SERVER", "QMX_AD_BIND", "QMX_DELETE_EMAILS"})
      SetEnv(v, nullptr);
    SetEnv("JBX_RAS1", "ERROR");
    SetEnv("JBX_RAS1_LOG", "");
    RemoveTree(root_);
  }
  void Answer(int call, const std::vector<std::string>& lines) {
    std::ofstream out(root_ + "\\qmxews_answer" + (call ? std::to_string(call) : "") + ".txt",
                      std::ios::binary);
    for (const std::string& l : lines) out << l << "\n";
  }
  void Expect(const std::string& sender, const std::string& target, const char* ms,
              const char* deleteFlag = "NO") {
    std::ofstream out(root_ + "\\qmxews_expect.txt", std::ios::binary);
    out << "-getmrt\nqmxprobe\n" << kPassword << "\nqmxtest\nEXMB01\n" << sender << "\n" << target
        << "\n" << ms << "\n2010\n" << deleteFlag << "\n";
  }
  std::string Calls() { return ReadWholeFile(root_ + "\\qmxews_calls.log"); }
  std::string ToolErrors() { return ReadWholeFile(root_ + "\\qmxews_errors.log"); }
  std::string Results() { return ReadWholeFile(logs_ + "\\" + kFile); }
  std::string Trace() { return ReadWholeFile(trace_); }
  std::vector<DWORD> Waits() {
    std::lock_guard<std::mutex> lock(g_waitsLock);
    return g_waits;
  }
  std::string One(const std::string& target) {
    std::string result;
    EXPECT_EQ(CheckEmailResponse(target, BSS1_GetEnv("QMX_REACHABILITY_THRESHOLD", 0), kPassword, &result), 0);
    return result;
  }
  // Runs the cycle loop for `cycles` cycles.
  int Cycles(int cycles) {
    g_cyclesLeft = cycles;
    ReachabilityWaits waits;
    waits.wait = CycleWait;
    waits.toolBoundMs = 20000;
    SetReachabilityWaits(waits);
    int local = 0;
    return RunReachability(&local);
  }
  std::string root_, logs_, trace_;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// One target, the tool's answers and the record they give (the Part's edge cases and the rest of
// the time rules): threshold 30 s, one attempt.
TEST_F(Reachability, OneTargetRecords) {
  struct Case {
    const char* name;
    std::vector<std::string> answer;
    std::string record;
  } cases[] = {
      {"reply after 5 s", {"hello", kSent, kReply5s, "Name: Target One"},
       "first@qmxtest.local;Y;5.000000;1260105100005000;unknown"},
      {"reply earlier than the send time", {kSent, "ReceivedTime: 01/05/2026  09:59:59"},
       "FIRST@QMXTEST.LOCAL;N;0.00;1260105100000000;unknown"},
      {"reply just after midnight", {"SentTime: 01/05/2026  23:59:50", "ReceivedTime: 01/06/2026  00:00:10"},
       "first@qmxtest.local;Y;20.000000;1260106000010000;unknown"},
      {"sent, no reply", {kSent}, "FIRST@QMXTEST.LOCAL;N;0.00;1260105100000000;unknown"},
      {"nothing printed", {}, "FIRST@QMXTEST.LOCAL;N;0.00;;unknown"},
      {"reply without a send time", {kReply5s}, "FIRST@QMXTEST.LOCAL;N;0.00;;unknown"},
      {"10 KB lines around the times", {"@flood 10", kSent, "@flood 10", kReply5s, "@flood 10"},
       "first@qmxtest.local;Y;5.000000;1260105100005000;unknown"},
      {"answer after a delay", {"@delay 1500", kSent, kReply5s},
       "first@qmxtest.local;Y;5.000000;1260105100005000;unknown"},
  };
  for (const Case& c : cases) {
    DeleteFileA((root_ + "\\qmxews_calls.log").c_str());
    Answer(0, c.answer);
    EXPECT_EQ(One("first@qmxtest.local"), c.record) << c.name;
    EXPECT_EQ(Calls(), "start first@qmxtest.local\nend first@qmxtest.local\n") << c.name;
  }
  EXPECT_TRUE(Waits().empty()) << "one attempt, no wait";
}

TEST_F(Reachability, Threshold20RunsNoTool) {
  SetEnv("QMX_REACHABILITY_THRESHOLD", "20");
  Answer(0, {kSent, kReply5s});
  EXPECT_EQ(One("first@qmxtest.local"), "FIRST@QMXTEST.LOCAL;N;0.00;;unknown");
  EXPECT_EQ(Calls(), "");
  EXPECT_TRUE(Waits().empty());
}

// Threshold 60 (also what 0, a negative or no number give): two runs, one 30 s wait between.
TEST_F(Reachability, Threshold60RunsTwiceThirtySecondsApart) {
  for (const char* threshold : {"60", "0", "-7", "abc"}) {
    SetEnv("QMX_REACHABILITY_THRESHOLD", threshold);
    DeleteFileA((root_ + "\\qmxews_calls.log").c_str());
    {
      std::lock_guard<std::mutex> lock(g_waitsLock);
      g_waits.clear();
    }
    Expect("qmxprobe@qmxtest", "first@qmxtest.local", "60000");
    Answer(1, {"SentTime: 01/05/2026  10:00:00"});
    Answer(2, {"SentTime: 01/05/2026  10:00:30"});
    EXPECT_EQ(One("first@qmxtest.local"), "FIRST@QMXTEST.LOCAL;N;0.00;1260105100030000;unknown") << threshold;
    EXPECT_EQ(Count(Calls(), "start "), 2u) << threshold;
    EXPECT_EQ(Waits(), std::vector<DWORD>{30000}) << threshold;
    EXPECT_EQ(ToolErrors(), "") << threshold;
  }
  // A reply in the first run ends the attempts.
  DeleteFileA((root_ + "\\qmxews_calls.log").c_str());
  Answer(1, {kSent, kReply5s});
  EXPECT_EQ(One("first@qmxtest.local"), "first@qmxtest.local;Y;5.000000;1260105100005000;unknown");
  EXPECT_EQ(Count(Calls(), "start "), 1u);
}

// The command line: the password reaches the tool, the trace shows "XXXXX", and the plain
// password is in no file of the log folder. The sender falls back to user id and domain.
TEST_F(Reachability, PasswordOnlyOnTheCommandLine) {
  SetEnv("QMX_DELETE_EMAILS", "yes");
  SetEnv("JBX_RAS1", "ALL");
  SetEnv("QMX_EMAIL_ADDRESSES", "first@qmxtest.local");
  Expect("qmxprobe@qmxtest", "first@qmxtest.local", "30000", "YES");
  Answer(0, {kSent, kReply5s});
  ASSERT_EQ(Cycles(1), 1);
  EXPECT_EQ(ToolErrors(), "");
  EXPECT_EQ(Results(), "unknown;first@qmxtest.local;Y;5.000000;1260105100005000\n");
  const std::string trace = Trace();
  EXPECT_NE(trace.find("Send Email command line : qmxews.exe -getmrt qmxprobe XXXXX qmxtest EXMB01 "
                       "qmxprobe@qmxtest first@qmxtest.local 30000 2010 YES"),
            std::string::npos);
  EXPECT_NE(trace.find("Failed to obtain User Email from Active Directory. Hence setting Email using "
                       "username and domain as qmxprobe@qmxtest"),
            std::string::npos);
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((logs_ + "\\*").c_str(), &d);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int files = 0;
  do {
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    ++files;
    EXPECT_EQ(ReadWholeFile(logs_ + "\\" + d.cFileName).find(kPassword), std::string::npos) << d.cFileName;
  } while (FindNextFileA(h, &d));
  FindClose(h);
  EXPECT_GE(files, 2);
}

// The sender's address and the target's server from the directory on 127.0.0.15; the Part's two
// targets, the first answered after 5 s from SRV1, the second not, give its results file.
TEST_F(Reachability, TwoTargetsWithTheDirectory) {
  SetEnv("QMX_AD_SERVER", "127.0.0.15");
  SetEnv("QMX_EMAIL_ADDRESSES", "first@qmxtest.local;second@qmxtest.local");
  Answer(1, {kSent, kReply5s, "Name: Target One"});
  Answer(2, {kSent});
  ASSERT_EQ(Cycles(1), 1);
  EXPECT_NE(Trace().find("2 Email responses returned"), std::string::npos);
  EXPECT_EQ(Results(),
            "SRV1.QMXTEST.LOCAL;first@qmxtest.local;Y;5.000000;1260105100005000\n"
            "unknown;SECOND@QMXTEST.LOCAL;N;0.00;1260105100000000\n");
  const std::string calls = Calls();
  EXPECT_EQ(Count(calls, "start first@qmxtest.local"), 1u);
  EXPECT_EQ(Count(calls, "start second@qmxtest.local"), 1u);
  EXPECT_NE(Trace().find("probe.sender@qmxtest.local first@qmxtest.local"), std::string::npos);
  EXPECT_EQ(Trace().find("Failed to obtain User Email"), std::string::npos);
  // The sender as the tool received it.
  DeleteFileA((root_ + "\\qmxews_calls.log").c_str());
  Expect("probe.sender@qmxtest.local", "first@qmxtest.local", "30000");
  Answer(1, {kSent, kReply5s});
  EXPECT_EQ(One("first@qmxtest.local"), "first@qmxtest.local;Y;5.000000;1260105100005000;SRV1.QMXTEST.LOCAL");
  EXPECT_EQ(ToolErrors(), "");
}

// Cycles that give no record keep the previous file: no targets (empty pieces and blanks
// only), no user id or password.
TEST_F(Reachability, NoRecordsKeepTheFile) {
  const std::string previous = "old;file@x;Y;1.000000;1260105100005000\n";
  std::ofstream(logs_ + "\\" + kFile, std::ios::binary) << previous;
  struct Case {
    const char* name;
    const char* addresses;
    const char* user;
  } cases[] = {
      {"no targets", nullptr, "qmxprobe"},
      {"empty targets", "", "qmxprobe"},
      {"empty pieces and blanks", " ; ;;\t", "qmxprobe"},
      {"no user id", "first@qmxtest.local", nullptr},
  };
  for (const Case& c : cases) {
    SetEnv("QMX_EMAIL_ADDRESSES", c.addresses);
    SetEnv("QMX_EXCH_USERID", c.user);
    ASSERT_EQ(Cycles(1), 1) << c.name;
    EXPECT_EQ(Results(), previous) << c.name;
    EXPECT_EQ(Calls(), "") << c.name;
  }
  EXPECT_NE(Trace().find("Missing userid, password or exchange profile"), std::string::npos);
}

// A thousand targets under threshold 20: no tool run, one unanswered record each, in order.
TEST_F(Reachability, ThousandTargets) {
  SetEnv("QMX_REACHABILITY_THRESHOLD", "20");
  std::string targets, expected;
  for (int i = 0; i < 1000; ++i) {
    targets += "user" + std::to_string(i) + "@qmxtest.local;";
    expected += "unknown;USER" + std::to_string(i) + "@QMXTEST.LOCAL;N;0.00;\n";
  }
  SetEnv("QMX_EMAIL_ADDRESSES", targets.c_str());
  ASSERT_EQ(Cycles(1), 1);
  EXPECT_EQ(Results(), expected);
  EXPECT_EQ(Calls(), "");
}

// Without a usable interval or server name the cycle never runs.
TEST_F(Reachability, MissingOrBadIntervalEndsAtOnce) {
  struct Case {
    const char* interval;
    const char* server;
  } cases[] = {{nullptr, "EXMB01"}, {"0", "EXMB01"}, {"-5", "EXMB01"}, {"abc", "EXMB01"},
               {"300", nullptr},    {"300", ""}};
  for (const Case& c : cases) {
    SetEnv("QMX_REACHABILITY_INTERVAL", c.interval);
    SetEnv("QMX_EXCH_SERVER", c.server);
    EXPECT_EQ(Cycles(5), 0) << (c.interval ? c.interval : "(none)");
  }
  EXPECT_TRUE(Waits().empty());
  EXPECT_EQ(Count(Trace(), "Environment variables are not set. Missing reachability interval or computer name"), 6u);
  EXPECT_NE(Trace().find("QMX_REACHABILITY_INTERVAL \"abc\" is not a whole number"), std::string::npos);
}

// A tool that never ends, or prints long lines without end, is ended at its bound; the target
// ends as unanswered and no tool process is left.
TEST_F(Reachability, EndlessToolIsEnded) {
  ReachabilityWaits waits;
  waits.wait = RecordWait;
  waits.toolBoundMs = 3000;
  SetReachabilityWaits(waits);
  for (const char* endless : {"@forever", "@floodforever"}) {
    DeleteFileA((root_ + "\\qmxews_calls.log").c_str());
    Answer(0, {kSent, endless});
    EXPECT_EQ(One("first@qmxtest.local"), "FIRST@QMXTEST.LOCAL;N;0.00;1260105100000000;unknown") << endless;
    EXPECT_EQ(Calls(), "start first@qmxtest.local\n") << endless;
    const std::string pids = ReadWholeFile(root_ + "\\qmxews_pids.log");
    ASSERT_FALSE(pids.empty()) << endless;
    EXPECT_EQ(StillRunning(pids), 0) << endless;
  }
  EXPECT_NE(Trace().find("its processes are ended: qmxews.exe -getmrt qmxprobe XXXXX"), std::string::npos);
}

// A cycle longer than the interval: the next starts only after it ended (runs never overlap),
// and a reader of the results file meanwhile sees the last complete file, never a part of one.
TEST_F(Reachability, LongCycleKeepsTheLastCompleteFile) {
  SetEnv("QMX_REACHABILITY_INTERVAL", "1");
  SetEnv("QMX_EMAIL_ADDRESSES", "first@qmxtest.local;second@qmxtest.local");
  Answer(1, {kSent, kReply5s});
  Answer(2, {kSent, "ReceivedTime: 01/05/2026  10:00:07"});
  Answer(3, {"@delay 1500", kSent, "ReceivedTime: 01/05/2026  10:00:09"});
  Answer(4, {"@delay 1500", kSent});
  const std::string first =
      "unknown;first@qmxtest.local;Y;5.000000;1260105100005000\n"
      "unknown;second@qmxtest.local;Y;7.000000;1260105100007000\n";
  const std::string second =
      "unknown;first@qmxtest.local;Y;9.000000;1260105100009000\n"
      "unknown;SECOND@QMXTEST.LOCAL;N;0.00;1260105100000000\n";
  std::atomic<bool> done{false};
  std::set<std::string> seen;
  int failedOpens = 0;
  std::thread reader([&] {
    bool exists = false;
    // The last read comes after the cycles ended: it sees the file they left.
    for (bool last = false; !last;) {
      last = done;
      std::string text;
      if (ReadSharedFileText(logs_ + "\\" + kFile, &text))
        seen.insert(text), exists = true;
      else
        failedOpens += exists;  // once the file is there, the table always opens it
      Sleep(2);
    }
  });
  const int rc = Cycles(2);
  done = true;
  reader.join();
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(Results(), second);
  for (const std::string& s : seen) EXPECT_TRUE(s == first || s == second) << "a reader saw:\n" << s;
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(failedOpens, 0);
  EXPECT_EQ(Calls(),
            "start first@qmxtest.local\nend first@qmxtest.local\n"
            "start second@qmxtest.local\nend second@qmxtest.local\n"
            "start first@qmxtest.local\nend first@qmxtest.local\n"
            "start second@qmxtest.local\nend second@qmxtest.local\n");
  EXPECT_EQ(Waits(), (std::vector<DWORD>{1000, 1000}));
}

// Table 15 from the results file: no file gives no rows; comment lines, empty lines and lines
// of bad fields are read as the file rules say, each row field by field.
TEST_F(Reachability, TableRowsFromTheFile) {
  pxr::ResetForTests();
  qmx_msereach_init();
  unsigned long status = 0;
  auto r = pxr::Request::Open("MSEREACH", {}, &status);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Sample(), 0u);
  EXPECT_EQ(r->rowCount(), 0) << "no file yet";
  EXPECT_NE(Trace().find("Mailbox Reachability Results file open failed: " + logs_ + "\\" + kFile),
            std::string::npos);
  std::ofstream(logs_ + "\\" + kFile, std::ios::binary)
      << "# written by hand\n"
      << "SRV1.QMXTEST.LOCAL;first@qmxtest.local;Y;5.000000;1260105100005000\n"
      << "\n"
      << "unknown;SECOND@QMXTEST.LOCAL;N;0.00;1260105100000000\n"
      << "s;third@x;Y;99999999999\n";
  EXPECT_EQ(r->Sample(), 0u);
  ASSERT_EQ(r->rowCount(), 3);
  const qmx::TableLayout* layout = qmx::TableLayoutByName("MSEREACH");
  auto field = [&](int row, const char* upper) {
    const qmx::TableAttribute& a = layout->attributes[static_cast<size_t>(layout->Find(upper))];
    const char* p = r->row(row) + a.offset;
    if (a.type == qmx::TYPE_INT32) {
      int32_t v;
      std::memcpy(&v, p, sizeof v);
      return std::to_string(v);
    }
    return std::string(p, strnlen(p, a.width));
  };
  const char* expect[3][6] = {
      {"SRV1.QMXTEST.LOCAL", "first@qmxtest.local", "1", "500", "1260105100005000", "1"},
      {"unknown", "SECOND@QMXTEST.LOCAL", "0", "0", "1260105100000000", "2"},
      {"s", "third@x", "1", "2147483647", "", "3"},
  };
  const char* names[6] = {"TRGSERVER", "TRGEADDRS", "REACHABLE", "RESPTIME", "RUNTIME", "ROWNO"};
  for (int i = 0; i < 3; ++i)
    for (int f = 0; f < 6; ++f) EXPECT_EQ(field(i, names[f]), expect[i][f]) << i << " " << names[f];
}

}  // namespace
