// A Windows service for the tests, installed under Exchange service names:
//   qmx_test_service.exe <service name> [hold=start|stop|pause|continue] [padding...]
// It reports running and accepts stop, pause and continue. With a hold it stays in that
// transition's pending state until the named event "qmx_test_release_<name>" is set; then it
// completes the transition. Extra arguments are ignored (tests pad the command line with them).
#include <windows.h>

#include <cstring>
#include <string>

namespace {

std::string g_name;
std::string g_hold;
SERVICE_STATUS_HANDLE g_handle = nullptr;
CRITICAL_SECTION g_lock;
SERVICE_STATUS g_status = {};
HANDLE g_wake = nullptr;     // a control arrived
HANDLE g_release = nullptr;  // the test lets a held transition complete
DWORD g_pending = 0;         // the pending state being worked on, 0 none

void Report(DWORD state) {
  EnterCriticalSection(&g_lock);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted =
      state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING
          ? 0
          : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
  g_status.dwWin32ExitCode = NO_ERROR;
  g_status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ||
                                  state == SERVICE_PAUSED
                              ? 0
                              : g_status.dwCheckPoint + 1;
  g_status.dwWaitHint = 60000;
  SetServiceStatus(g_handle, &g_status);
  LeaveCriticalSection(&g_lock);
}

bool Held(const char* transition) { return g_hold == transition; }

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  DWORD pending = 0;
  switch (control) {
    case SERVICE_CONTROL_STOP: pending = SERVICE_STOP_PENDING; break;
    case SERVICE_CONTROL_PAUSE: pending = SERVICE_PAUSE_PENDING; break;
    case SERVICE_CONTROL_CONTINUE: pending = SERVICE_CONTINUE_PENDING; break;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
  EnterCriticalSection(&g_lock);
  g_pending = pending;
  LeaveCriticalSection(&g_lock);
  Report(pending);
  SetEvent(g_wake);
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, char**) {
  g_handle = RegisterServiceCtrlHandlerExA(g_name.c_str(), Handler, nullptr);
  if (!g_handle) return;
  Report(SERVICE_START_PENDING);
  if (Held("start")) WaitForSingleObject(g_release, INFINITE);
  Report(SERVICE_RUNNING);
  for (;;) {
    WaitForSingleObject(g_wake, INFINITE);
    EnterCriticalSection(&g_lock);
    DWORD pending = g_pending;
    g_pending = 0;
    LeaveCriticalSection(&g_lock);
    if (pending == SERVICE_STOP_PENDING) {
      if (Held("stop")) WaitForSingleObject(g_release, INFINITE);
      Report(SERVICE_STOPPED);
      return;
    }
    if (pending == SERVICE_PAUSE_PENDING) {
      if (Held("pause")) WaitForSingleObject(g_release, INFINITE);
      Report(SERVICE_PAUSED);
    } else if (pending == SERVICE_CONTINUE_PENDING) {
      if (Held("continue")) WaitForSingleObject(g_release, INFINITE);
      Report(SERVICE_RUNNING);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  g_name = argv[1];
  for (int i = 2; i < argc; ++i)
    if (std::strncmp(argv[i], "hold=", 5) == 0) g_hold = argv[i] + 5;
  InitializeCriticalSection(&g_lock);
  g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_release = CreateEventA(nullptr, TRUE, FALSE, ("qmx_test_release_" + g_name).c_str());
  std::string name = g_name;
  SERVICE_TABLE_ENTRYA table[] = {{&name[0], ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
