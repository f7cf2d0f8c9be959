// Child processes run within a bound, and files replaced in one step. No trace: the agent's script
// runner traces what these report, the statistics tool prints it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace qmx {

enum class RunEnd { kEnded, kNotStarted, kTimedOut };

struct BoundedRun {
  RunEnd end = RunEnd::kNotStarted;
  DWORD exitCode = 0;
  // Not started: the call that failed ("CreatePipe", "CreateProcess") and its error code.
  const char* failedCall = nullptr;
  DWORD error = 0;
  // The process could not be put in a job (jobError): its tree is ended one process at a time.
  bool inJob = false;
  DWORD jobError = 0;
  // More standard output came than was kept.
  bool outputCut = false;
};

// Runs a command line (the program found as CreateProcess finds it) in a job of its own, without
// a window, and waits for it at most boundMs; beyond that its whole process tree is ended. With
// output, its standard output is read through a pipe until every writer has closed it; the first
// outputLimit bytes are kept, the rest is read and dropped. Its standard error is ours.
BoundedRun RunBounded(const std::string& commandLine, DWORD boundMs, std::string* output,
                      size_t outputLimit = static_cast<size_t>(-1));

// Writes text to a temporary file beside path, then puts it in path's place in one step, so a
// reader sees the old file or the new one, never a part. False when either step fails (the error
// is GetLastError()); no temporary file is left then and path is as it was.
bool ReplaceFileText(const std::string& path, const std::string& text);

}  // namespace qmx
