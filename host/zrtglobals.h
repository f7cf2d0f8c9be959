// Process-wide state of the agent host, shared by the entry, start-up and service units.
#pragma once

#include <windows.h>

#define QMX_SERVICE_NAME "qmx_agent"

extern HANDLE hTerminateEvent;      // manual-reset shutdown event "QMX-SHUTDOWN"
extern SRWLOCK terminateEventLock;  // held shared to set hTerminateEvent, exclusively to close it
extern HANDLE hThreadHandle;        // the agent thread
extern SERVICE_STATUS_HANDLE hServiceStatus;  // zero in console mode
extern CRITICAL_SECTION csStatusLock;  // guards the service status block
extern CRITICAL_SECTION csScriptLock;  // keeps the store-status script from running twice
extern volatile LONG bFrameworkRunning;
extern volatile LONG bReregister;

// Process entry and service control.
BOOL SendStatusToSCM(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode, DWORD checkPoint,
                     DWORD waitHint);
BOOL InitService();
void StopService();
void terminate(DWORD code);
void LaunchServiceTerminationThread();
void LaunchServiceShutdown();
[[noreturn]] void ErrorHandler(DWORD code);
// Ends the process with a Win32 error code; as a service it reports STOPPED with that code first.
[[noreturn]] void EndWithError(DWORD code);
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);
unsigned __stdcall ServiceThread(void* parameter);
unsigned __stdcall ServiceTerminationThread(void* parameter);
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Start-up and shutdown of the agent.
int HqMain(int argc, char** argv);
void Call_OPQ_RegisterAgent();
void Call_OPQ_SetProduct();
unsigned __stdcall InvokeFW(void* parameter);
void HqTerminate();
int LoadAgents();
class SampleBfr;
int InitializeBfr(SampleBfr* bfr, const char* tableName, int definitionId, char* scratch,
                  int scratchSize);
// What LoadAgents registered, in order: framework table name and bound definition id (0: none).
#include <string>
#include <utility>
#include <vector>
std::vector<std::pair<std::string, int>> LoadedTables();
