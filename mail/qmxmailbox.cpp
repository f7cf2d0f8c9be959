// The reachability test (see qmxmailbox.h). The mail tool's command line carries the deciphered
// password, as the tool takes it; it is never traced (the trace shows "XXXXX"), and the buffers
// that held it are cleared after use.
#include "qmxmailbox.h"

#include <activeds.h>
#include <process.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "jbx.h"
#include "qmxactdir.h"
#include "qmxcommon.h"
#include "qmxdecrypt.h"
#include "qmxschedule.h"
#include "qmxscripts.h"
#include "qmxtrace.h"
#include "win_text.h"

using qmx::ad::DirectorySession;
using qmx::ad::Prefs;
using qmx::ad::SearchResult;
using qmx::ad::Step;
namespace reach = qmx::reach;

namespace {

constexpr DWORD kAttemptSpacingMs = 30000;
constexpr size_t kMaxToolOutput = 1 << 20;
const char kResultsFile[] = "MailBox_Reachability_Results.log";

std::atomic<bool (*)(DWORD)> g_wait{nullptr};
std::atomic<DWORD> g_toolBoundMs{0};

// false once the agent stops.
bool Wait(DWORD ms) {
  if (bool (*w)(DWORD) = g_wait.load()) return w(ms);
  return !qmx::PauseCollection(ms);
}

std::string Env(const char* name) {
  const char* v = BSS1_GetEnv(name, 0);
  return v ? v : "";
}

// A text that held a secret: cleared before its memory is given back.
class SecretText {
 public:
  SecretText() = default;
  ~SecretText() { SecureZeroMemory(&text_[0], text_.size()); }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  std::string& get() { return text_; }

 private:
  std::string text_;
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The default naming context in a session of its own; *failed says which step failed.
HRESULT DefaultContext(const DirectorySession& session, std::wstring* context, Step* failed) {
  *failed = Step::Com;
  HRESULT hr = session.comResult();
  return SUCCEEDED(hr) ? session.NamingContext(L"defaultNamingContext", context, failed) : hr;
}

}  // namespace

std::string MailToolPath(const std::string& logDirectory) {
  const size_t slash = logDirectory.rfind('\\');
  return (slash == std::string::npos ? std::string() : logDirectory.substr(0, slash)) + "\\qmxews.exe";
}

void SetReachabilityWaits(const ReachabilityWaits& waits) {
  g_wait = waits.wait;
  g_toolBoundMs = waits.toolBoundMs;
}

std::string GetActiveDirectoryUserData(const std::string& address, int mode) {
  QMX_ENTRY();
  std::string result;
  DirectorySession session;
  std::wstring context;
  Step failed = Step::None;
  HRESULT hr = DefaultContext(session, &context, &failed);
  if (FAILED(hr)) {
    QMX_ERROR("ADsOpenObject failed, returned 0x%x: LDAP://rootDSE\n", static_cast<unsigned>(hr));
    QMX_FLOW("User Data returned : %s", result.c_str());
    return result;
  }
  static const std::vector<std::wstring> kAttributes = {
      L"homeMDB", L"mDBStorageQuota", L"Name", L"lastLogon", L"distinguishedName",
      L"mDBOverHardQuotaLimit", L"mDBOverQuotaLimit", L"mail", L"msExchHomeServerName"};
  const std::wstring filter =
      L"(&(objectClass=user)(mail=" + qmx::ToWide(reach::EscapeFilterValue(address)) + L"))";
  SearchResult r = session.Search(Prefs::Paged, filter, &kAttributes, &context);
  switch (r.failed) {
    case Step::None:
      break;
    case Step::BindSearch:
      QMX_ERROR("ADsGetObject failed, returned 0x%x: %ls\n", static_cast<unsigned>(r.hr),
                session.Path(context).c_str());
      break;
    case Step::Preferences:
      QMX_ERROR("SetSearchPreference failed, returned 0x%x:\n", static_cast<unsigned>(r.hr));
      break;
    case Step::Execute:
      QMX_ERROR("ExecuteSearch failed, returned 0x%x:", static_cast<unsigned>(r.hr));
      break;
    default:
      QMX_ERROR("GetFirstRow failed, returned 0x%x:", static_cast<unsigned>(r.hr));
      break;
  }
  if (r.rows.empty()) {
    if (r.failed == Step::None)
      QMX_ERROR("<GetActiveDirectoryUserData> ExecuteSearch returned no data found, 0x%x:",
                static_cast<unsigned>(r.hr));
  } else {
    const qmx::ad::Row& row = r.rows[0];
    const qmx::ad::Value* home = row.Find(L"msExchHomeServerName");
    const qmx::ad::Value* dn = row.Find(L"distinguishedName");
    if (FAILED(row.columnError))
      QMX_ERROR("GetColumn failed, returned 0x%x:", static_cast<unsigned>(row.columnError));
    if (home && !home->texts.empty()) {
      result = qmx::FromWide(home->texts[0], CP_ACP);
      if (dn && !dn->texts.empty()) result += reach::DnsDomainOf(qmx::FromWide(dn->texts[0], CP_ACP));
    }
  }
  (void)mode;  // this system asks for the home server only
  QMX_FLOW("User Data returned : %s", result.c_str());
  return result;
}

long GetUserEmailFromAD(std::string* mail) {
  QMX_ENTRY();
  mail->clear();
  const std::string user = Env("QMX_EXCH_USERID");
  DirectorySession session;
  std::wstring context;
  Step failed = Step::None;
  HRESULT hr = DefaultContext(session, &context, &failed);
  if (FAILED(hr)) {
    QMX_ERROR(failed == Step::ReadContext ? "-----> ADS Reading defaultNamingContext failed <-----"
                                          : "-----> ADS Open rootDSE failed <-----");
    qmx::ad::TraceAdsError("GetUserEmailFromAD", hr);
    QMX_RETURN(static_cast<long>(hr));
  }
  const std::wstring base = L"CN=Users," + context;
  QMX_FLOW("Searching AD path %ls", session.Path(base).c_str());
  const std::string filter = "(sAMAccountName=" + reach::EscapeFilterValue(user) + ")";
  QMX_FLOW("Executing Search with filter %s", filter.c_str());
  static const std::vector<std::wstring> kAttributes = {L"mail"};
  SearchResult r = session.Search(Prefs::Standard, qmx::ToWide(filter), &kAttributes, &base);
  if (r.failed != Step::None && r.rows.empty()) {
    switch (r.failed) {
      case Step::BindSearch:
        QMX_ERROR("-----> ADS Open %ls failed <-----", session.Path(base).c_str());
        break;
      case Step::Preferences:
        QMX_ERROR("-----> Failed to set search preference <-----");
        break;
      case Step::Execute:
        QMX_ERROR("-----> Execute Search failed <-----");
        break;
      default:
        QMX_ERROR("-----> Failed to obtain First Row of Search <-----");
        break;
    }
    qmx::ad::TraceAdsError("GetUserEmailFromAD", r.hr);
    QMX_RETURN(static_cast<long>(r.hr));
  }
  if (r.rows.empty()) {
    QMX_ERROR("ExecuteSearch returned no data");
    QMX_RETURN(static_cast<long>(S_ADS_NOMORE_ROWS));
  }
  const qmx::ad::Value* value = r.rows[0].Find(L"mail");
  if (!value || value->texts.empty()) {
    HRESULT c = FAILED(r.rows[0].columnError) ? r.rows[0].columnError : E_ADS_COLUMN_NOT_SET;
    QMX_ERROR("-----> Failed to get the Column <-----");
    qmx::ad::TraceAdsError("GetUserEmailFromAD", c);
    QMX_RETURN(static_cast<long>(c));
  }
  *mail = qmx::FromWide(value->texts[0], CP_ACP);
  QMX_FLOW("Email id (%s) for user (%s)", mail->c_str(), user.c_str());
  QMX_FLOW("Result : %s", mail->c_str());
  QMX_RETURN(0L);
}

int CheckEmailResponse(const std::string& target, const char* threshold, const char* password,
                       std::string* result) {
  QMX_ENTRY();
  const long long thresholdMs = reach::ThresholdMs(threshold);
  const std::string user = Env("QMX_EXCH_USERID"), domain = Env("QMX_EXCH_DOMAIN");
  const std::string server = Env("QMX_EXCH_SERVER");
  const std::string deleteFlag = Upper(Env("QMX_DELETE_EMAILS").empty() ? "NO" : Env("QMX_DELETE_EMAILS"));
  const std::string version = GetExchangeVersion() == kExchange2007 ? "2007" : "2010";
  std::string sender;
  if (GetUserEmailFromAD(&sender) != 0 || sender.empty()) {
    sender = user + "@" + domain;
    QMX_FLOW("Failed to obtain User Email from Active Directory. Hence setting Email using username "
             "and domain as %s",
             sender.c_str());
  }
  const std::string tool = MailToolPath(Env("VORTA_LOG_PATH"));
  const std::string thresholdText = std::to_string(thresholdMs);
  const std::string tail = domain + " " + server + " " + sender + " " + target + " " + thresholdText +
                           " " + version + " " + deleteFlag;
  SecretText command;
  command.get() = "\"" + tool + "\" -getmrt " + user + " " + (password ? password : "") + " " + tail;
  const std::string shown = "qmxews.exe -getmrt " + user + " XXXXX " + tail;
  QMX_FLOW("Send Email command line : %s", shown.c_str());
  DWORD bound = g_toolBoundMs.load();
  if (bound == 0) bound = static_cast<DWORD>(thresholdMs + kAttemptSpacingMs);

  std::string found, sentStamp;
  reach::MailTime sent;  // the last send time the tool printed for this target
  long long elapsed = 0;
  for (;;) {
    elapsed += kAttemptSpacingMs;
    if (elapsed > thresholdMs) break;
    std::string output;
    const int run = RunCommandBounded(command.get(), shown, bound, kMaxToolOutput, &output);
    if (run == 1) QMX_ERROR("The mail tool could not be started: %s", tool.c_str());
    if (run == 2) QMX_ERROR("The mail tool did not end within %u ms and was ended", static_cast<unsigned>(bound));
    const reach::ToolOutput out = reach::ReadToolOutput(output);
    for (const std::string& line : out.lines) QMX_FLOW("Results return by qmxews:%s", line.c_str());
    if (out.sentSeen) {
      sent = out.sent;
      sentStamp = reach::StampOf(sent);
      QMX_FLOW("Email Sent Time:%s", sentStamp.c_str());
    }
    if (out.replySeen) {
      const std::string receivedStamp = reach::StampOf(out.received);
      QMX_FLOW("Email Response Time:%s", receivedStamp.c_str());
      const std::string targetServer = reach::TargetServer(GetActiveDirectoryUserData(target, 1));
      QMX_FLOW("Email response : %s, Email Address :%s, %s, Reply From :%s", receivedStamp.c_str(),
               target.c_str(), targetServer.c_str(), out.replyFrom.c_str());
      double seconds = 0;
      if (!sentStamp.empty() && reach::ReplyCounts(sent, out.received, &seconds)) {
        QMX_FLOW("Reply received: %d, message sent %d",
                 static_cast<int>(reach::MillisecondsOfDay(out.received)),
                 static_cast<int>(reach::MillisecondsOfDay(sent)));
        if (!found.empty()) found += ";";
        found += target + ";Y;" + reach::ResponseText(seconds) + ";" + receivedStamp + ";" + targetServer;
        QMX_FLOW("Address Found : %s", found.c_str());
      }
    }
    if (reach::CheckReplies(target, found) == 0) break;
    // No wait after the last attempt: nothing would follow it.
    if (elapsed + kAttemptSpacingMs > thresholdMs) break;
    if (!Wait(kAttemptSpacingMs)) break;
  }
  QMX_FLOW("Checking if email address (%s) are in addresses found (%s)", target.c_str(), found.c_str());
  *result = reach::CheckResponsesComplete(sentStamp, target, found);
  QMX_FLOW("complete responses : %s", result->c_str());
  QMX_RETURN(0);
}

int TestReachability(const char* password, std::string* result) {
  QMX_ENTRY();
  result->clear();
  const char* threshold = BSS1_GetEnv("QMX_REACHABILITY_THRESHOLD", 0);
  for (const std::string& target : reach::TargetAddresses(BSS1_GetEnv("QMX_EMAIL_ADDRESSES", 0))) {
    std::string one;
    CheckEmailResponse(target, threshold, password, &one);
    if (one.empty()) continue;
    if (!result->empty()) *result += ";";
    *result += one;
  }
  QMX_RETURN(0);
}

std::vector<reach::ReachRecord> GetEmailResponseTime(std::string* count) {
  QMX_ENTRY();
  if (count) *count = "0";
  const char* user = BSS1_GetEnv("QMX_EXCH_USERID", 0);
  const char* enciphered = BSS1_GetEnv("QMX_EXCH_PASSWORD", 0);
  if (!user || !enciphered) {
    QMX_ERROR("Environment variables are not set. Missing userid, password or exchange profile");
    return {};
  }
  char password[256];
  DecryptPassword(enciphered, password, sizeof password);
  std::string result;
  TestReachability(password, &result);
  SecureZeroMemory(password, sizeof password);
  QMX_FLOW("Reachability results : %s", result.c_str());
  std::vector<reach::ReachRecord> records = reach::RecordsOfResult(result);
  for (const reach::ReachRecord& r : records) {
    QMX_FLOW("------------ reachabilty results -----------");
    QMX_FLOW("trgeaddr  : %s", r.address.c_str());
    QMX_FLOW("reachable : %s", r.reachable.c_str());
    QMX_FLOW("resptime  : %s", r.response.c_str());
    QMX_FLOW("runtime   : %s", r.runTime.c_str());
    QMX_FLOW("trgserver : %s", r.server.c_str());
  }
  if (count) *count = std::to_string(records.size());
  return records;
}

DWORD WriteReachabilityFile(const std::string& directory,
                            const std::vector<reach::ReachRecord>& records) {
  QMX_ENTRY();
  const std::string path = directory + "\\" + kResultsFile;
  for (const reach::ReachRecord& r : records)
    QMX_FLOW("Reachability file record : %s;%s;%s;%s;%s", r.server.c_str(), r.address.c_str(),
             r.reachable.c_str(), r.response.c_str(), r.runTime.c_str());
  const DWORD e = qmx::ReplaceFileText(path, reach::FormatResultsFile(records)) ? 0 : GetLastError();
  if (e) QMX_ERROR("Reachability results file not replaced: %s, error %lu", path.c_str(), e);
  QMX_RETURN(e);
}

int RunReachability(void* context) {
  QMX_ENTRY();
  const char* intervalSetting = BSS1_GetEnv("QMX_REACHABILITY_INTERVAL", 0);
  const char* server = BSS1_GetEnv("QMX_EXCH_SERVER", 0);
  const long interval = reach::ReachabilityInterval(intervalSetting);
  if (intervalSetting && interval < 1)
    QMX_ERROR("QMX_REACHABILITY_INTERVAL \"%s\" is not a whole number of seconds of at least 1",
              intervalSetting);
  if (interval < 1 || !server || !*server) {
    QMX_ERROR("Environment variables are not set. Missing reachability interval or computer name");
    QMX_RETURN(0);
  }
  const std::string directory = Env("VORTA_LOG_PATH");
  for (;;) {
    std::string count;
    const std::vector<reach::ReachRecord> records = GetEmailResponseTime(&count);
    QMX_FLOW("%d Email responses returned", static_cast<int>(records.size()));
    // A cycle without records keeps the last complete file.
    if (!records.empty()) WriteReachabilityFile(directory, records);
    QMX_FLOW("Entering sleep interval");
    // The next cycle starts an interval after this one ended, however long it took.
    if (!Wait(static_cast<DWORD>(interval) * 1000)) QMX_RETURN(1);
    QMX_FLOW("Sleep interval %ul expired. Gather email response times", static_cast<unsigned>(interval));
  }
}

unsigned __stdcall ReachabilityThread(void*) {
  QMX_ENTRY();
  QMX_RETURN(qmx::RunCollectionThread(qmx_trace, "ReachabilityThread", "reachability", RunReachability));
}
