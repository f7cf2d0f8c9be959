// Trace and log environment set-up.
#include "setjbxras1env.h"

#include <deque>
#include <mutex>

#include "jbx.h"
#include "qmxtrace.h"

namespace {

std::string Trim(const std::string& s) {
  static const char kWhite[] = " \t\r\n";
  size_t b = s.find_first_not_of(kWhite);
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(kWhite);
  return s.substr(b, e - b + 1);
}

// Splits at the last "\" or "/"; false when there is none.
bool SplitAtLastSeparator(const std::string& s, std::string& before, std::string& sep,
                          std::string& after) {
  size_t p = s.find_last_of("\\/");
  if (p == std::string::npos) return false;
  before = s.substr(0, p);
  sep = s.substr(p, 1);
  after = s.substr(p + 1);
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text after KEYWORD in an upper-case log value, blanks and "=" skipped, up to the next blank.
// The keyword counts only as a word of its own, so a directory such as C:\ACCOUNTS is no COUNT.
std::string KeywordValue(const std::string& upper, const std::string& keyword) {
  for (size_t p = upper.find(keyword); p != std::string::npos; p = upper.find(keyword, p + 1)) {
    size_t after = p + keyword.size();
    bool starts = p == 0 || IsBlank(upper[p - 1]);
    bool ends = after == upper.size() || IsBlank(upper[after]) || upper[after] == '=';
    if (!starts || !ends) continue;
    while (after < upper.size() && (IsBlank(upper[after]) || upper[after] == '=')) ++after;
    size_t end = after;
    while (end < upper.size() && !IsBlank(upper[end])) ++end;
    return upper.substr(after, end - after);
  }
  return std::string();
}

}  // namespace

Ras1EnvTexts& Ras1Env() {
  static Ras1EnvTexts texts;
  return texts;
}

void ResetRas1Env() { Ras1Env() = Ras1EnvTexts(); }

std::string getLogPath() {
  QMX_ENTRY();
  Ras1EnvTexts& t = Ras1Env();
  std::string logDirectory;
  if (t.logValue.empty()) {
    QMX_FLOW("ras1_log_current_value empty");
    size_t gt = t.traceValue.find('>');
    if (gt == std::string::npos) {
      QMX_FLOW("Found no output file set");
      const char* v = BSS1_GetEnv("VORTA_LOG_PATH", 0);
      logDirectory = v ? v : "";
    } else {
      std::string target = Trim(t.traceValue.substr(gt + 1));
      std::string before, sep, after;
      if (SplitAtLastSeparator(target, before, sep, after)) {
        logDirectory = before;
        t.separator = sep;
      } else {
        logDirectory = target;
      }
    }
    t.pathName = logDirectory;
  } else {
    QMX_FLOW("ras1_log_current_value=%s", t.logValue.c_str());
    size_t dash = t.logValue.find("-.");
    if (dash == std::string::npos) {
      QMX_FLOW("No '-' found, resetting path name.");
      t.pathName.clear();
    } else {
      std::string part = t.logValue.substr(0, dash), before, sep, after;
      if (SplitAtLastSeparator(part, before, sep, after)) {
        t.pathName = before;
        t.separator = sep;
        t.baseName = after;
      } else {
        t.pathName.clear();
        t.baseName = part;
      }
      QMX_FLOW("ras1_path_name.c_str(): %s", t.pathName.c_str());
      QMX_FLOW("ras1_base_name.c_str(): %s", t.baseName.c_str());
    }

    // "<stem>_<task>_<start>" loses its start time and task: what is left is our stem.
    size_t u = t.baseName.rfind('_');
    if (u == std::string::npos) {
      QMX_FLOW("No '_' found, resetting base name.");
      t.baseName.clear();
    } else {
      t.baseName.resize(u);
    }
    std::string lastToken;
    u = t.baseName.rfind('_');
    if (u == std::string::npos) {
      QMX_FLOW("No second '_' found, resetting base name.");
      t.baseName.clear();
    } else {
      lastToken = t.baseName.substr(u + 1);
      t.baseName.resize(u);
    }
    QMX_FLOW("After underscore processing, last token is %s  ;  base name is %s", lastToken.c_str(),
             t.baseName.c_str());
    if (t.baseName.find("_" + lastToken + "_") != std::string::npos)
      t.baseName.resize(t.baseName.rfind('_'));
    t.baseName += "_";

    t.logValue = BSS1_ToUpper(t.logValue.c_str(), t.logValue.size());
    QMX_FLOW("ras1_log_current_value: %s", t.logValue.c_str());
    std::string v = KeywordValue(t.logValue, "LIMIT");
    if (!v.empty()) t.limit = v;
    v = KeywordValue(t.logValue, "MAXFILES");
    if (!v.empty()) t.maxFiles = v;
    v = KeywordValue(t.logValue, "COUNT");
    if (!v.empty()) t.count = v;
    QMX_FLOW("limit.c_str(): %s", t.limit.c_str());
    QMX_FLOW("maxfiles.c_str(): %s", t.maxFiles.c_str());
    QMX_FLOW("count.c_str(): %s", t.count.c_str());
    logDirectory = t.pathName;
  }
  QMX_FLOW("logpath: %s", logDirectory.c_str());
  return logDirectory;
}

std::string BuildRas1LogValue(const Ras1EnvTexts& t, const std::string& logDirectory) {
  std::string base = t.baseName + t.varPrefix + "(systask)";
  std::string logFile = base + "_" + t.varPrefix + "(sysutcstart)-.log";
  std::string inventory = base + ".inv";
  if (logDirectory.empty()) return logFile + " INVENTORY=" + inventory;
  // The value is split at blanks: a directory that holds blanks ("C:\Program Files\...") is
  // quoted, and its quotes are closed after each file name.
  std::string open = logDirectory[0] != '"' && logDirectory.find(' ') != std::string::npos ? "\"" : "";
  std::string close = !open.empty() || logDirectory[0] == '"' ? "\"" : "";
  return open + logDirectory + t.separator + logFile + close + " INVENTORY=" + open + logDirectory +
         t.separator + inventory + close + " COUNT=" + t.count + " PRESERVE=0 LIMIT=" + t.limit +
         " MAXFILES=" + t.maxFiles;
}

void setTaskLogEnvVariables() {
  QMX_ENTRY();
  std::string logDirectory = getLogPath();
  Ras1EnvTexts& t = Ras1Env();
  QMX_FLOW("newFileNameBase: %s", (t.baseName + t.varPrefix + "(systask)").c_str());
  std::string newLog = BuildRas1LogValue(t, logDirectory);
  QMX_FLOW("newLogPath: %s", newLog.c_str());
  setVar("JBX_RAS1", t.traceValue);
  setVar("JBX_VARPREFIX", t.varPrefix);
  setVar("JBX_RAS1_LOG", newLog);
}

void setVar(const char* name, const std::string& value) {
  QMX_ENTRY();
  static std::mutex mutex;
  static std::deque<std::string> texts;  // what was put stays for the life of the process
  const char* old = BSS1_GetEnv(name, 0);
  if (old) QMX_FLOW("resetting the value of %s from %s to %s", name, old, value.c_str());
  const char* text;
  {
    std::lock_guard<std::mutex> lock(mutex);
    texts.push_back(std::string(name) + "=" + value);
    text = texts.back().c_str();
  }
  BSS1_PutEnv(text);
  QMX_FLOW("Adding env variable: %s\n", text);
}

void setJbxRas1EnvironmentVariable(const char*) {
  QMX_ENTRY();
  Ras1EnvTexts& t = Ras1Env();
  if (const char* v = BSS1_GetEnv("JBX_RAS1", 0)) t.traceValue = v;
  if (const char* v = BSS1_GetEnv("JBX_RAS1_LOG", 0)) t.logValue = v;
  if (const char* v = BSS1_GetEnv("JBX_VARPREFIX", 0)) t.varPrefix = v;
  setTaskLogEnvVariables();
}
