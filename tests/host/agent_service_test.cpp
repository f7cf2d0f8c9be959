// The agent installed as the service qmx_agent in Wine's service control manager.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <thread>

#include <cstdlib>
#include <string>
#include <vector>

#include "win_process.h"

namespace {

struct ScHandle {
  SC_HANDLE h = nullptr;
  ~ScHandle() {
    if (h) CloseServiceHandle(h);
  }
};

SERVICE_STATUS Query(SC_HANDLE service) {
  SERVICE_STATUS s = {};
  QueryServiceStatus(service, &s);
  return s;
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (Query(service).dwCurrentState == state) return true;
    Sleep(50);
  }
  return Query(service).dwCurrentState == state;
}

// The status reports a trace shows, in the order they were sent: "<state> <check point>, wait
// hint <ms>". The trace has them only from the moment the agent's trace settings took effect.
std::vector<std::string> StatusReports(const std::string& t) {
  std::vector<std::string> reports;
  const std::string sending = "SendStatusToSCM: Sending ", numbers = "SendStatusToSCM: check point ";
  for (size_t at = t.find(sending); at != std::string::npos; at = t.find(sending, at + 1)) {
    const size_t state = at + sending.size();
    size_t detail = t.find(numbers, state);
    if (detail == std::string::npos) break;
    detail += numbers.size();
    reports.push_back(t.substr(state, t.find(' ', state) - state) + " " +
                      t.substr(detail, t.find(", exit", detail) - detail));
  }
  return reports;
}

class AgentService : public ::testing::Test {
 protected:
  void SetUp() override {
    scm_.h = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm_.h);
    Install("\"" + qmxtest::ProductDir() + "qmx_agent.exe\"");
  }
  // Installs the service qmx_agent with this command line, replacing an earlier installation.
  void Install(const std::string& commandLine) {
    if (service_.h) {
      DeleteService(service_.h);
      CloseServiceHandle(service_.h);
      service_.h = nullptr;
    }
    Remove();
    service_.h = CreateServiceA(scm_.h, "qmx_agent", "qmx_agent test", SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(service_.h) << GetLastError();
  }
  // The service's process, to wait for its end: STOPPED is reported before main writes its last lines.
  HANDLE OpenServiceProcess(DWORD access = SYNCHRONIZE) {
    SERVICE_STATUS_PROCESS process = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service_.h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                              sizeof process, &needed))
      return nullptr;
    return OpenProcess(access, FALSE, process.dwProcessId);
  }
  void TearDown() override {
    if (service_.h && Query(service_.h).dwCurrentState != SERVICE_STOPPED) {
      SERVICE_STATUS s;
      ControlService(service_.h, SERVICE_CONTROL_STOP, &s);
      WaitForState(service_.h, SERVICE_STOPPED, 10000);
    }
    if (service_.h) DeleteService(service_.h);
  }
  void Remove() {
    SC_HANDLE old = OpenServiceA(scm_.h, "qmx_agent", SERVICE_ALL_ACCESS);
    if (!old) return;
    SERVICE_STATUS s;
    ControlService(old, SERVICE_CONTROL_STOP, &s);
    WaitForState(old, SERVICE_STOPPED, 10000);
    DeleteService(old);
    CloseServiceHandle(old);
  }
  // The service takes its trace settings from its instance key once HqMain has read it.
  void Configure(qmxtest::AgentEnvironment& env) {
    log_ = env.logDir() + "\\host_qmx_agent_service-.log";
    env.SetValue("JBX_RAS1", "ERROR (UNIT:zrt ALL)");
    env.SetValue("JBX_RAS1_LOG", log_);
  }
  std::string Traces(const qmxtest::AgentEnvironment& env) { return qmxtest::ReadLogs(env.logDir()); }
  // Whether the agent's trace shows the text within 15 s.
  bool WaitForTrace(const qmxtest::AgentEnvironment& env, const char* text) {
    for (int i = 0; i < 300; ++i) {
      if (Traces(env).find(text) != std::string::npos) return true;
      Sleep(50);
    }
    return false;
  }

  std::string log_;
  ScHandle scm_, service_;
};

TEST_F(AgentService, StartControlsAndStop) {
  qmxtest::AgentEnvironment env;
  Configure(env);
  ASSERT_TRUE(StartServiceA(service_.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service_.h, SERVICE_RUNNING, 15000));
  SERVICE_STATUS running = Query(service_.h);
  EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  HANDLE agent = OpenServiceProcess();
  ASSERT_TRUE(agent) << GetLastError();
  std::unique_ptr<void, decltype(&CloseHandle)> agent_owner(agent, &CloseHandle);

  // PAUSE, CONTINUE, INTERROGATE and an unknown code re-report the state and never change it. (The
  // service manager itself turns PAUSE and CONTINUE away, since the service does not accept them.)
  // The agent thread loads the trace settings after RUNNING; the controls are sent once it has.
  ASSERT_TRUE(WaitForTrace(env, "HqMain: Environment Set")) << Traces(env);
  for (DWORD control : {DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(SERVICE_CONTROL_PAUSE),
                        DWORD(SERVICE_CONTROL_CONTINUE), DWORD(200)}) {
    SERVICE_STATUS s = {};
    const BOOL sent = ControlService(service_.h, control, &s);
    const DWORD why = GetLastError();
    if (control == SERVICE_CONTROL_INTERROGATE || control == 200) {
      EXPECT_TRUE(sent) << control << " refused: " << why;
    }
    Sleep(100);
    SERVICE_STATUS q = Query(service_.h);
    EXPECT_EQ(q.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << control;
    EXPECT_EQ(q.dwCheckPoint, 0u);
    EXPECT_EQ(q.dwWaitHint, 0u);
  }

  SERVICE_STATUS s = {};
  ASSERT_TRUE(ControlService(service_.h, SERVICE_CONTROL_STOP, &s));
  ASSERT_TRUE(WaitForState(service_.h, SERVICE_STOPPED, 15000));
  EXPECT_EQ(Query(service_.h).dwWin32ExitCode, 0u);
  EXPECT_EQ(WaitForSingleObject(agent, 15000), WAIT_OBJECT_0);

  std::string t = Traces(env);
  // The stop is reported pending twice and then stopped, and nothing follows STOPPED.
  std::vector<std::string> reports = StatusReports(t);
  auto stop = std::find(reports.begin(), reports.end(), "SERVICE_STOP_PENDING 1, wait hint 1000");
  ASSERT_NE(stop, reports.end()) << t;
  const std::vector<std::string> stopping(stop, reports.end());
  const std::vector<std::string> expected = {"SERVICE_STOP_PENDING 1, wait hint 1000",
                                             "SERVICE_STOP_PENDING 2, wait hint 0",
                                             "SERVICE_STOPPED 0, wait hint 0"};
  EXPECT_EQ(stopping, expected);
  for (const char* line : {"HqMain: Environment Set", "HqMain: framework thread started.",
                           "ServiceCtrlHandler: Control Code - SERVICE_CONTROL_INTERROGATE",
                           "ServiceCtrlHandler: Control Code - 000000c8 undefined.  Ignored.",
                           "ServiceCtrlHandler: Control Code - SERVICE_CONTROL_STOP",
                           "SendStatusToSCM: check point 1, wait hint 1000", "SendStatusToSCM: check point 2, wait hint 0",
                           "LaunchServiceTerminationThread: Service termination requested.",
                           "ServiceTerminationThread: Stopping service.", "StopService: Terminating HQ",
                           "Triggering termination event",
                           "ServiceMain: Returned from termination event wait", "Sending SERVICE_STOPPED status to SCM",
                           "\"ServiceCtrlHandler\") Entry", "\"SendStatusToSCM\") Exit: 0x1",
                           "Main: StartServiceCtrlDispatcher returns TRUE", "Main: TERMINATION"})
    EXPECT_NE(t.find(line), std::string::npos) << "MISSING " << line;

}

// Both START_PENDING reports precede RUNNING, with their check points and wait hints.
TEST_F(AgentService, StartIsReportedPendingTwiceThenRunning) {
  qmxtest::AgentEnvironment env;
  Configure(env);
  Install("\"" + qmxtest::BinDir() + "service_status_probe.exe\" JBX_RAS1 \"ERROR (UNIT:zrt ALL)\" " +
          "JBX_RAS1_LOG \"" + log_ + "\"");
  ASSERT_TRUE(StartServiceA(service_.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service_.h, SERVICE_RUNNING, 15000));
  HANDLE probe = OpenServiceProcess();
  ASSERT_TRUE(probe) << GetLastError();
  std::unique_ptr<void, decltype(&CloseHandle)> probe_owner(probe, &CloseHandle);
  SERVICE_STATUS s = {};
  ASSERT_TRUE(ControlService(service_.h, SERVICE_CONTROL_STOP, &s));
  ASSERT_TRUE(WaitForState(service_.h, SERVICE_STOPPED, 15000));
  EXPECT_EQ(WaitForSingleObject(probe, 15000), WAIT_OBJECT_0);

  // The reports in the order they were sent, up to the first RUNNING.
  const std::string t = Traces(env);
  std::vector<std::string> reports = StatusReports(t);
  reports.resize(std::min<size_t>(reports.size(), 3));
  const std::vector<std::string> expected = {"SERVICE_START_PENDING 1, wait hint 1000",
                                             "SERVICE_START_PENDING 2, wait hint 5000",
                                             "SERVICE_RUNNING 0, wait hint 0"};
  EXPECT_EQ(reports, expected) << t.substr(0, 4000);
}

// A configuration failure in service mode tells the service manager: STOPPED with the Win32 exit
// code 1212, and the process ends with that code.
TEST_F(AgentService, ConfigurationFailureReportsStopped) {
  qmxtest::AgentEnvironment env;
  Configure(env);
  ASSERT_EQ(RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, (env.instanceKey() + "\\Environment").c_str(), "VORTA_SIT_PATH"),
            ERROR_SUCCESS);
  ASSERT_TRUE(StartServiceA(service_.h, 0, nullptr)) << GetLastError();
  HANDLE agent = OpenServiceProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION);
  ASSERT_TRUE(agent) << GetLastError();
  std::unique_ptr<void, decltype(&CloseHandle)> agent_owner(agent, &CloseHandle);
  EXPECT_TRUE(WaitForState(service_.h, SERVICE_STOPPED, 30000)) << Traces(env);
  SERVICE_STATUS s = Query(service_.h);
  EXPECT_EQ(s.dwWin32ExitCode, 1212u);
  EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
  ASSERT_EQ(WaitForSingleObject(agent, 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(agent, &code));
  EXPECT_EQ(code, 1212u);
  EXPECT_NE(Traces(env).find("HqMain: EXITING due to configuration initialization failure"), std::string::npos);
}

TEST_F(AgentService, RereggArgumentInAnyCaseForcesTheRegistration) {
  for (const char* arg : {"ReReg", "rereg", "other"}) {
    qmxtest::AgentEnvironment env;
    Configure(env);
    const char* args[] = {arg};
    ASSERT_TRUE(StartServiceA(service_.h, 1, args)) << GetLastError();
    ASSERT_TRUE(WaitForState(service_.h, SERVICE_RUNNING, 15000));
    // Past the registration step before the stop, so that a busy machine cannot cut it short.
    EXPECT_TRUE(WaitForTrace(env, "HqMain: framework thread started.")) << arg;
    SERVICE_STATUS s;
    ControlService(service_.h, SERVICE_CONTROL_STOP, &s);
    ASSERT_TRUE(WaitForState(service_.h, SERVICE_STOPPED, 15000));
    std::string t = Traces(env);
    bool forced = t.find("HqMain: Forcing Reregistration of DLL") != std::string::npos;
    EXPECT_EQ(forced, std::string(arg) != "other") << arg << ": " << t.substr(0, 2000);
    EXPECT_NE(t.find("HqMain: Environment Set"), std::string::npos) << arg;
  }
}

}  // namespace
