#include "setjbxras1env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "jbx.h"
#include "test_env.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

using qmxtest::SetEnv;

using qmxtest::Env;

std::string TaskName() {
#ifdef _WIN32
  char path[MAX_PATH] = {0};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  fs::path p(path);
#else
  fs::path p = fs::read_symlink("/proc/self/exe");
#endif
  return p.stem().string();
}

// Each case starts from the initial texts, in a directory of its own, so that the trace files
// the library opens for the new values land there.
class Ras1Env : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRas1Env();
    dir_ = fs::temp_directory_path() /
           ("qmx-rasenv-" + std::to_string(
#ifdef _WIN32
                                GetCurrentProcessId()
#else
                                getpid()
#endif
                                    ) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    old_ = fs::current_path();
    fs::current_path(dir_);
    for (const char* n : {"JBX_RAS1", "JBX_RAS1_LOG", "JBX_VARPREFIX", "VORTA_LOG_PATH"})
      SetEnv(n, nullptr);
  }
  void TearDown() override {
    // Let the trace library let go of its files before they are removed.
    SetEnv("JBX_RAS1_LOG", nullptr);
    SetEnv("JBX_RAS1", "ERROR");
    fs::current_path(old_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_, old_;
};

TEST_F(Ras1Env, LogValueForEachStartingPoint) {
  struct Case {
    const char* ras1;
    const char* log;
    const char* logPath;
    const char* prefix;
    const char* want;
  } cases[] = {
      // No log value and no "> file": the log directory of the agent, default limits.
      {"ERROR", nullptr, "C:\\qmx\\logs", nullptr,
       "C:\\qmx\\logs/$(systask)_$(sysutcstart)-.log INVENTORY=C:\\qmx\\logs/$(systask).inv "
       "COUNT=03 PRESERVE=0 LIMIT=1 MAXFILES=10"},
      // Nothing at all: file names only.
      {nullptr, nullptr, nullptr, nullptr, "$(systask)_$(sysutcstart)-.log INVENTORY=$(systask).inv"},
      // "> file" in JBX_RAS1: its directory and separator.
      {"ERROR FLOW > C:\\trace\\qmx.log \r\n", nullptr, "C:\\ignored", nullptr,
       "C:\\trace\\$(systask)_$(sysutcstart)-.log INVENTORY=C:\\trace\\$(systask).inv COUNT=03 "
       "PRESERVE=0 LIMIT=1 MAXFILES=10"},
      {"ERROR > qmx.log", nullptr, nullptr, nullptr,
       "qmx.log/$(systask)_$(sysutcstart)-.log INVENTORY=qmx.log/$(systask).inv COUNT=03 "
       "PRESERVE=0 LIMIT=1 MAXFILES=10"},
      // A log value of our own pattern: directory and stem kept, MAXFILES alone taken over.
      {"ERROR", "C:\\logs\\host_qmx_agent_20111109-.log MAXFILES=5", "C:\\ignored", nullptr,
       "C:\\logs\\host_qmx_$(systask)_$(sysutcstart)-.log INVENTORY=C:\\logs\\host_qmx_$(systask).inv "
       "COUNT=03 PRESERVE=0 LIMIT=1 MAXFILES=5"},
      // A stem that repeats the last token loses the repeat.
      {"ERROR", "/l/a_agent_x_agent_123-.log limit=4 Count = 2", nullptr, nullptr,
       "/l/a_agent_$(systask)_$(sysutcstart)-.log INVENTORY=/l/a_agent_$(systask).inv COUNT=2 "
       "PRESERVE=0 LIMIT=4 MAXFILES=10"},
      // No "-.": no directory, and no stem.
      {"ERROR", "C:\\logs\\qmx.log", nullptr, nullptr,
       "_$(systask)_$(sysutcstart)-.log INVENTORY=_$(systask).inv"},
      // A quoted directory gets its quotes closed.
      {"ERROR", "\"C:\\Program Files\\logs\\h_k_a_1-.log\"", nullptr, nullptr,
       "\"C:\\Program Files\\logs\\h_k_$(systask)_$(sysutcstart)-.log\" INVENTORY=\"C:\\Program "
       "Files\\logs\\h_k_$(systask).inv\" COUNT=03 PRESERVE=0 LIMIT=1 MAXFILES=10"},
      // A log directory with blanks (an installation under "Program Files") is quoted.
      {"ERROR", nullptr, "C:\\Program Files\\QMX\\logs", nullptr,
       "\"C:\\Program Files\\QMX\\logs/$(systask)_$(sysutcstart)-.log\" INVENTORY=\"C:\\Program "
       "Files\\QMX\\logs/$(systask).inv\" COUNT=03 PRESERVE=0 LIMIT=1 MAXFILES=10"},
      // Keywords inside a directory name are not keywords.
      {"ERROR", "/ACCOUNTS/UNLIMITED/a_b_c-.log", nullptr, nullptr,
       "/ACCOUNTS/UNLIMITED/a_$(systask)_$(sysutcstart)-.log INVENTORY=/ACCOUNTS/UNLIMITED/"
       "a_$(systask).inv COUNT=03 PRESERVE=0 LIMIT=1 MAXFILES=10"},
      // Another substitution prefix.
      {"ERROR", nullptr, "/nonexistent-qmx", "%", "/nonexistent-qmx/%(systask)_%(sysutcstart)-.log INVENTORY="
       "/nonexistent-qmx/%(systask).inv COUNT=03 PRESERVE=0 LIMIT=1 MAXFILES=10"},
  };
  for (const Case& c : cases) {
    ResetRas1Env();
    SetEnv("JBX_RAS1", c.ras1);
    SetEnv("JBX_RAS1_LOG", c.log);
    SetEnv("VORTA_LOG_PATH", c.logPath);
    SetEnv("JBX_VARPREFIX", c.prefix);
    setJbxRas1EnvironmentVariable("QMX64ENV");
    EXPECT_EQ(Env("JBX_RAS1_LOG"), c.want) << (c.log ? c.log : "(no log value)");
    EXPECT_EQ(Env("JBX_VARPREFIX"), c.prefix ? c.prefix : "$");
    if (c.ras1) {
      EXPECT_EQ(Env("JBX_RAS1"), c.ras1);
    }
  }
}

TEST_F(Ras1Env, SetVarReplacesAndKeepsTheText) {
  setVar("QMX_RASENV_TEST", "one");
  EXPECT_EQ(Env("QMX_RASENV_TEST"), "one");
  setVar("QMX_RASENV_TEST", "two");
  EXPECT_EQ(Env("QMX_RASENV_TEST"), "two");
}

// The trace library honours what we set: the rotating file of this task and start appears in
// the agent's log directory, with the inventory beside it.
TEST_F(Ras1Env, TraceGoesToTheRotatingFileOfThisTask) {
  std::string logDir = dir_.string();
  SetEnv("VORTA_LOG_PATH", logDir.c_str());
  SetEnv("JBX_RAS1", "ERROR");
  setJbxRas1EnvironmentVariable("QMX64ENV");
  {
    QMX_ENTRY_NAMED("Ras1EnvTest");
    QMX_ALWAYS("rasenv marker line");
  }
  std::string task = TaskName();
  std::regex name(std::regex_replace(task, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                  "_[0-9]{14}-1\\.log");
  fs::path found;
  for (const auto& e : fs::directory_iterator(dir_))
    if (std::regex_match(e.path().filename().string(), name)) found = e.path();
  ASSERT_FALSE(found.empty()) << "no " << task << "_<start>-1.log in " << logDir;
  std::ifstream in(found);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("rasenv marker line"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir_ / (task + ".inv")));
}

}  // namespace
