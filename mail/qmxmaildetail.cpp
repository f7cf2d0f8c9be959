// The mailbox and public folder cycles, their threads and the public folder file reader.
#include "qmxmaildetail.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "jbx.h"
#include "qmxcommon.h"
#include "qmxschedule.h"
#include "qmxscripts.h"
#include "qmxtrace.h"

namespace {

constexpr DWORD kMinToolBoundMs = 120000;
// A details file larger than this is not a tool's output; nothing of it is read.
constexpr LONGLONG kMaxDetailsFile = 256LL << 20;

std::atomic<LocalClock> g_clock{nullptr};

void Now(SYSTEMTIME* now) {
  LocalClock clock = g_clock.load();
  if (clock)
    clock(now);
  else
    GetLocalTime(now);
}

std::string Setting(const char* name) {
  const char* v = BSS1_GetEnv(name, 0);
  return v ? v : "";
}

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// What both cycles read when they start.
struct CycleSettings {
  long interval = qmx::CycleInterval(BSS1_GetEnv("QMX_MBX_INFO_INTERVAL", 0));
  std::string server = Setting("QMX_EXCH_SERVER");
  std::string logPath = Setting("VORTA_LOG_PATH");
};

// One run of the tool, traced; a run that fails leaves the previous file in use.
void RunTool(QmxTrace& qmx_trace, const std::string& commandLine, long intervalSeconds) {
  QMX_FLOW("Command to be executed : %s", commandLine.c_str());
  if (!RunDetailsTool(commandLine, DetailsToolBoundMs(intervalSeconds)))
    QMX_ERROR("qmxmbstat.exe did not complete; the previous details file stays in use");
}

}  // namespace

void SetDetailsClock(LocalClock clock) { g_clock = clock; }

DWORD DetailsToolBoundMs(long intervalSeconds) {
  const unsigned long long ms = static_cast<unsigned long long>(std::max(intervalSeconds, 0L)) * 1000;
  return static_cast<DWORD>(std::min<unsigned long long>(std::max<unsigned long long>(ms, kMinToolBoundMs),
                                                         0xFFFFFFF0ULL));
}

bool RunDetailsTool(const std::string& commandLine, DWORD boundMs) {
  QMX_ENTRY();
  std::string output;
  // Started directly, not through the command interpreter: the server name stays one argument.
  RunEnd end = RunBounded(commandLine, boundMs, &output);
  if (!output.empty()) QMX_DETAIL("qmxmbstat.exe: %.1024s", output.c_str());
  QMX_RETURN(end == RunEnd::kEnded);
}

bool ReadDetailsFile(const std::string& path, std::string* text) {
  text->clear();
  // Shared for delete too: the tool may replace the file while a sample reads it.
  FileHandle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.valid()) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f.get(), &size) || size.QuadPart > kMaxDetailsFile) return false;
  text->reserve(static_cast<size_t>(size.QuadPart));
  char chunk[65536];
  DWORD got = 0;
  while (text->size() < static_cast<size_t>(kMaxDetailsFile) &&
         ReadFile(f.get(), chunk, sizeof chunk, &got, nullptr) && got)
    text->append(chunk, got);
  return true;
}

int GetMailBoxDetailex(void* context) {
  QMX_ENTRY();
  (void)context;
  const CycleSettings settings;
  const long interval = settings.interval;
  const std::string& server = settings.server;
  const std::string& logPath = settings.logPath;
  const std::string runTime = Setting("QMX_MAILBOX_RUNTIME");
  if (interval < 1 || server.empty() || logPath.empty()) {
    QMX_ERROR("Environment variables are not set. Missing mailbox detail interval or computer name");
    QMX_RETURN(0);
  }
  // The tool is started without the command interpreter, but a blank or a quote would still
  // split or end its arguments.
  if (!qmx::IsSafeServerName(server)) {
    QMX_ERROR("Mailbox details not collected: the server name is not a host name: %s", server.c_str());
    QMX_RETURN(0);
  }
  const std::string file = logPath + "\\" + qmx::kMailboxDetailsFile;
  const std::string command =
      qmx::DetailsCommandLine(logPath, "-mailboxdetails", GetExchangeVersion(), server, file);

  SYSTEMTIME now{};
  Now(&now);
  QMX_FLOW("System Time : Year : %d Month : %d Date : %d Hour : %d Min : %d Second : %d", now.wYear,
           now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
  if (!runTime.empty()) {
    int hour = 0, minute = 0;
    if (qmx::ParseRunTime(runTime.c_str(), &hour, &minute)) {
      const long wait = qmx::SecondsUntil(hour, minute, now.wHour, now.wMinute);
      QMX_FLOW("Entering wait till start time arrives : %d", static_cast<int>(wait * 1000));
      if (qmx::PauseCollection(static_cast<DWORD>(wait) * 1000)) QMX_RETURN(1);
      QMX_FLOW("Exiting wait to process MailBox Detail");
    } else {
      QMX_ERROR("QMX_MAILBOX_RUNTIME is not a time of day (HH:MM, 00:00 to 23:59): %s; the first run is now",
                runTime.c_str());
    }
  }
  qmx::RepeatCollection(qmx_trace, interval,
                        {"Entering wait period between attempts to gather mailbox details : %d",
                         "Sleep interval %ul expired. Gather mailbox details"},
                        [&] { RunTool(qmx_trace, command, interval); });
  QMX_RETURN(1);
}

int GetPublicFolderDetailsEx(void* context) {
  QMX_ENTRY();
  (void)context;
  const CycleSettings settings;
  const long configured = settings.interval;
  const std::string& server = settings.server;
  const std::string& logPath = settings.logPath;
  if (configured < 1 || logPath.empty()) {
    QMX_ERROR("Environment variables is not set for public folder data collection");
    QMX_RETURN(0);
  }
  if (!server.empty() && !qmx::IsSafeServerName(server)) {
    QMX_ERROR("Public folder details not collected: the server name is not a host name: %s",
              server.c_str());
    QMX_RETURN(0);
  }
  const long interval = qmx::PublicFolderInterval(configured);
  qmx::RepeatCollection(
      qmx_trace, interval,
      {"Entering wait period between attempts to gather public folder details : %d",
       "Sleep interval %ul expired. Gather Public Folder details"},
      [&] {
        // Asked each round: a release not read yet (-1) is read again.
        const int release = GetExchangeVersion();
        const std::string name = qmx::PublicFolderFileName(release);
        if (name.empty()) {
          QMX_ERROR("No public folder details file for Exchange release %d; qmxmbstat.exe not run", release);
          return;
        }
        RunTool(qmx_trace,
                qmx::DetailsCommandLine(logPath, "-publicfolderdetails", release, server, logPath + "\\" + name),
                interval);
      });
  QMX_RETURN(1);
}

bool ReadPublicFolderDetails(std::string* countText, std::vector<qmx::PublicFolderRecord>* records) {
  QMX_ENTRY();
  records->clear();
  countText->assign("0");
  const std::string name = qmx::PublicFolderFileName(GetExchangeVersion());
  const std::string path = Setting("VORTA_LOG_PATH") + "\\" + name;
  std::string text;
  if (name.empty() || !ReadDetailsFile(path, &text)) {
    QMX_ERROR("( %s )file open failed.", path.c_str());
    QMX_RETURN(false);
  }
  int32_t declared = 0;
  *records = qmx::ParsePublicFolderDetails(text, &declared);
  countText->assign(std::to_string(declared));
  for (const qmx::PublicFolderRecord& r : *records)
    TracePublicFolderRecord(qmx_trace, "-----------ReadPublicFolderDetails--------------", r);
  QMX_RETURN(true);
}

void TracePublicFolderRecord(QmxTrace& qmx_trace, const char* rule, const qmx::PublicFolderRecord& r) {
  QMX_FLOW("%s", rule);
  QMX_FLOW("pfldname   : %s", r.name.c_str());
  QMX_FLOW("sgname     : %s", r.storageGroup.c_str());
  QMX_FLOW("isname     : %s", r.store.c_str());
  QMX_FLOW("numplfdmsg : %d", static_cast<int>(r.items));
  QMX_FLOW("pfldsize   : %d", static_cast<int>(r.sizeHundredths));
  QMX_FLOW("pfldlastlg : %s", r.lastAccess.c_str());
}

unsigned __stdcall MailBoxInfoThread(void*) {
  QMX_ENTRY();
  QMX_RETURN(qmx::RunCollectionThread(qmx_trace, "MailBoxInfoThread", "mailboxinfo", GetMailBoxDetailex));
}

unsigned __stdcall PublicFolderDetailThread(void*) {
  QMX_ENTRY();
  QMX_RETURN(qmx::RunCollectionThread(qmx_trace, "PublicFolderDetailThread", "publicfolderdetail",
                                      GetPublicFolderDetailsEx));
}
