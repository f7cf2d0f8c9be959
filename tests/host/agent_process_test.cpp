// The agent executable started by hand: options, console mode and the dispatcher failure.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>
#include <thread>

#include "test_counter_service.h"
#include "win_process.h"

namespace {

std::string Agent() { return "\"" + qmxtest::ProductDir() + "qmx_agent.exe\""; }

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

// Sets variables in this process for the child, and takes them out again.
class ChildEnvironment {
 public:
  void Set(const char* name, const std::string& value) {
    names_.push_back(name);
    SetEnvironmentVariableA(name, value.c_str());
  }
  ~ChildEnvironment() {
    for (const std::string& n : names_) SetEnvironmentVariableA(n.c_str(), nullptr);
  }

 private:
  std::vector<std::string> names_;
};

// Console mode runs until the shutdown event is set, then ends in order with code 0.
TEST(AgentProcess, ConsoleModeRunsUntilShutdownEvent) {
  for (const char* option : {"test", "Test", "1"}) {
    qmxtest::AgentEnvironment env;
    const std::string log = env.logDir() + "\\host_qmx_agent_trace-.log";
    env.SetValue("JBX_RAS1", "ERROR (UNIT:zrt ALL)");
    env.SetValue("JBX_RAS1_LOG", log);
    ChildEnvironment child;
    child.Set("JBX_RAS1", "ERROR (UNIT:zrt ALL)");
    child.Set("JBX_RAS1_LOG", log);
    qmxtest::ProcessResult r;
    std::thread runner([&] { r = qmxtest::Run(Agent() + " " + option, 60000); });
    HANDLE event = nullptr;
    for (int i = 0; i < 400 && !event; ++i) {
      event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QMX-SHUTDOWN");
      if (!event) Sleep(25);
    }
    ASSERT_NE(event, nullptr) << "the agent creates its shutdown event";
    Sleep(3000);  // console mode does not end by itself
    std::string traceWhileRunning = qmxtest::ReadLogs(env.logDir());
    EXPECT_EQ(traceWhileRunning.find("Main: Returned from main wait"), std::string::npos)
        << "ended by itself: " << traceWhileRunning;
    EXPECT_TRUE(SetEvent(event));
    CloseHandle(event);
    runner.join();
    EXPECT_FALSE(r.timedOut) << option;
    EXPECT_EQ(r.exitCode, 0u) << option;
    EXPECT_NE(r.out.find("QMXI101: Starting "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("in console mode."), std::string::npos);

    // Entry and exit events of the host functions and the guarded lines, in the trace files.
    std::string t = qmxtest::ReadLogs(env.logDir());
    for (const char* line :
         {"Main: CriticalSection intialized", "Main: Shutdown event QMX-SHUTDOWN created", "Main: Console Mode",
          "Main: Going to InitService", "InitService: Attaching a new thread for agent",
          "InitService: Returned from service thread attach.", "ServiceThread will run as thread ID: ",
          "ServiceThread: Attached.", "ServiceThread: Calling HqMain", "Main: Dropping into main wait",
          "HqMain: Entry", "HqMain: COM initialized", "HqMain: framework thread started.",
          "Main: Returned from main wait", "terminate: Terminate request received.", "Closing hTerminateEvent",
          "Main: CriticalSection deleted", "Main: TERMINATION", "\"InitService\") Entry",
          "\"InitService\") Exit: 0x1", "\"HqMain\") Entry",
          // The first groups of the table loading: written while the trace moves to the task's
          // own log, which the counter service writes to as well.
          "\"LoadAgents\") Entry", "--- MS Exchange Database ---", "--- MS Exchange Directory Service ---"})
      EXPECT_NE(t.find(line), std::string::npos) << option << ": " << line;
  }
}

// First start without the counter service registered and without its DLL: messages 10106 and
// 10104, HqMain gives up with -1, and the process still stops in order. With the DLL beside the
// agent the same start registers it and goes on.
TEST(AgentProcess, CounterServiceMissingAndUnregistered) {
  auto unregister = [] {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "Orvel.QMXSRV.DUZOVEV1");
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{6F1C2D3E-4B5A-4C7D-9E8F-0A1B2C3D4E5F}");
  };
  // An agent folder of its own that holds no DEDAZUD.DLL.
  std::string dir = qmxtest::MakeTempDir("qmxnodll");
  std::string exe = dir + "\\qmx_agent.exe";
  ASSERT_TRUE(CopyFileA((qmxtest::ProductDir() + "qmx_agent.exe").c_str(), exe.c_str(), FALSE));
  {
    qmxtest::AgentEnvironment env;
    unregister();
    qmxtest::ProcessResult r = qmxtest::Run("\"" + exe + "\" test", 60000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0u) << "the agent thread's end stops the process in order";
    size_t e106 = r.out.find("QMXE106: Unable to Load DLL during registration");
    size_t e104 = r.out.find("QMXE104: Failed to register the DLL");
    EXPECT_NE(e106, std::string::npos) << r.out;
    EXPECT_NE(e104, std::string::npos) << r.out;
    EXPECT_LT(e106, e104);
    EXPECT_NE(r.err.find("HqMain: Null class id, EXITING"), std::string::npos) << r.err;
  }
  DeleteFileA(exe.c_str());
  RemoveDirectoryA(dir.c_str());

  // The build's folder has the DLL: the same start registers it and keeps running.
  qmxtest::AgentEnvironment env;
  unregister();
  qmxtest::ProcessResult r;
  std::thread runner([&] { r = qmxtest::Run(Agent() + " test", 60000); });
  HANDLE event = nullptr;
  for (int i = 0; i < 400 && !event; ++i) {
    event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QMX-SHUTDOWN");
    if (!event) Sleep(25);
  }
  ASSERT_NE(event, nullptr);
  Sleep(3000);
  HKEY key;
  bool registered = RegOpenKeyExA(HKEY_CLASSES_ROOT, "Orvel.QMXSRV.DUZOVEV1\\CLSID", 0, KEY_READ, &key) ==
                    ERROR_SUCCESS;
  if (registered) RegCloseKey(key);
  SetEvent(event);
  CloseHandle(event);
  runner.join();
  EXPECT_TRUE(registered) << "GetClassId registers the service through RegIt";
  EXPECT_EQ(r.out.find("QMXE104"), std::string::npos) << r.out;
  EXPECT_EQ(r.exitCode, 0u);
}

using qmxtest::CounterServiceRegistration;

// Runs a copy of the agent from a folder of its own (no DEDAZUD.DLL beside it) in console mode on a
// fresh agent environment, until it ends by itself.
qmxtest::ProcessResult RunAgentAlone(const char* stem) {
  std::string dir = qmxtest::MakeTempDir(stem);
  std::string exe = dir + "\\qmx_agent.exe";
  qmxtest::ProcessResult r;
  if (!CopyFileA((qmxtest::ProductDir() + "qmx_agent.exe").c_str(), exe.c_str(), FALSE)) {
    r.exitCode = GetLastError();
    r.err = "cannot copy the agent";
    return r;
  }
  {
    qmxtest::AgentEnvironment env;
    r = qmxtest::Run("\"" + exe + "\" test", 60000);
  }
  DeleteFileA(exe.c_str());
  RemoveDirectoryA(dir.c_str());
  return r;
}

// The counter service's library is loaded from the agent's own folder only: one of that name in a
// folder of the search path is never run, even when the agent's folder has none.
TEST(AgentProcess, CounterServiceLibraryOnlyFromTheAgentsFolder) {
  std::string plant = qmxtest::MakeTempDir("qmxplant");
  const std::string planted = plant + "\\DEDAZUD.DLL";
  ASSERT_TRUE(CopyFileA((qmxtest::BinDir() + "planted_library.dll").c_str(), planted.c_str(), FALSE));
  char oldPath[32768] = {0};
  GetEnvironmentVariableA("PATH", oldPath, sizeof oldPath);
  SetEnvironmentVariableA("PATH", (plant + ";" + oldPath).c_str());
  RegDeleteTreeA(HKEY_CLASSES_ROOT, "Orvel.QMXSRV.DUZOVEV1");
  qmxtest::ProcessResult r = RunAgentAlone("qmxplanted");
  SetEnvironmentVariableA("PATH", oldPath);
  DeleteFileA(planted.c_str());
  RemoveDirectoryA(plant.c_str());
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_EQ(r.out.find("planted library registered"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("QMXE106: Unable to Load DLL during registration"), std::string::npos) << r.out;
}

// The ProgID names a class whose server cannot be loaded: message 10105, HqMain gives up with -2
// and the process stops in order.
TEST(AgentProcess, CounterServiceObjectNotCreated) {
  CounterServiceRegistration registration("C:\\nowhere\\DEDAZUD.DLL");
  qmxtest::ProcessResult r = RunAgentAlone("qmxnoobj");
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_NE(r.out.find("QMXE105: Unable to Connect to Duzovev Service. Ending Process."), std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("HqMain: Duzovev instance creation FAILED..\nHqMain: CoCreateInstance returns "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("HqMain: EXITING"), std::string::npos);
}

// The counter service object is created but its Initialize fails: message 10109, HqMain gives up
// with -3 and the process stops in order.
TEST(AgentProcess, CounterServiceFailsToInitialize) {
  CounterServiceRegistration registration(qmxtest::BinDir() + "failing_counter_service.dll");
  qmxtest::ProcessResult r = RunAgentAlone("qmxfailinit");
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_NE(r.out.find("QMXE109: Counter service failed to initialize."), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("QMXE105"), std::string::npos) << "the object itself was created";
  // Released while COM still holds its library, not after the CoUninitialize that may unload it.
  EXPECT_EQ(r.err.find(qmxtest::kReleasedWithoutCom), std::string::npos) << r.err;
}

// A configuration that cannot be set up ends the process with 1212.
TEST(AgentProcess, ConfigurationFailureEndsWith1212) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Orvel\\QMX\\Ver610\\" + qmxtest::HostName()).c_str());
  ASSERT_EQ(GetEnvironmentVariableA("VORTA_SIT_PATH", nullptr, 0), 0u) << "the test needs it unset";
  qmxtest::ProcessResult r = qmxtest::Run(Agent() + " test", 60000);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Orvel\\QMX\\Ver610\\" + qmxtest::HostName()).c_str());
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.exitCode, 1212u) << r.out << r.err;
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
