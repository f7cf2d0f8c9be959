// The common form of the background collection threads and the schedule they repeat on.
//
// A thread body traces its two start lines and calls its collection routine with the address of a
// zeroed local value; the routine reads its settings, then repeats its round: run, trace the
// waiting line, pause for the interval, trace the wake-up line. The pauses end early once the
// agent stops (StopCollections), so no collection starts a new round during shutdown.
#pragma once

#include <windows.h>

#include <functional>

#include "qmxtrace.h"

namespace qmx {

// The body of a collection thread: "<thread>:  Attached.", "<thread>:  Calling <what> to gather
// metrics.", then routine(&local); its result is the thread's.
unsigned RunCollectionThread(QmxTrace& qmx_trace, const char* thread, const char* what,
                             int (*routine)(void*));

// The trace lines of one schedule: waiting takes the pause in milliseconds (%d), expired the
// interval in seconds (%ul).
// wokeStderr, when given, also goes to standard error after each pause, with the interval (%ld).
struct CycleLines {
  const char* waiting;
  const char* expired;
  const char* wokeStderr = nullptr;
};

// Runs round() at once and again after every pause of intervalSeconds, until the collections stop.
void RepeatCollection(QmxTrace& qmx_trace, long intervalSeconds, const CycleLines& lines,
                      const std::function<void()>& round);

// Pauses for ms, or less when the collections stop; true when they stop.
bool PauseCollection(DWORD ms);

// Ends every pause and every schedule of this process (the agent's shutdown); Resume re-arms them
// (tests that run several schedules in one process).
void StopCollections();
void ResumeCollections();

}  // namespace qmx
