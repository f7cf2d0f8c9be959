// Trace and environment services.
#include "jbx.h"

#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "ras1_levels.h"
#include "ras1_log.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
extern char** environ;
#endif

volatile uint32_t RAS1_Generation = 1;

namespace {

struct TraceState {
  std::mutex mutex;
  bool configured = false;
  std::string rasText, logText, prefixText;
  jbx::LevelSpec levels;
  std::unique_ptr<jbx::RotatingLog> log;
  bool badSpecReported = false;
  bool logFailureReported = false;
  std::string utcStart;
  std::set<std::string> interned;  // every text handed out by BSS1_GetEnv lives here
};

TraceState& State() {
  static TraceState* s = new TraceState();  // never destroyed: threads may trace during exit
  return *s;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string TaskName() {
#ifdef _WIN32
  char path[MAX_PATH] = {0};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
#else
  char path[4096] = {0};
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string p = n > 0 ? std::string(path, static_cast<size_t>(n)) : "task";
#endif
  size_t slash = p.find_last_of("/\\");
  if (slash != std::string::npos) p = p.substr(slash + 1);
  size_t dot = p.rfind('.');
  if (dot != std::string::npos) p.resize(dot);
  return p;
}

unsigned long ThreadId() {
#ifdef _WIN32
  return GetCurrentThreadId();
#else
  return static_cast<unsigned long>(pthread_self()) & 0xFFFFFFFFul;
#endif
}

void WriteLocked(TraceState& s, const std::string& line) {
  if (s.log && s.log->Write(line)) return;
  if (s.log && !s.logFailureReported) {
    s.logFailureReported = true;
    std::fprintf(stderr, "RAS1: cannot write the trace file \"%s\"; the trace goes to standard error\n",
                 s.log->currentName().c_str());
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// Reads JBX_RAS1 and JBX_RAS1_LOG again when they changed; the caller holds the mutex.
void ConfigureLocked(TraceState& s) {
  std::string ras = Env("JBX_RAS1"), log = Env("JBX_RAS1_LOG"), prefix = Env("JBX_VARPREFIX");
  if (s.configured && ras == s.rasText && log == s.logText && prefix == s.prefixText) return;
  if (s.utcStart.empty()) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &now);
#else
    gmtime_r(&now, &tm);
#endif
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    s.utcStart = buf;
  }
  bool levelsChanged = !s.configured || ras != s.rasText;
  bool logChanged = !s.configured || log != s.logText || prefix != s.prefixText;
  s.configured = true;
  s.rasText = ras;
  s.logText = log;
  s.prefixText = prefix;
  if (levelsChanged) {
    s.levels = jbx::ParseLevelSpec(ras);
    s.badSpecReported = false;
  }
  if (logChanged) {
    s.log.reset();
    s.logFailureReported = false;
    std::string target = log;
    if (target.empty()) target = s.levels.output;  // "... > file" in JBX_RAS1
    if (!target.empty()) {
      jbx::LogSpec settings =
          jbx::ParseLogSpec(target, prefix.empty() ? "$" : prefix, TaskName(), s.utcStart);
      if (!settings.file.empty()) s.log.reset(new jbx::RotatingLog(settings));
    }
  }
  if (!s.levels.valid && !s.badSpecReported) {
    s.badSpecReported = true;
    WriteLocked(s, "RAS1: JBX_RAS1 \"" + ras.substr(0, 200) + "\" not understood (" +
                       s.levels.error + "); tracing errors only\n");
  }
  RAS1_Generation = RAS1_Generation + 1;
}

std::string Stamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  long ms = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

void EmitLine(RAS1_EntryBlock* eb, int line, const char* text, size_t length) {
  char head[512];
  std::string unit = eb && eb->unit ? jbx::UnitName(eb->unit->file) : "?";
  std::snprintf(head, sizeof head, "(%s-%lX:%s,%d,\"%.*s\") ", Stamp().c_str(), ThreadId(),
                unit.c_str(), line, eb ? static_cast<int>(eb->functionLen) : 1,
                eb ? eb->function : "?");
  std::string out = head;
  out.append(text, length);
  if (out.empty() || out.back() != '\n') out += '\n';
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ConfigureLocked(s);
  WriteLocked(s, out);
}

}  // namespace

uint32_t RAS1_Sync(RAS1_EntryBlock* eb) {
  if (!eb) return 0x80;
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ConfigureLocked(s);
  uint32_t level = jbx::LevelForUnit(s.levels, eb->unit ? eb->unit->file : "");
  eb->level = level;
  eb->cachedAt = *eb->generation;
  return level;
}

void RAS1_Event(RAS1_EntryBlock* eb, int line, int kind, ...) {
  char text[64];
  if (kind == RAS1_EV_EXIT_VALUE) {
    va_list ap;
    va_start(ap, kind);
    int value = va_arg(ap, int);
    va_end(ap);
    std::snprintf(text, sizeof text, "Exit: 0x%X", static_cast<unsigned>(value));
  } else {
    std::snprintf(text, sizeof text, "%s", kind == RAS1_EV_ENTRY ? "Entry" : "Exit");
  }
  EmitLine(eb, line, text, std::strlen(text));
}

void RAS1_Printf(RAS1_EntryBlock* eb, int line, const char* format, ...) {
  if (!format) return;
  char small[1024];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    EmitLine(eb, line, small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, format);
  std::vsnprintf(&big[0], big.size(), format, ap);
  va_end(ap);
  EmitLine(eb, line, big.data(), static_cast<size_t>(n));
}

const char* BSS1_GetEnv(const char* name, int) {
  if (!name) return nullptr;
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  const char* v = std::getenv(name);
  if (!v) return nullptr;
  // Keep a copy for the life of the process: a later put must not pull the text from under a caller.
  return s.interned.insert(v).first->c_str();
}

void BSS1_PutEnv(const char* text) {
  if (!text) return;
  const char* eq = std::strchr(text, '=');
  if (!eq || eq == text) return;
  std::string name(text, static_cast<size_t>(eq - text));
  std::string value(eq + 1);
  TraceState& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
#ifdef _WIN32
    // The run-time library's copy serves getenv; the system's copy reaches child processes.
    _putenv_s(name.c_str(), value.c_str());
    SetEnvironmentVariableA(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
    // New level or log settings reach every function through the generation word.
    if (name == "JBX_RAS1" || name == "JBX_RAS1_LOG" || name == "JBX_VARPREFIX")
      ConfigureLocked(s);
  }
}

const char* BSS1_ToUpper(const char* text, size_t length) {
  thread_local std::string out;
  out.assign(text ? text : "", text ? strnlen(text, length) : 0);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out.c_str();
}
