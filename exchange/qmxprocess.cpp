// Bounded child processes (job object, pipe, process tree) and one-step file replacement.
#include "qmxprocess.h"

#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "qmxhandle.h"

namespace qmx {
namespace {

using Handle = UniqueKernelHandle;

// Ends every process started, directly or not, by `root` (used when the job cannot hold them).
void EndProcessTree(DWORD root) {
  std::vector<DWORD> tree{root};
  Handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (snap) {
    PROCESSENTRY32 e{};
    e.dwSize = sizeof e;
    for (size_t i = 0; i < tree.size(); ++i) {
      if (!Process32First(snap.get(), &e)) break;
      do {
        if (e.th32ParentProcessID == tree[i] && e.th32ProcessID != tree[i] &&
            std::find(tree.begin(), tree.end(), e.th32ProcessID) == tree.end())
          tree.push_back(e.th32ProcessID);
      } while (Process32Next(snap.get(), &e));
    }
  }
  for (DWORD pid : tree) {
    Handle p(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (p) TerminateProcess(p.get(), ERROR_TIMEOUT);
  }
}

}  // namespace

BoundedRun RunBounded(const std::string& commandLine, DWORD boundMs, std::string* output,
                      size_t outputLimit) {
  BoundedRun run;
  Handle readEnd, writeEnd;
  if (output) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &sa, 0)) {
      run.failedCall = "CreatePipe";
      run.error = GetLastError();
      return run;
    }
    readEnd.reset(r);
    writeEnd.reset(w);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
  }
  Handle job(CreateJobObjectA(nullptr, nullptr));
  if (job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // Should we end before the child, it ends too.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  if (output) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = nullptr;
  }
  std::vector<char> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back('\0');
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, output ? TRUE : FALSE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
    run.failedCall = "CreateProcess";
    run.error = GetLastError();
    return run;
  }
  Handle process(pi.hProcess), thread(pi.hThread);
  run.inJob = job && AssignProcessToJobObject(job.get(), process.get());
  if (!run.inJob) run.jobError = GetLastError();
  ResumeThread(thread.get());
  writeEnd.reset();  // the pipe ends when the child's copies close

  const ULONGLONG deadline = GetTickCount64() + boundMs;
  bool timedOut = false;
  if (output) {
    char chunk[4096];
    for (;;) {
      // Checked before every read: a program that never stops writing is bounded too.
      if (GetTickCount64() >= deadline) {
        timedOut = true;
        break;
      }
      DWORD avail = 0;
      if (!PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &avail, nullptr)) break;  // all writers gone
      if (avail) {
        DWORD got = 0;
        if (!ReadFile(readEnd.get(), chunk, sizeof chunk, &got, nullptr) || got == 0) break;
        size_t keep = std::min<size_t>(got, outputLimit - std::min(outputLimit, output->size()));
        output->append(chunk, keep);
        if (keep < got) run.outputCut = true;
        continue;
      }
      Sleep(20);
    }
  }
  if (!timedOut) {
    ULONGLONG now = GetTickCount64();
    DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    timedOut = WaitForSingleObject(process.get(), left) == WAIT_TIMEOUT;
  }
  if (timedOut) {
    if (!run.inJob || !TerminateJobObject(job.get(), ERROR_TIMEOUT)) EndProcessTree(pi.dwProcessId);
    WaitForSingleObject(process.get(), 5000);
    run.end = RunEnd::kTimedOut;
    return run;
  }
  GetExitCodeProcess(process.get(), &run.exitCode);
  run.end = RunEnd::kEnded;
  return run;
}

bool ReplaceFileText(const std::string& path, const std::string& text) {
  // One temporary name per process and thread: two writers of the same file never share one.
  const std::string temp = path + "." + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(GetCurrentThreadId()) + ".tmp";
  if (text.size() > MAXDWORD) {
    SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  DWORD error = 0;
  {
    Handle f(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    DWORD written = 0;
    if (!WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(f.get()))
      error = GetLastError() ? GetLastError() : static_cast<DWORD>(ERROR_WRITE_FAULT);
  }
  // A reader that has the file open for a moment makes the replace fail: try again shortly.
  for (int attempt = 0; error == 0; ++attempt) {
    if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    error = GetLastError();
    if (attempt < 20 && (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)) {
      error = 0;
      Sleep(50);
    }
  }
  DeleteFileA(temp.c_str());
  SetLastError(error);
  return false;
}

}  // namespace qmx
