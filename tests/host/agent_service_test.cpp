// The agent installed as the service qmx_agent in Wine's service control manager.
#include <gtest/gtest.h>
#include <windows.h>

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
  ScHandle scm_, service_;
};

TEST_F(AgentService, StartControlsAndStop) {
  ASSERT_TRUE(StartServiceA(service_.h, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(WaitForState(service_.h, SERVICE_RUNNING, 15000));
  SERVICE_STATUS running = Query(service_.h);
  EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

  // PAUSE, CONTINUE, INTERROGATE and an unknown code re-report the state and never change it.
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

}

}  // namespace
