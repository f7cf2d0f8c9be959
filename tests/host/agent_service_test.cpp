// The agent installed as the service qmx_agent in Wine's service control manager.
#include <gtest/gtest.h>
#include <windows.h>

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

class AgentService : public ::testing::Test {
 protected:
  void SetUp() override {
    scm_.h = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm_.h);
    Remove();
    std::string path = "\"" + qmxtest::BinDir() + "qmx_agent.exe\"";
    service_.h = CreateServiceA(scm_.h, "qmx_agent", "qmx_agent test", SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(service_.h) << GetLastError();
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
  std::string Traces(const qmxtest::AgentEnvironment& env) {
    std::string all;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((env.logDir() + "\\*.log").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return all;
    do all += qmxtest::ReadWholeFile(env.logDir() + "\\" + fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    return all;
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

  // PAUSE, CONTINUE, INTERROGATE and an unknown code re-report the state and never change it. (The
  // service manager itself turns PAUSE and CONTINUE away, since the service does not accept them.)
  for (DWORD control : {DWORD(SERVICE_CONTROL_INTERROGATE), DWORD(SERVICE_CONTROL_PAUSE),
                        DWORD(SERVICE_CONTROL_CONTINUE), DWORD(200)}) {
    SERVICE_STATUS s = {};
    ControlService(service_.h, control, &s);
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

  std::string t = Traces(env);
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

TEST_F(AgentService, RereggArgumentInAnyCaseForcesTheRegistration) {
  for (const char* arg : {"ReReg", "rereg", "other"}) {
    qmxtest::AgentEnvironment env;
    Configure(env);
    const char* args[] = {arg};
    ASSERT_TRUE(StartServiceA(service_.h, 1, args)) << GetLastError();
    ASSERT_TRUE(WaitForState(service_.h, SERVICE_RUNNING, 15000));
    Sleep(500);
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
