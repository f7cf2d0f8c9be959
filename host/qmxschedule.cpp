// Collection thread bodies and their schedule.
#include "qmxschedule.h"

#include <cstdio>

namespace qmx {
namespace {

// Manual-reset, created on first use and kept for the life of the process: threads that are never
// joined may still wait on it while the process ends.
HANDLE StopEvent() {
  static const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

}  // namespace

unsigned RunCollectionThread(QmxTrace& qmx_trace, const char* thread, const char* what,
                             int (*routine)(void*)) {
  QMX_FLOW("%s:  Attached.", thread);
  QMX_FLOW("%s:  Calling %s to gather metrics.", thread, what);
  int local = 0;  // the routine's scratch value
  return static_cast<unsigned>(routine(&local));
}

bool PauseCollection(DWORD ms) {
  HANDLE event = StopEvent();
  if (!event) {
    Sleep(ms);
    return false;
  }
  return WaitForSingleObject(event, ms) != WAIT_TIMEOUT;
}

void RepeatCollection(QmxTrace& qmx_trace, long intervalSeconds, const CycleLines& lines,
                      const std::function<void()>& round) {
  while (!PauseCollection(0)) {
    round();
    QMX_STATE(lines.waiting, static_cast<int>(intervalSeconds * 1000));
    if (PauseCollection(static_cast<DWORD>(intervalSeconds) * 1000)) break;
    QMX_FLOW(lines.expired, static_cast<unsigned>(intervalSeconds));
    if (lines.wokeStderr) {
      std::fprintf(stderr, lines.wokeStderr, intervalSeconds);
      std::fputc('\n', stderr);
    }
  }
  QMX_FLOW("The agent is stopping: no further rounds");
}

void StopCollections() {
  if (HANDLE event = StopEvent()) SetEvent(event);
}

void ResumeCollections() {
  if (HANDLE event = StopEvent()) ResetEvent(event);
}

}  // namespace qmx
