// The agent's own ServiceMain run by the service manager, with trace settings taken from this
// program's command line ("NAME VALUE" pairs). Wine's service manager hands a service none of our
// environment, and the agent learns its trace settings from the registry only after it has
// reported START_PENDING twice; this program lets a test read those two reports in the trace.
// It prepares what the agent's main prepares for the service branch and nothing more.
#include <windows.h>

#include <cstdlib>

#include "zrtglobals.h"

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) _putenv_s(argv[i], argv[i + 1]);
  InitializeCriticalSection(&csStatusLock);
  InitializeCriticalSection(&csScriptLock);
  hTerminateEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!hTerminateEvent) return 2;
  Call_OPQ_RegisterAgent();
  Call_OPQ_SetProduct();
  char name[] = QMX_SERVICE_NAME;
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  const BOOL dispatched = StartServiceCtrlDispatcherA(table);
  DeleteCriticalSection(&csStatusLock);
  DeleteCriticalSection(&csScriptLock);
  return dispatched ? 0 : 1;
}
