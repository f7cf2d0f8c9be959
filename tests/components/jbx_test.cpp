#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jbx.h"
#include "qmxtrace.h"
#include "ras1_levels.h"
#include "ras1_log.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// A name no earlier run used: rand() repeats itself from run to run.
// Unique across the test processes ctest may run side by side, and within one.
std::string Unique() {
  static int n = 0;
#ifdef _WIN32
  const unsigned long process = GetCurrentProcessId();
#else
  const unsigned long process = static_cast<unsigned long>(getpid());
#endif
  return std::to_string(std::time(nullptr)) + "_" + std::to_string(process) + "_" + std::to_string(++n);
}

std::string TempDir() {
  const char* t = std::getenv("TEMP");
  if (!t) t = std::getenv("TMPDIR");
  std::string d = t ? t : "/tmp";
  return d;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(LevelSpec, GrammarCases) {
  struct Case {
    const char* settings;
    const char* unit;
    uint32_t level;
  } cases[] = {
      {"", "zrtctagt.cpp", 0x80},
      {"ERROR", "zrtctagt.cpp", 0x80},
      {"error flow", "x/y/zrtctagt.cpp", 0x81},
      {"ALL", "qmx01agt.cpp", 0xFF},
      {"ERROR (UNIT:zrt ALL) (UNIT:qmx FLOW)", "zrtlagnt.cpp", 0xFF},
      {"ERROR (UNIT:zrt ALL) (UNIT:qmx FLOW)", "C:\\src\\qmxcommon.cpp", 0x01},
      {"ERROR (UNIT:zrt ALL) (UNIT:qmx FLOW)", "pxrex01b.cpp", 0x80},
      {"ERROR (UNIT:zrt FLOW) (UNIT:zrtct ENTRY ERROR)", "zrtctagt.cpp", 0xC0},
      {"ERROR (UNIT:zrt FLOW) (UNIT:zrtct ENTRY ERROR)", "zrtlagnt.cpp", 0x01},
      {"(UNIT:zrt STATE)", "other.cpp", 0x80},
      {"NONE", "zrt.cpp", 0x00},
      {"ERROR DETAIL > C:\\logs\\x.log", "a.cpp", 0x91},
  };
  for (const Case& c : cases) {
    jbx::LevelSpec settings = jbx::ParseLevelSpec(c.settings);
    EXPECT_TRUE(settings.valid) << c.settings;
    EXPECT_EQ(jbx::LevelForUnit(settings, c.unit), c.level) << c.settings << " / " << c.unit;
  }
  EXPECT_EQ(jbx::ParseLevelSpec("ERROR > C:\\logs\\x.log ").output, "C:\\logs\\x.log");
}

TEST(LevelSpec, MalformedFallsBackToErrors) {
  const char* bad[] = {"FLOWS", "(UNIT:zrt ALL", "ERROR )", "(COMP:x ALL)", "(UNIT: ALL)",
                       "(UNIT:zrt)", "\x01\x02\xff", "(((((("};
  for (const char* b : bad) {
    jbx::LevelSpec settings = jbx::ParseLevelSpec(b);
    EXPECT_FALSE(settings.valid) << b;
    EXPECT_EQ(jbx::LevelForUnit(settings, "zrtctagt.cpp"), 0x80u) << b;
  }
  std::string huge(1 << 20, '(');
  EXPECT_FALSE(jbx::ParseLevelSpec(huge).valid);
  std::string many;
  for (int i = 0; i < 20000; ++i) many += "FLOW ";
  EXPECT_EQ(jbx::ParseLevelSpec(many).global, 0x01u);
}

TEST(LogSpec, SubstitutionsAndKeywords) {
  jbx::LogSpec s = jbx::ParseLogSpec(
      "C:\\logs\\host_qmx_$(systask)_$(sysutcstart)-.log INVENTORY=C:\\logs\\host_qmx_$(systask).inv"
      " COUNT=03 PRESERVE=1 LIMIT=2 MAXFILES=5",
      "$", "qmx_agent", "20261210061200");
  EXPECT_EQ(s.file, "C:\\logs\\host_qmx_qmx_agent_20261210061200-.log");
  EXPECT_EQ(s.inventory, "C:\\logs\\host_qmx_qmx_agent.inv");
  EXPECT_EQ(s.count, 3u);
  EXPECT_EQ(s.preserve, 1u);
  EXPECT_EQ(s.limitBytes, 2u * 1024 * 1024);
  EXPECT_EQ(s.maxFiles, 5u);
  EXPECT_EQ(jbx::SegmentName(s, 3), "C:\\logs\\host_qmx_qmx_agent_20261210061200-3.log");

  jbx::LogSpec q = jbx::ParseLogSpec("\"C:\\my logs\\a-.log\" LIMIT=4K MAXFILES=x", "%", "t", "u");
  EXPECT_EQ(q.file, "C:\\my logs\\a-.log");
  EXPECT_EQ(q.limitBytes, 4096u);
  EXPECT_EQ(q.maxFiles, 10u);

  jbx::LogSpec plain = jbx::ParseLogSpec("trace.log", "$", "t", "u");
  EXPECT_EQ(jbx::SegmentName(plain, 7), "trace.log");
}

TEST(RotatingLog, WrapsKeepingPreservedFiles) {
  std::string base = TempDir() + "/jbx_rot_" + Unique();
  jbx::LogSpec settings = jbx::ParseLogSpec(base + "-.log LIMIT=1K MAXFILES=3 PRESERVE=1", "$", "t", "u");
  {
    jbx::RotatingLog log(settings);
    ASSERT_TRUE(log.ok());
    std::string line(100, 'a');
    line += "\n";
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(log.Write(line));  // ~6 KiB over 1 KiB files
  }
  std::string f1 = ReadFile(base + "-1.log"), f2 = ReadFile(base + "-2.log"),
              f3 = ReadFile(base + "-3.log");
  EXPECT_GT(f1.size(), 900u);
  EXPECT_LE(f1.size(), 1024u);
  EXPECT_FALSE(f2.empty());
  EXPECT_FALSE(f3.empty());
  std::ifstream f4(base + "-4.log");
  EXPECT_FALSE(f4.good()) << "MAXFILES=3 must not make a fourth file";
  for (int i = 1; i <= 3; ++i) std::remove((base + "-" + std::to_string(i) + ".log").c_str());
}

// Two logs on the same settings in one process, as the agent and its counter service have: every
// line of both stays, and none overwrites another.
TEST(RotatingLog, TwoWritersInOneProcessKeepEveryLine) {
  std::string base = TempDir() + "/jbx_two_" + Unique();
  jbx::LogSpec settings = jbx::ParseLogSpec(base + "-.log LIMIT=1K MAXFILES=3", "$", "t", "u");
  {
    jbx::RotatingLog agent(settings);
    ASSERT_TRUE(agent.Write("agent 1\n"));
    jbx::RotatingLog service(settings);
    ASSERT_TRUE(service.Write("service 1\n"));
    ASSERT_TRUE(agent.Write("agent 2\n"));
    ASSERT_TRUE(service.Write("service 2\n"));
  }
  EXPECT_EQ(ReadFile(base + "-1.log"), "agent 1\nservice 1\nagent 2\nservice 2\n");
  std::remove((base + "-1.log").c_str());
}

// The same, writing at the same time: each line is appended whole, none lands on another's place.
TEST(RotatingLog, TwoConcurrentWritersInOneProcessKeepEveryLine) {
  const std::string path = TempDir() + "/jbx_both_" + Unique() + ".log";
  const jbx::LogSpec settings = jbx::ParseLogSpec(path, "$", "t", "u");
  constexpr int kLines = 2000;
  {
    jbx::RotatingLog agent(settings), service(settings);
    auto write = [](jbx::RotatingLog* log, const char* who) {
      for (int i = 0; i < kLines; ++i) log->Write(std::string(who) + " line " + std::to_string(i) + " of the trace\n");
    };
    std::thread a(write, &agent, "agent"), b(write, &service, "service");
    a.join();
    b.join();
  }
  std::ifstream in(path);
  std::string line;
  int agentLines = 0, serviceLines = 0, broken = 0;
  while (std::getline(in, line)) {
    if (line.rfind("agent line ", 0) == 0 && line.find(" of the trace") != std::string::npos) ++agentLines;
    else if (line.rfind("service line ", 0) == 0 && line.find(" of the trace") != std::string::npos) ++serviceLines;
    else ++broken;
  }
  in.close();
  EXPECT_EQ(agentLines, kLines);
  EXPECT_EQ(serviceLines, kLines);
  EXPECT_EQ(broken, 0);
  std::remove(path.c_str());
}

// A trace file that an earlier run left is started afresh, not appended to.
TEST(RotatingLog, FileOfAnEarlierRunStartsAfresh) {
  std::string base = TempDir() + "/jbx_old_" + Unique();
  {
    std::ofstream old(base + "-1.log");
    old << "earlier run\n";
  }
  namespace fs = std::filesystem;
  fs::last_write_time(base + "-1.log", fs::last_write_time(base + "-1.log") - std::chrono::hours(1));
  {
    jbx::RotatingLog log(jbx::ParseLogSpec(base + "-.log LIMIT=1K", "$", "t", "u"));
    ASSERT_TRUE(log.Write("this run\n"));
  }
  EXPECT_EQ(ReadFile(base + "-1.log"), "this run\n");
  std::remove((base + "-1.log").c_str());
}

TEST(RotatingLog, CountPrunesOlderStartsThroughInventory) {
  std::string dir = TempDir();
  std::string inv = dir + "/jbx_inv_" + Unique() + ".inv";
  std::vector<std::string> files;
  for (int start = 0; start < 4; ++start) {
    std::string name = dir + "/jbx_cnt_" + std::to_string(start) + "-.log";
    jbx::LogSpec settings =
        jbx::ParseLogSpec(name + " INVENTORY=" + inv + " COUNT=2 LIMIT=1", "$", "t", "u");
    jbx::RotatingLog log(settings);
    ASSERT_TRUE(log.Write("x\n"));
    files.push_back(jbx::SegmentName(settings, 1));
  }
  EXPECT_FALSE(std::ifstream(files[0]).good());
  EXPECT_FALSE(std::ifstream(files[1]).good());
  EXPECT_TRUE(std::ifstream(files[2]).good());
  EXPECT_TRUE(std::ifstream(files[3]).good());
  std::string inventory = ReadFile(inv);
  EXPECT_EQ(inventory.find(files[0]), std::string::npos);
  EXPECT_NE(inventory.find(files[3]), std::string::npos);
  for (auto& f : files) std::remove(f.c_str());
  std::remove(inv.c_str());
}

TEST(RotatingLog, UnwritableDirectoryIsNotFatal) {
  jbx::LogSpec settings = jbx::ParseLogSpec("/nonexistent-dir/x/y-.log LIMIT=1", "$", "t", "u");
  jbx::RotatingLog log(settings);
  EXPECT_FALSE(log.ok());
  EXPECT_FALSE(log.Write("line\n"));
}

int TracedFunction(int v) {
  QMX_ENTRY();
  QMX_FLOW("TracedFunction: flow %d", v);
  QMX_ERROR("TracedFunction: error %d", v);
  QMX_ALWAYS("TracedFunction: always %d", v);
  QMX_RETURN(v * 2);
}

TEST(Trace, LevelChangeReachesFunctionsThroughGeneration) {
  std::string path = TempDir() + "/jbx_trace_" + Unique() + ".log";
  BSS1_PutEnv(("JBX_RAS1_LOG=" + path).c_str());
  BSS1_PutEnv("JBX_RAS1=ERROR");
  EXPECT_EQ(TracedFunction(1), 2);
  BSS1_PutEnv("JBX_RAS1=ERROR (UNIT:jbx_test ALL)");
  EXPECT_EQ(TracedFunction(2), 4);
  BSS1_PutEnv("JBX_RAS1=NONE");
  EXPECT_EQ(TracedFunction(3), 6);
  std::string text = ReadFile(path);
  EXPECT_EQ(text.find("flow 1"), std::string::npos);
  EXPECT_NE(text.find("error 1"), std::string::npos);
  EXPECT_NE(text.find("always 1"), std::string::npos);
  EXPECT_NE(text.find("flow 2"), std::string::npos);
  EXPECT_NE(text.find("\"TracedFunction\") Entry"), std::string::npos);
  EXPECT_NE(text.find("\"TracedFunction\") Exit: 0x4"), std::string::npos);
  EXPECT_NE(text.find("jbx_test,"), std::string::npos) << "unit name on every line";
  EXPECT_EQ(text.find("error 3"), std::string::npos);
  EXPECT_NE(text.find("always 3"), std::string::npos) << "unguarded lines are always written";
  BSS1_PutEnv("JBX_RAS1_LOG=");
  BSS1_PutEnv("JBX_RAS1=ERROR");
  std::remove(path.c_str());
}

TEST(Trace, BadSpecSaysSoOnceAndTracesErrors) {
  std::string path = TempDir() + "/jbx_bad_" + Unique() + ".log";
  BSS1_PutEnv(("JBX_RAS1_LOG=" + path).c_str());
  BSS1_PutEnv("JBX_RAS1=(UNIT:zrt LOTS");
  TracedFunction(5);
  TracedFunction(6);
  std::string text = ReadFile(path);
  size_t first = text.find("not understood");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.find("not understood", first + 1), std::string::npos);
  EXPECT_NE(text.find("error 5"), std::string::npos);
  EXPECT_EQ(text.find("flow 5"), std::string::npos);
  BSS1_PutEnv("JBX_RAS1_LOG=");
  BSS1_PutEnv("JBX_RAS1=ERROR");
  std::remove(path.c_str());
}

TEST(Trace, ConcurrentWritersKeepLinesWhole) {
  std::string path = TempDir() + "/jbx_mt_" + Unique() + ".log";
  BSS1_PutEnv(("JBX_RAS1_LOG=" + path).c_str());
  BSS1_PutEnv("JBX_RAS1=ERROR");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) TracedFunction(t * 1000 + i);
    });
  for (auto& th : threads) th.join();
  std::ifstream in(path);
  std::string line;
  int errors = 0;
  while (std::getline(in, line)) {
    ASSERT_EQ(line[0], '(') << line;
    if (line.find("TracedFunction: error") != std::string::npos) ++errors;
  }
  EXPECT_EQ(errors, 800);
  BSS1_PutEnv("JBX_RAS1_LOG=");
  std::remove(path.c_str());
}

TEST(Env, GetPutAndUpper) {
  BSS1_PutEnv("QMX_JBX_TEST=first");
  const char* a = BSS1_GetEnv("QMX_JBX_TEST", 0);
  ASSERT_NE(a, nullptr);
  BSS1_PutEnv("QMX_JBX_TEST=second value");
  EXPECT_STREQ(a, "first") << "an earlier result stays valid";
  EXPECT_STREQ(BSS1_GetEnv("QMX_JBX_TEST", 0), "second value");
  EXPECT_EQ(BSS1_GetEnv("QMX_JBX_NEVER_SET_42", 0), nullptr);
  BSS1_PutEnv("no equals sign");
  BSS1_PutEnv("=value");
  EXPECT_STREQ(BSS1_ToUpper("limit=5 maxFiles", 9), "LIMIT=5 M");
}

}  // namespace
