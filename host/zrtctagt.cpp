// Process entry and service control: the service protocol, the agent thread, the shutdown
// rendezvous and the process exit paths.
#include <process.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qmxscripts.h"
#include "qmxtrace.h"
#include "zrtglobals.h"
#include "zrtmsg.h"

HANDLE hTerminateEvent = nullptr;
SRWLOCK terminateEventLock = SRWLOCK_INIT;
HANDLE hThreadHandle = nullptr;
SERVICE_STATUS_HANDLE hServiceStatus = 0;
CRITICAL_SECTION csStatusLock;
CRITICAL_SECTION csScriptLock;
volatile LONG bFrameworkRunning = 0;
volatile LONG bReregister = 0;

namespace {

SERVICE_STATUS serviceStatus = {};
char serviceName[] = QMX_SERVICE_NAME;
// Exit code of an orderly end; a failure reported to the service manager as STOPPED sets it, since
// the dispatcher may then return in main before the failing thread has ended the process.
volatile LONG processExitCode = 0;

// How main ends; raised inside main and handled at its end.
enum class EndState { Normal, Error, Abnormal, DispatcherFailure };
struct MainEnd {
  EndState state;
  DWORD code;
};

const char* StateName(DWORD state, char* buffer, size_t size) {
  static const char* kNames[] = {nullptr,
                                 "SERVICE_STOPPED",
                                 "SERVICE_START_PENDING",
                                 "SERVICE_STOP_PENDING",
                                 "SERVICE_RUNNING",
                                 "SERVICE_CONTINUE_PENDING",
                                 "SERVICE_PAUSE_PENDING",
                                 "SERVICE_PAUSED"};
  if (state >= 1 && state <= 7) return kNames[state];
  std::snprintf(buffer, size, "0x%.8X (Unrecognized)", static_cast<unsigned>(state));
  return buffer;
}

DWORD CurrentState() {
  EnterCriticalSection(&csStatusLock);
  DWORD state = serviceStatus.dwCurrentState;
  LeaveCriticalSection(&csStatusLock);
  return state;
}

#ifndef QMX_NO_MAIN
// Ctrl-C or a closed console in console mode: stop in order, as a service STOP would.
BOOL WINAPI ConsoleCtrlHandler(DWORD type) {
  QMX_ENTRY();
  QMX_FLOW("ConsoleCtrlHandler: console event %lu, stopping", type);
  LaunchServiceTerminationThread();
  return TRUE;
}
#endif

}  // namespace

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

BOOL SendStatusToSCM(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode, DWORD checkPoint,
                     DWORD waitHint) {
  QMX_ENTRY();
  EnterCriticalSection(&csStatusLock);
  SERVICE_STATUS status = serviceStatus;
  LeaveCriticalSection(&csStatusLock);

  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  if (state == SERVICE_RUNNING)
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  else if (state == SERVICE_PAUSED)
    status.dwControlsAccepted =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  else
    status.dwControlsAccepted = 0;
  status.dwWin32ExitCode = serviceExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : win32ExitCode;
  status.dwServiceSpecificExitCode = serviceExitCode;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;

  // Traced under the lock, so that the trace shows the reports in the order they are sent.
  EnterCriticalSection(&csStatusLock);
  char name[32];
  QMX_FLOW("SendStatusToSCM: Sending %s status to SCM", StateName(state, name, sizeof name));
  QMX_STATE("SendStatusToSCM: check point %lu, wait hint %lu, exit code %lu, service exit code %lu",
            checkPoint, waitHint, status.dwWin32ExitCode, serviceExitCode);
  // After STOPPED the process may end at any moment; a later report would undo the stop.
  const bool afterStop = serviceStatus.dwCurrentState == SERVICE_STOPPED;
  BOOL ok = TRUE;
  if (!afterStop) {
    serviceStatus = status;
    ok = SetServiceStatus(hServiceStatus, &serviceStatus);
  }
  LeaveCriticalSection(&csStatusLock);
  if (afterStop) QMX_FLOW("SendStatusToSCM: not sent, SERVICE_STOPPED was reported already");
  if (!ok) ErrorHandler(GetLastError());
  QMX_RETURN(TRUE);
}

void WINAPI ServiceCtrlHandler(DWORD control) {
  QMX_ENTRY();
  QMX_FLOW("ServiceCtrlHandler: Invoked.");
  switch (control) {
    case SERVICE_CONTROL_STOP:
      QMX_FLOW("ServiceCtrlHandler: Control Code - SERVICE_CONTROL_STOP");
      // The termination thread can stop everything before the second report; holding the status
      // lock keeps its STOPPED behind both STOP_PENDING reports.
      EnterCriticalSection(&csStatusLock);
      SendStatusToSCM(SERVICE_STOP_PENDING, NO_ERROR, 0, 1, 1000);
      LaunchServiceTerminationThread();
      SendStatusToSCM(SERVICE_STOP_PENDING, NO_ERROR, 0, 2, 0);
      LeaveCriticalSection(&csStatusLock);
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      QMX_FLOW("ServiceCtrlHandler: Control Code - SERVICE_CONTROL_SHUTDOWN");
      SendStatusToSCM(SERVICE_STOPPED, 0, 0, 0, 0);
      LaunchServiceShutdown();
      break;
    case SERVICE_CONTROL_PAUSE:
      QMX_FLOW("ServiceCtrlHandler: Control Code - SERVICE_CONTROL_PAUSE is not supported.  Ignored.");
      SendStatusToSCM(CurrentState(), NO_ERROR, 0, 0, 0);
      break;
    case SERVICE_CONTROL_CONTINUE:
      QMX_FLOW("ServiceCtrlHandler: Control Code - SERVICE_CONTROL_CONTINUE is not supported.  Ignored.");
      SendStatusToSCM(CurrentState(), NO_ERROR, 0, 0, 0);
      break;
    case SERVICE_CONTROL_INTERROGATE:
      QMX_FLOW("ServiceCtrlHandler: Control Code - SERVICE_CONTROL_INTERROGATE");
      SendStatusToSCM(CurrentState(), NO_ERROR, 0, 0, 0);
      break;
    default:
      QMX_FLOW("ServiceCtrlHandler: Control Code - %0.8lx undefined.  Ignored.", control);
      SendStatusToSCM(CurrentState(), NO_ERROR, 0, 0, 0);
      break;
  }
  QMX_FLOW("ServiceCtrlHandler: Returning control to SCM.");
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  QMX_ENTRY();
  QMX_FLOW("ServiceMain: Invoked.");
  hServiceStatus = RegisterServiceCtrlHandlerA(serviceName, ServiceCtrlHandler);
  if (!hServiceStatus) {
    terminate(GetLastError());
    return;
  }
  QMX_FLOW("ServiceMain: registered the service control handler");
  SendStatusToSCM(SERVICE_START_PENDING, NO_ERROR, 0, 1, 1000);
  QMX_FLOW("ServiceMain: Sent first status. May have to re-register DLL");
  if (argc > 1) {
    QMX_FLOW("ServiceMain: Argument one: %s", argv[1]);
    int cmp = _stricmp(argv[1], "rereg");
    QMX_FLOW("ServiceMain: comparison yields %d", cmp);
    if (cmp == 0) {
      QMX_FLOW("ServiceMain: indicating DLL to be reregistered");
      bReregister = 1;
    }
  }
  SendStatusToSCM(SERVICE_START_PENDING, NO_ERROR, 0, 2, 5000);
  QMX_FLOW("ServiceMain: Sent second status. Calling InitService");
  if (!InitService()) {
    terminate(GetLastError());
    return;
  }
  QMX_FLOW("ServiceMain: Returned from InitService");
  SendStatusToSCM(SERVICE_RUNNING, NO_ERROR, 0, 0, 0);
  QMX_FLOW("ServiceMain: Marked service as running. Now waiting for terminate event\n");
  WaitForSingleObject(hTerminateEvent, INFINITE);
  QMX_FLOW("ServiceMain: Returned from termination event wait");
  terminate(0);
}

BOOL InitService() {
  QMX_ENTRY();
  QMX_FLOW("InitService: Attaching a new thread for agent");
  unsigned threadId = 0;
  errno = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, ServiceThread, nullptr, 0, &threadId);
  if (h != 0 && h != static_cast<uintptr_t>(-1)) {
    hThreadHandle = reinterpret_cast<HANDLE>(h);
    QMX_FLOW("InitService: Returned from service thread attach.");
    QMX_FLOW("ServiceThread will run as thread ID: %d[%0.8x] (Handle: %0.8x]", threadId, threadId,
             static_cast<unsigned>(h));
    QMX_RETURN(TRUE);
  }
  char line[256];
  int err = errno;
  if (h == static_cast<uintptr_t>(-1) && err == EAGAIN)
    std::snprintf(line, sizeof line, "InitService: %s too many threads, %s", "_beginthread failed",
                  "cannot start service");
  else if (h == static_cast<uintptr_t>(-1) && err == EINVAL)
    std::snprintf(line, sizeof line, "InitService: %s, invalid arg or stack size, %s",
                  "_beginthread failed", "cannot start service");
  else if (h == static_cast<uintptr_t>(-1))
    std::snprintf(line, sizeof line, "InitService: %s RC=%d, %s", "_beginthread failed", -1,
                  "cannot start service");
  else
    std::snprintf(line, sizeof line, "InitService: %s errno<%d> doserrno<%lu>, %s",
                  "_beginthread failed", err, GetLastError(), "cannot start service");
  std::fprintf(stderr, "%s\n", line);
  QMX_ERROR("%s", line);
  QMX_RETURN(FALSE);
}

unsigned __stdcall ServiceThread(void*) {
  QMX_ENTRY();
  QMX_FLOW("ServiceThread: Attached.");
  QMX_FLOW("ServiceThread: Calling HqMain");
  char arg0[] = QMX_SERVICE_NAME;
  char* argv[] = {arg0, nullptr};
  HqMain(1, argv);
  QMX_FLOW("ServiceThread: HqMain returned. Calling StopService");
  StopService();
  QMX_FLOW("ServiceThread: EXITING");
  QMX_RETURN(0u);
}

void StopService() {
  QMX_ENTRY();
  QMX_FLOW("StopService: Attempting shutdown");
  if (bFrameworkRunning) {
    QMX_FLOW("StopService: Terminating HQ");
    HqTerminate();
  }
  QMX_FLOW("Triggering termination event");
  // Under the lock: terminate may be closing the handle on another thread.
  AcquireSRWLockShared(&terminateEventLock);
  if (hTerminateEvent) SetEvent(hTerminateEvent);
  ReleaseSRWLockShared(&terminateEventLock);
}

void LaunchServiceTerminationThread() {
  QMX_ENTRY();
  QMX_FLOW("LaunchServiceTerminationThread: Service termination requested.");
  unsigned threadId = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, ServiceTerminationThread, nullptr, 0, &threadId);
  QMX_FLOW("LaunchServiceTerminationThread: will run as thread ID: %d[%0.8x] (Handle: %0.8x)",
           threadId, threadId, static_cast<unsigned>(h));
  // The thread runs on its own; nobody waits for it.
  if (h != 0 && h != static_cast<uintptr_t>(-1)) CloseHandle(reinterpret_cast<HANDLE>(h));
}

unsigned __stdcall ServiceTerminationThread(void*) {
  QMX_ENTRY();
  QMX_FLOW("ServiceTerminationThread: Attached.");
  QMX_FLOW("ServiceTerminationThread: Stopping service.");
  StopService();
  QMX_FLOW("ServiceTerminationThread: Exiting.");
  QMX_RETURN(0u);
}

void LaunchServiceShutdown() {
  QMX_ENTRY();
  QMX_FLOW("SLaunchServiceShutdown: TERMINATION");
  ExitProcess(0);
}

void terminate(DWORD code) {
  QMX_ENTRY();
  QMX_FLOW("terminate: Terminate request received.");
  QMX_FLOW("Termination code: %0.8lx", code);
  AcquireSRWLockExclusive(&terminateEventLock);
  HANDLE event = hTerminateEvent;
  hTerminateEvent = nullptr;
  ReleaseSRWLockExclusive(&terminateEventLock);
  if (event) {
    QMX_FLOW("Closing hTerminateEvent");
    CloseHandle(event);
  }
  if (hServiceStatus) {
    QMX_FLOW("Sending SERVICE_STOPPED status to SCM");
    SendStatusToSCM(SERVICE_STOPPED, code, 0, 0, 0);
  }
  if (hThreadHandle) {
    QMX_FLOW("Closing hThreadHandle");
    CloseHandle(hThreadHandle);
    hThreadHandle = nullptr;
  }
}

void EndWithError(DWORD code) {
  QMX_ENTRY();
  InterlockedExchange(&processExitCode, static_cast<LONG>(code));
  // As a service, tell the manager first: a process that just ends is an unexpected termination
  // there (or, under Wine, a service that stays RUNNING for ever).
  if (hServiceStatus) {
    QMX_FLOW("Sending SERVICE_STOPPED status to SCM");
    SendStatusToSCM(SERVICE_STOPPED, code, 0, 0, 0);
  }
  ErrorHandler(code);
}

void ErrorHandler(DWORD code) {
  QMX_ENTRY();
  QMX_ERROR("ErrorHandler:  Error code: %0.8lx", code);
  MessageFromSystem(code);
  QMX_ERROR("ErrorHandler:  TERMINATION");
  ExitProcess(code);
}

// Tests link the host units from a library without this entry point.
#ifndef QMX_NO_MAIN
int main(int argc, char** argv) {
  QMX_ENTRY_NAMED("main");
  WNDCLASSA wc = {};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = QMX_SERVICE_NAME;
  RegisterClassA(&wc);  // no window is ever created; the result does not matter
  Message2(10100, 5045, 5042);

  InitializeCriticalSection(&csStatusLock);
  InitializeCriticalSection(&csScriptLock);
  SetScriptLock(&csScriptLock);
  QMX_FLOW("Main: CriticalSection intialized");

  MainEnd end = {EndState::Normal, 0};
  try {
    char eventName[64];
    LoadResourceString(5049, eventName, sizeof eventName);
    hTerminateEvent = CreateEventA(nullptr, TRUE, FALSE, eventName);
    if (!hTerminateEvent) {
      QMX_ERROR("Main: Shutdown event %s creation failed", eventName);
      terminate(GetLastError());
      throw MainEnd{EndState::Error, 0};
    }
    QMX_FLOW("Main: Shutdown event %s created", eventName);

    Call_OPQ_RegisterAgent();
    Call_OPQ_SetProduct();

    if (argc < 2) {
      std::fprintf(stderr,
                   "use:\n\t%s TEST - To run as a console application for debugging.\n\t%s - With no "
                   "arguments to run as a service under the Service Control Manager\n\n"
                   "StartServiceCtrlDispatcher being called.\nThis may take several seconds.  "
                   "Please wait...\n",
                   argv[0], argv[0]);
      std::fflush(stderr);
      QMX_FLOW("Main: Register with the SCM.");
      SERVICE_TABLE_ENTRYA table[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
      if (!StartServiceCtrlDispatcherA(table)) {
        DWORD err = GetLastError();
        char code[16];
        std::snprintf(code, sizeof code, "%lu", err);
        QMX_ERROR("Main: Error from StartServiceCtrlDispatcher %s EXITING", code);
        Message0(10102);
        throw MainEnd{EndState::DispatcherFailure, err};
      }
      QMX_FLOW("Main: StartServiceCtrlDispatcher returns TRUE");
      throw MainEnd{EndState::Normal, 0};
    }

    char option[128] = {0};
    std::strncpy(option, argv[1], sizeof option - 1);
    if (std::strcmp(option, "1") == 0) std::strcpy(option, "TEST");
    if (_stricmp(option, "TEST") != 0) {
      QMX_ERROR("Main: Illegal startup option.");
      Message1S(10103, option);
      throw MainEnd{EndState::Abnormal, 1};
    }
    QMX_FLOW("Main: Console Mode");
    Message2(10101, 5045, 5042);
    argv[1][0] = '\0';
    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);
    QMX_FLOW("Main: Going to InitService");
    if (!InitService()) {
      terminate(GetLastError());
      QMX_ERROR("Main: InitService returned FAILURE");
      throw MainEnd{EndState::Error, 0};
    }
    QMX_FLOW("Main: Dropping into main wait");
    WaitForSingleObject(hTerminateEvent, INFINITE);
    QMX_FLOW("Main: Returned from main wait");
    terminate(0);
  } catch (const MainEnd& e) {
    end = e;
  }

  DeleteCriticalSection(&csStatusLock);
  SetScriptLock(nullptr);
  DeleteCriticalSection(&csScriptLock);
  QMX_FLOW("Main: CriticalSection deleted");
  switch (end.state) {
    case EndState::Normal:
      QMX_FLOW("Main: TERMINATION");
      ExitProcess(static_cast<UINT>(processExitCode));
    case EndState::Error:
      QMX_ERROR("Main: ERROR TERMINATION");
      ExitProcess(0);
    case EndState::Abnormal:
      QMX_ERROR("Main: ABNORMAL TERMINATION");
      std::fflush(stdout);
      exit(1);
    case EndState::DispatcherFailure:
      ErrorHandler(end.code);
  }
  return 0;
}
#endif  // QMX_NO_MAIN
