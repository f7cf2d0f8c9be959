// Script files, bounded script runs and the status operations built on them.
#include "qmxscripts.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "earegenv.h"
#include "jbx.h"
#include "qmxcommon.h"
#include "qmxhandle.h"
#include "qmxprocess.h"
#include "qmxtrace.h"

namespace {

std::atomic<CRITICAL_SECTION*> g_scriptLock{nullptr};
// Set at start: the mailbox details script is rewritten once per start of the agent.
std::atomic<bool> g_upgrade{true};

constexpr DWORD kMinRunBoundMs = 120000;
constexpr size_t kMaxScriptFile = 1 << 20;

using Handle = qmx::UniqueKernelHandle;

class Library : public qmx::UniqueLibrary {
 public:
  explicit Library(const char* name) : qmx::UniqueLibrary(LoadLibraryA(name)) {}
};

bool IsRelease2007Or2010(int release) {
  return release == kExchange2007 || release == kExchange2010;
}

// The first bytes of a file, up to limit; false when it cannot be opened.
bool ReadFilePrefix(const std::string& path, size_t limit, std::string* text) {
  Handle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  text->clear();
  char chunk[8192];
  DWORD got = 0;
  while (text->size() < limit && ReadFile(f.get(), chunk, sizeof chunk, &got, nullptr) && got)
    text->append(chunk, std::min<size_t>(got, limit - text->size()));
  return true;
}

// "MsiInstallPath" of the release's setup key, ending in a backslash; empty when missing.
std::string InstallPath(int release) {
  QMX_ENTRY();
  const char* keyName = release == kExchange2007 ? "SOFTWARE\\Microsoft\\Exchange\\Setup"
                                                 : "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup";
  RegKey key;
  std::string path;
  if (!act_regopenkey64(HKEY_LOCAL_MACHINE, keyName, key)) {
    QMX_ERROR("Exchange install registry key not found : %s ", keyName);
    return path;
  }
  if (!act_reggetstring(key, "MsiInstallPath", path) || path.empty()) {
    QMX_ERROR("Exchange instll path not found");
    path.clear();
    return path;
  }
  // The value normally ends in a backslash; "%sBin\..." needs one.
  if (path.back() != '\\') path += '\\';
  QMX_FLOW("Exchange install path : %s", path.c_str());
  return path;
}

std::string CommandLine(int release, const std::string& scriptPath) {
  if (qmx::IsPre2007(release) || scriptPath.find("nlbStatus.vbs") != std::string::npos)
    return "WScript \"" + scriptPath + "\"";  // quoted: the log directory may hold blanks
  return "PowerShell.exe -PSConsoleFile \"" + InstallPath(release) +
         "Bin\\ExShell.psc1\" -Command \". '" + scriptPath + "'\"";
}

// File-system redirection of 32-bit processes off for the scope, when the system offers it.
class Wow64RedirectionOff {
 public:
  Wow64RedirectionOff() : kernel_("kernel32.dll") {
    QMX_ENTRY_NAMED("Wow64RedirectionOff");
    if (!kernel_.get()) {
      QMX_ERROR("LoadLibray(kernel32.dll) failed");
      return;
    }
    using Disable = BOOL(WINAPI*)(PVOID*);
    auto disable = reinterpret_cast<Disable>(
        reinterpret_cast<void*>(GetProcAddress(kernel_.get(), "Wow64DisableWow64FsRedirection")));
    if (!disable) {
      QMX_ERROR("Pointer to Wow64DisableWow64FsRedirection invalid");
      return;
    }
    // A 64-bit process has nothing redirected: the call fails there and the command runs anyway.
    if (!disable(&old_)) {
      QMX_FLOW("Wow64DisableWow64FsRedirection failed");
      return;
    }
    disabled_ = true;
  }
  ~Wow64RedirectionOff() {
    QMX_ENTRY_NAMED("~Wow64RedirectionOff");
    if (!disabled_) return;
    using Revert = BOOL(WINAPI*)(PVOID);
    auto revert = reinterpret_cast<Revert>(
        reinterpret_cast<void*>(GetProcAddress(kernel_.get(), "Wow64RevertWow64FsRedirection")));
    if (!revert)
      QMX_ERROR("Pointer to Wow64RevertWow64FsRedirection failed");
    else if (!revert(old_))
      QMX_ERROR("Wow64RevertWow64FsRedirection failed");
  }
  Wow64RedirectionOff(const Wow64RedirectionOff&) = delete;
  Wow64RedirectionOff& operator=(const Wow64RedirectionOff&) = delete;

 private:
  Library kernel_;
  PVOID old_ = nullptr;
  bool disabled_ = false;
};

}  // namespace

RunEnd RunBounded(const std::string& commandLine, DWORD boundMs, std::string* pipeOutput,
                  size_t maxOutput, const std::string* shown) {
  QMX_ENTRY();
  const qmx::BoundedRun run = qmx::RunBounded(
      pipeOutput ? commandLine : "cmd.exe /c " + commandLine, boundMs, pipeOutput, maxOutput);
  if (run.end == RunEnd::kNotStarted) {
    QMX_ERROR("<%s> failed : %s", run.failedCall, SystemErrorText(run.error).c_str());
    return run.end;
  }
  if (!run.inJob) QMX_FLOW("Script process not in a job (%d): its tree is ended one by one", static_cast<int>(run.jobError));
  if (run.end == RunEnd::kTimedOut) {
    QMX_ERROR("Script did not end within %u s, its processes are ended: %s",
              static_cast<unsigned>(boundMs / 1000), (shown ? *shown : commandLine).c_str());
    return run.end;
  }
  if (run.exitCode) QMX_FLOW("Script command ended with exit code %u", static_cast<unsigned>(run.exitCode));
  return run.end;
}

namespace {

// Condenses the output file; false when it cannot be opened.
bool CondenseOutputFile(const std::string& path, qmx::OutputKind kind, std::string* result) {
  QMX_ENTRY();
  // The script may still be writing it.
  Handle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) {
    QMX_ERROR("Script output open failed: %s", path.c_str());
    return false;
  }
  qmx::OutputCondenser condenser(kind);
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(f.get(), chunk, sizeof chunk, &got, nullptr) && got) condenser.Feed(chunk, got);
  *result = condenser.Finish();
  return true;
}

// CreateScript then RunProcess; 99 and an empty text when either fails.
int WriteAndRun(const char* scriptName, std::string* result, const char* directory,
                const char* serverName) {
  std::string script, output;
  if (CreateScript(scriptName, directory, serverName, &script, &output) != 0 ||
      RunProcess(scriptName, script, output, result) != 0) {
    result->clear();
    return 99;
  }
  return 0;
}

}  // namespace

int RunCommandBounded(const std::string& commandLine, const std::string& shown, DWORD boundMs,
                      size_t maxOutput, std::string* output) {
  output->clear();
  switch (RunBounded(commandLine, boundMs, output, maxOutput, &shown)) {
    case RunEnd::kEnded:
      return 0;
    case RunEnd::kNotStarted:
      return 1;
    default:
      return 2;
  }
}

void SetScriptLock(CRITICAL_SECTION* lock) { g_scriptLock = lock; }

void ResetScriptUpgradeFlag() { g_upgrade = true; }

DWORD ScriptRunBoundMs() {
  const char* interval = BSS1_GetEnv("QMX_INTERVAL", 0);
  unsigned long long seconds = 0;
  if (interval && *interval && std::strspn(interval, "0123456789") == std::strlen(interval) &&
      std::strlen(interval) < 9)
    seconds = std::strtoull(interval, nullptr, 10);
  return static_cast<DWORD>(std::max<unsigned long long>(kMinRunBoundMs, seconds * 1000));
}

int CreateScript(const char* scriptName, const char* directory, const char* serverName,
                 std::string* scriptPath, std::string* outputPath) {
  QMX_ENTRY();
  const qmx::ScriptEntry* script = qmx::FindScript(scriptName);
  if (!script) {
    QMX_ERROR("Unknown script %s", scriptName ? scriptName : "");
    QMX_RETURN(99);
  }
  const int release = GetExchangeVersion();
  const std::string dir = directory ? directory : "";
  const std::string server = serverName ? serverName : "";
  *scriptPath = qmx::ScriptPath(*script, release, dir);
  *outputPath = qmx::ScriptOutputPath(*script, dir);
  // The server name stands unquoted in the scripts: anything but a host name could run commands.
  if (!server.empty() && !qmx::IsSafeServerName(server)) {
    QMX_ERROR("Server name is not a host name, no script written: %s", server.c_str());
    QMX_RETURN(99);
  }
  if (!qmx::IsSafeScriptDirectory(dir)) {
    QMX_ERROR("Log directory is empty or holds characters a script cannot carry: %s", dir.c_str());
    QMX_RETURN(99);
  }

  std::string existing;
  if (ReadFilePrefix(*scriptPath, kMaxScriptFile, &existing)) {
    if (std::strcmp(script->name, "mbxdetails2010") == 0 && g_upgrade.exchange(false)) {
      QMX_DETAIL("Updating %s Script file after upgrade", scriptPath->c_str());
    } else if (qmx::ExistingScriptServerDiffers(*script, release, existing, server)) {
      QMX_DETAIL("Script file will be recreated to update changes made while reconfiguration");
    } else {
      QMX_DETAIL("Script file exists, bypass create : %s", scriptPath->c_str());
      QMX_RETURN(0);
    }
  }
  if (server.empty()) {
    QMX_DETAIL("Server Name is empty");
    QMX_RETURN(99);
  }
  // In one step, so PowerShell never reads a half-written script.
  if (!qmx::ReplaceFileText(*scriptPath, qmx::BuildScriptText(*script, release, server, *outputPath))) {
    QMX_DETAIL("Failed to open script file : %s", scriptPath->c_str());
    QMX_RETURN(99);
  }
  QMX_DETAIL("Script file : %s : created", scriptPath->c_str());
  QMX_RETURN(0);
}

int RunProcess(const char* scriptName, const std::string& scriptPath, const std::string& outputPath,
               std::string* result) {
  return RunProcess(scriptName, scriptPath, outputPath, result, ScriptRunBoundMs());
}

int RunProcess(const char* scriptName, const std::string& scriptPath, const std::string& outputPath,
               std::string* result, DWORD boundMs) {
  QMX_ENTRY();
  result->clear();
  const int fresh = CompareFileTime(outputPath.c_str());
  const int release = GetExchangeVersion();
  const std::string command = CommandLine(release, scriptPath);
  QMX_DETAIL("Executing : %s", command.c_str());

  RunEnd end = RunEnd::kEnded;
  if (IsRelease2007Or2010(release)) {
    if (outputPath.find("mbxstorestate") == std::string::npos) {
      Wow64RedirectionOff redirection;
      end = RunBounded(command, boundMs, nullptr);
    } else if (fresh == 0) {
      QMX_FLOW("Store status output is recent, script not run: %s", outputPath.c_str());
    } else if (CRITICAL_SECTION* lock = g_scriptLock.load()) {
      if (TryEnterCriticalSection(lock)) {
        QMX_DETAIL("%d : Thread entered critical section", static_cast<int>(GetCurrentThreadId()));
        {
          Wow64RedirectionOff redirection;
          end = RunBounded(command, boundMs, nullptr);
        }
        QMX_DETAIL("%d : Thread leaving critical section", static_cast<int>(GetCurrentThreadId()));
        LeaveCriticalSection(lock);
      } else {
        QMX_FLOW("Store status script runs on another thread, its last output is read");
      }
    } else {
      QMX_ERROR("No script lock: store status script not run, its last output is read");
    }
  } else {
    std::string output;
    end = RunBounded(command, boundMs, &output);
    if (end == RunEnd::kEnded) QMX_FLOW("Results returned from script %s", output.c_str());
  }
  if (end != RunEnd::kEnded) QMX_RETURN(99);

  if (!CondenseOutputFile(outputPath, qmx::OutputKindFor(release, scriptPath), result))
    QMX_RETURN(99);
  QMX_DETAIL("Results : %s", result->c_str());
  (void)scriptName;
  QMX_RETURN(0);
}

int CheckMailboxStoreStatus(std::string* result, const char* directory, const char* serverName) {
  QMX_ENTRY();
  result->clear();
  const int release = GetExchangeVersion();
  const uint32_t roles = GetExchangeServerRoleInfo(release);
  const char* script = qmx::IsPre2007(release)              ? "mbxstorestate2003"
                       : release == kExchange2007     ? "mbxstorestate2007"
                                                      : "mbxstorestate2010";
  if (std::strcmp(script, "mbxstorestate2010") == 0 &&
      (roles == kRoleClientAccess || roles == kRoleUnifiedMessaging || roles == kRoleHubTransport)) {
    QMX_DETAIL("Mailbox role not installed");
    QMX_RETURN(99);
  }
  QMX_RETURN(WriteAndRun(script, result, directory, serverName));
}

int CheckClusteredMailboxServerStatus(std::string* result, const char* directory,
                                      const char* serverName) {
  QMX_ENTRY();
  result->clear();
  if (GetExchangeVersion() != kExchange2007) QMX_RETURN(0);
  QMX_RETURN(WriteAndRun("clustermbxstatus2007", result, directory, serverName));
}

int GetNLBStatus(std::string* result, const char* directory, const char* serverName) {
  QMX_ENTRY();
  result->clear();
  if (GetExchangeVersion() != kExchange2007) QMX_RETURN(0);
  int rc = WriteAndRun("nlbStatus", result, directory, serverName);
  result->clear();
  QMX_RETURN(rc);
}
