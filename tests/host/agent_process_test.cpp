// The agent executable started by hand: options, console mode and the dispatcher failure.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "win_process.h"

namespace {

std::string Agent() { return "\"" + qmxtest::BinDir() + "qmx_agent.exe\""; }

TEST(AgentProcess, UnknownOptionsEndWithCodeOne) {
  for (const char* option : {"TEST2", "-TEST", "/1"}) {
    qmxtest::ProcessResult r = qmxtest::Run(Agent() + " " + option + " ignored-second-arg");
    EXPECT_EQ(r.exitCode, 1u) << option;
    EXPECT_NE(r.out.find("QMXI100: "), std::string::npos) << "banner first";
    EXPECT_NE(r.out.find(std::string("QMXE103: Unknown option \"") + option +
                         "\" was specified. Ending process."),
              std::string::npos)
        << r.out;
  }
}

// Console mode runs until the shutdown event is set, then ends in order with code 0.
TEST(AgentProcess, ConsoleModeRunsUntilShutdownEvent) {
  for (const char* option : {"test", "Test", "1"}) {
    qmxtest::ProcessResult r;
    std::thread runner([&] { r = qmxtest::Run(Agent() + " " + option, 60000); });
    HANDLE event = nullptr;
    for (int i = 0; i < 400 && !event; ++i) {
      event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QMX-SHUTDOWN");
      if (!event) Sleep(25);
    }
    ASSERT_NE(event, nullptr) << "the agent creates its shutdown event";
    Sleep(1500);  // still running: console mode does not end by itself
    DWORD running = 0;
    EXPECT_TRUE(SetEvent(event));
    CloseHandle(event);
    runner.join();
    EXPECT_FALSE(r.timedOut) << option;
    EXPECT_EQ(r.exitCode, 0u) << option;
    EXPECT_NE(r.out.find("QMXI101: Starting "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("in console mode."), std::string::npos);
    (void)running;
  }
}

// Outside the service control manager the dispatcher fails with 1063 (after about 10 s in Wine).
TEST(AgentProcess, NoArgumentOutsideTheServiceManager) {
  qmxtest::ProcessResult r = qmxtest::Run(Agent(), 60000);
  EXPECT_EQ(r.exitCode, 1063u);
  EXPECT_NE(r.err.find("use:\n\t"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" TEST - To run as a console application for debugging.\n\t"), std::string::npos);
  EXPECT_NE(r.err.find("StartServiceCtrlDispatcher being called.\nThis may take several seconds.  Please wait...\n"),
            std::string::npos);
  size_t e102 = r.out.find("QMXE102: Error starting as a system service.");
  ASSERT_NE(e102, std::string::npos) << r.out;
  char system[512] = {0};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 1063, 0, system,
                 sizeof system, nullptr);
  std::string text = system;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  ASSERT_FALSE(text.empty());
  EXPECT_NE(r.out.find(text, e102), std::string::npos) << "system text after message 102: " << r.out;
}

}  // namespace
