// Storage groups, stores and log files from the directory, sized from the file system.
#include "qmxstorage.h"

#include <windows.h>

#include <activeds.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "earegenv.h"
#include "jbx.h"
#include "qmxactdir.h"
#include "qmxcommon.h"
#include "qmxstorage_portable.h"
#include "qmxtrace.h"
#include "qmxutil.h"
#include "win_text.h"

using qmx::ad::DirectorySession;
using qmx::ad::Prefs;
using qmx::ad::Row;
using qmx::ad::SearchResult;
using qmx::ad::Step;
using qmx::ad::Value;

namespace {

const char kEnvironmentKey[] = "SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment";
const char kValueSuffix[] = "_QMX_Storage_Group_Details";

std::string Text(const Value* v) {
  return v && !v->texts.empty() ? qmx::FromWide(v->texts[0], CP_ACP) : std::string();
}

// A text attribute, or an integer attribute as decimal text.
std::string TextOrNumber(const Row& row, const wchar_t* name) {
  const Value* v = row.Find(name);
  if (!v) return std::string();
  if (v->integer) return v->numbers.empty() ? std::string() : std::to_string(v->numbers[0]);
  return Text(v);
}

std::string Setting(const char* name) {
  const char* v = BSS1_GetEnv(name, 0);
  return v ? v : "";
}

// The lines of a failed search, after the step's own line; rows of a search cut off midway are
// not used (a part of the databases would be reported as all of them).
void TraceSearchFailure(QmxTrace& qmx_trace, const char* function, const SearchResult& r,
                        const char* filterLine) {
  switch (r.failed) {
    case Step::Com:
    case Step::OpenRootDSE:
      QMX_ERROR("-----> ADS Open rootDSE failed <-----");
      break;
    case Step::ReadContext:
      QMX_ERROR("-----> ADS Open configurationNamingContext failed <-----");
      break;
    case Step::BindSearch:
      QMX_ERROR("-----> ADS Open adsPath failed <-----");
      break;
    case Step::Preferences:
      QMX_ERROR("-----> ADS SetSearchPreference failed <-----");
      break;
    case Step::Execute:
      if (filterLine) QMX_ERROR(filterLine, static_cast<unsigned>(r.hr));
      QMX_ERROR("-----> ADS ExecuteSearch failed <-----");
      break;
    default:
      QMX_ERROR("-----> ADS GetFirstRow failed <-----");
      break;
  }
  qmx::ad::TraceAdsError(function, r.hr);
}

void ErrorTexts(long code, std::string* codeText, std::string* message) {
  char c[16], m[4096];
  ADsErrorText(code, c, sizeof c, m, sizeof m);
  if (codeText) *codeText = c;
  if (message) *message = m;
}

bool DriveSpace(const std::string& drive, double* freeMB, double* totalMB) {
  char total[32], free[32];
  GetDiskSpaceInMB(drive.c_str(), total, sizeof total, free, sizeof free);
  *totalMB = std::strtod(total, nullptr);
  *freeMB = std::strtod(free, nullptr);
  return *totalMB > 0;
}

// The local time as "Thu Dec 10 17:11:24 2026".
std::string Time24() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_s(&t, &now);
  char out[32];
  std::snprintf(out, sizeof out, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[t.tm_wday % 7],
                kMonths[t.tm_mon % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 1900 + t.tm_year);
  return out;
}

// Which agent instance and server a persisted line belongs to: the managed-system name (unique
// per instance) and the server it watches.
std::string GrowthOwner(const std::string& server) {
  std::string origin(CachedLocalHost(), kManagedSystemNameLen);
  origin.erase(origin.find_last_not_of(' ') + 1);
  return origin + "/" + server;
}

// Holds the process-crossing lock of the persisted growth values for one read-modify-write, so
// two instances never write back a value read before the other's write. Unlocked (traced) when
// the mutex cannot be had; the value is then still written whole.
class GrowthLock {
 public:
  explicit GrowthLock(QmxTrace& qmx_trace) {
    h_ = CreateMutexA(nullptr, FALSE, "Global\\QMX_Storage_Group_Details");
    if (!h_) {
      QMX_ERROR("GetStorGrpDetails: growth lock not created, error %lu", GetLastError());
      return;
    }
    DWORD w = WaitForSingleObject(h_, 10000);
    held_ = w == WAIT_OBJECT_0 || w == WAIT_ABANDONED;
    if (!held_) QMX_ERROR("GetStorGrpDetails: growth lock not taken (%lu); going on", w);
  }
  ~GrowthLock() {
    if (held_) ReleaseMutex(h_);
    if (h_) CloseHandle(h_);
  }
  GrowthLock(const GrowthLock&) = delete;
  GrowthLock& operator=(const GrowthLock&) = delete;

 private:
  HANDLE h_ = nullptr;
  bool held_ = false;
};

// Previous size of the group from its persisted value, and the new value stored.
double PersistGroup(QmxTrace& qmx_trace, const std::string& owner, StorageGroupDetails* g) {
  const std::string valueName = g->name + kValueSuffix;
  RegKey key;
  std::string stored;
  const bool opened = act_regopenkey(HKEY_LOCAL_MACHINE, kEnvironmentKey, key) != 0;
  if (!opened) {
    QMX_ERROR("Open Registry key: %s failed.", kEnvironmentKey);
  } else if (act_reggetstring(key, valueName.c_str(), stored)) {
    QMX_DETAIL("Storage Group: %s details from Registry: %s", g->name.c_str(), stored.c_str());
    QMX_DETAIL("SG (%s) Registry Data: %s", g->name.c_str(), stored.c_str());
  } else {
    QMX_DETAIL("Storage Group Details key (%s) not found in Windows Registry.", valueName.c_str());
  }
  const double previous = qmx::storage::PreviousSize(stored, owner);
  g->previousSizeBytes = previous;
  g->growthPercent = qmx::storage::Growth(g->sizeBytes, previous);
  if (opened) {
    const std::string value =
        qmx::storage::PersistedValue(stored, owner, g->sizeBytes, g->growthPercent, Time24());
    if (!act_regsetstring(key, valueName.c_str(), value.c_str()))
      QMX_ERROR("Storing Storage Group Details to Windows Registry failed. HKey: %s, Key: %s",
                "HKEY_LOCAL_MACHINE", valueName.c_str());
  }
  return previous;
}

bool IsPublicText(const std::string& records) {
  for (const std::string& f : qmx::storage::Tokens(records))
    if (f == "P") return true;
  return false;
}

}  // namespace

long GetStorageGroupNames(void* context, const std::string& server, std::string* names) {
  QMX_ENTRY();
  names->clear();
  DirectorySession session;
  static const std::vector<std::wstring> kAttributes = {L"name", L"distinguishedName",
                                                        L"msExchESEParamBaseName", L"objectCategory"};
  SearchResult r = session.Search(Prefs::Paged, L"(objectClass=msExchStorageGroup)", &kAttributes);
  if (r.failed != Step::None) {
    TraceSearchFailure(qmx_trace, "GetStorageGroupNames", r,
                       "ExecuteSearch failed, returned 0x%x: (objectClass=msExchStorageGroup");
    QMX_RETURN(static_cast<long>(FAILED(r.hr) ? r.hr : E_FAIL));
  }
  if (r.rows.empty()) {
    QMX_ERROR("<GetStorageGroupNames> ExecuteSearch returned no data found, 0x%x:",
              static_cast<unsigned>(r.hr));
    QMX_RETURN(0L);
  }
  std::vector<qmx::storage::StorageGroupObject> groups;
  for (const Row& row : r.rows) {
    qmx::storage::StorageGroupObject g;
    g.name = Text(row.Find(L"name"));
    g.dn = Text(row.Find(L"distinguishedName"));
    g.baseName = Text(row.Find(L"msExchESEParamBaseName"));
    QMX_DETAIL("-------> Storage Group data <------");
    QMX_DETAIL("mailboxStoreName : %s", g.name.c_str());
    QMX_DETAIL("distinguishedName : %s", g.dn.c_str());
    QMX_DETAIL("msExchESEParamBaseName : %s", g.baseName.c_str());
    if (FAILED(row.columnError)) {
      QMX_ERROR("GetColumn failed, returned 0x%x:", static_cast<unsigned>(row.columnError));
      continue;
    }
    if (!g.name.empty()) groups.push_back(std::move(g));
  }
  for (const std::string& name : qmx::storage::ServerStorageGroups(groups, server, GetExchangeVersion())) {
    if (!names->empty()) *names += ';';
    *names += qmx::storage::FieldText(name);
  }
  QMX_DETAIL("Results: %s", names->c_str());
  QMX_RETURN(0L);
}

namespace {

// The store query of both database kinds; the attributes are the same but for "homeMDBBL".
long StoreQuery(QmxTrace& qmx_trace, const char* function, char type, const std::string& server,
                const std::vector<std::string>* groups, std::string* code, std::string* message,
                std::string* records) {
  records->clear();
  if (code) *code = "0";
  if (message) *message = "OK";
  static const std::vector<std::wstring> kPrivate = {
      L"ADsPath", L"msExchEDBFile", L"msExchSLVFile", L"mDBOverHardQuotaLimit", L"mDBOverQuotaLimit",
      L"mDBStorageQuota", L"name", L"homeMDBBL", L"msExchOwningServer"};
  static const std::vector<std::wstring> kPublic = {
      L"ADsPath", L"msExchEDBFile", L"msExchSLVFile", L"mDBOverHardQuotaLimit", L"mDBOverQuotaLimit",
      L"name", L"mDBStorageQuota", L"msExchOwningServer"};
  DirectorySession session;
  SearchResult r = type == 'M'
                       ? session.Search(Prefs::Paged, L"(objectClass=msExchPrivateMDB)", &kPrivate)
                       : session.Search(Prefs::Standard, L"(objectClass=msExchPublicMDB)", &kPublic);
  if (r.failed != Step::None) {
    TraceSearchFailure(qmx_trace, function, r,
                       type == 'M' ? "ExecuteSearch failed, returned 0x%x: (objectClass=msExchPrivateMDB"
                                   : nullptr);
    const long hr = static_cast<long>(FAILED(r.hr) ? r.hr : E_FAIL);
    ErrorTexts(hr, code, message);
    return hr;
  }
  if (r.rows.empty()) {
    if (type == 'M')
      QMX_ERROR("<GetPrivateStoreActiveDirectoryData> ExecuteSearch returned no data found, 0x%x:",
                static_cast<unsigned>(r.hr));
    else
      QMX_ERROR("ExecuteSearch returned no data found, 0x%x:", static_cast<unsigned>(r.hr));
    return 99;
  }
  std::vector<qmx::storage::DatabaseObject> objects;
  for (const Row& row : r.rows) {
    qmx::storage::DatabaseObject o;
    o.adsPath = Text(row.Find(L"ADsPath"));
    o.name = Text(row.Find(L"name"));
    o.edbFile = Text(row.Find(L"msExchEDBFile"));
    o.slvFile = Text(row.Find(L"msExchSLVFile"));
    o.hardQuota = TextOrNumber(row, L"mDBOverHardQuotaLimit");
    o.warningQuota = TextOrNumber(row, L"mDBOverQuotaLimit");
    o.storageQuota = TextOrNumber(row, L"mDBStorageQuota");
    o.owningServer = Text(row.Find(L"msExchOwningServer"));
    if (const Value* back = row.Find(L"homeMDBBL")) o.mailboxes = static_cast<int32_t>(back->count());
    QMX_DETAIL("-------> mailbox store data <------");
    QMX_DETAIL("mailboxStoreName: %s", o.name.c_str());
    QMX_DETAIL("AdsPath: %s", o.adsPath.c_str());
    QMX_DETAIL("msExchEDBFile: %s", o.edbFile.c_str());
    QMX_DETAIL("msExchSLVFile: %s", o.slvFile.c_str());
    QMX_DETAIL("mDBOverHardQuotaLimit: %s", o.hardQuota.c_str());
    QMX_DETAIL("mDBOverQuotaLimit: %s", o.warningQuota.c_str());
    QMX_DETAIL("mDBStorageQuota: %s", o.storageQuota.c_str());
    QMX_DETAIL("msExchOwningServer: %s", o.owningServer.c_str());
    if (type == 'M') QMX_DETAIL("Number of Mailboxex: %s", std::to_string(o.mailboxes).c_str());
    if (FAILED(row.columnError)) {
      QMX_ERROR("GetColumn failed, returned 0x%x:", static_cast<unsigned>(row.columnError));
      qmx::ad::TraceAdsError(function, row.columnError);
      continue;
    }
    objects.push_back(std::move(o));
  }
  *records = qmx::storage::DatabaseRecordText(objects, server, GetExchangeVersion(), type, groups);
  return records->empty() ? 99 : 0;
}

}  // namespace

// storageGroups: the server's storage groups when the caller has them, else "" (then read here).
// flag: not used.
long GetPrivateStoreActiveDirectoryData(void* context, const std::string& server,
                                        const std::string& storageGroups, std::string* code,
                                        std::string* message, std::string* records, int flag) {
  QMX_ENTRY();
  const int release = GetExchangeVersion();
  std::vector<std::string> groups;
  const bool listed = release == kExchange2003 || release == kExchange2007;
  if (listed) {
    std::string names = storageGroups;
    if (names.empty()) GetStorageGroupNames(context, server, &names);
    if (names.empty()) QMX_ERROR("Storage groups not found");
    groups = qmx::storage::Tokens(names);
  }
  QMX_RETURN(StoreQuery(qmx_trace, "GetPrivateStoreActiveDirectoryData", 'M', server,
                        listed ? &groups : nullptr, code, message, records));
}

long GetPublicStoreActiveDirectoryData(void* context, const std::string& server,
                                       const std::string& storageGroups, std::string* count,
                                       std::string* message, std::string* records) {
  QMX_ENTRY();
  QMX_RETURN(StoreQuery(qmx_trace, "GetPublicStoreActiveDirectoryData", 'P', server, nullptr, count,
                        message, records));
}

std::vector<DbFileRecord> GetNumDBFiles(void* context, const std::string& records,
                                        std::string* count, std::string* summary) {
  QMX_ENTRY();
  std::vector<DbFileRecord> files = qmx::storage::ParseRecordText(records, GetExchangeVersion());
  for (DbFileRecord& f : files) {
    double size = 0;
    for (const std::string* path : {&f.edbPath, &f.stmPath}) {
      if (path->empty()) continue;
      // A path without a drive would be looked up relative to the agent's working folder.
      if (qmx::storage::DriveOf(*path).empty()) {
        QMX_ERROR("GetNumDBFiles: \"%s\" of %s names no drive; size 0", path->c_str(), f.name.c_str());
        continue;
      }
      size += GetFileSizeByName(path->c_str());
    }
    f.sizeBytes = size;
    QMX_DETAIL("--> Storage Group: %s", f.storageGroup.c_str());
    QMX_DETAIL("    DB filename: %s", f.edbPath.c_str());
    QMX_DETAIL("    DB filesize: %f", f.sizeBytes);
    QMX_DETAIL("    STM filename: %s", f.stmPath.c_str());
    QMX_DETAIL("    DB over quota limit: %d", static_cast<int>(f.warningQuota));
    QMX_DETAIL("    DB storage quota: %d", static_cast<int>(f.storageQuota));
    QMX_DETAIL("    DB type, mail or public: %s", f.type == 'P' ? "P" : "M");
  }
  if (count) *count = std::to_string(files.size());
  if (summary) *summary = qmx::storage::SummaryText(files, DriveSpace);
  return files;
}

std::vector<StorageGroupDetails> GetStorGrpDetails(void* context, std::string* count) {
  QMX_ENTRY();
  if (count) *count = "0";
  const std::string server = Setting("QMX_EXCH_SERVER");
  std::string code, message, records;
  if (GetPrivateStoreActiveDirectoryData(context, server, "", &code, &message, &records, 0) != 0) {
    QMX_ERROR("GetStorGrpDetails: no mailbox databases (%s %s)", code.c_str(), message.c_str());
    return std::vector<StorageGroupDetails>();
  }
  std::string fileCount, summary;
  std::vector<DbFileRecord> mailbox = GetNumDBFiles(context, records, &fileCount, &summary);
  QMX_DETAIL("Storage Groups: %s", summary.c_str());
  std::vector<DbFileRecord> pub;
  std::string pubRecords;
  GetPublicStoreActiveDirectoryData(context, server, "", &code, &message, &pubRecords);
  if (!pubRecords.empty() && IsPublicText(pubRecords)) {
    std::string pubCount, pubSummary;
    pub = GetNumDBFiles(context, pubRecords, &pubCount, &pubSummary);
    QMX_DETAIL("Number of Public Folder files : %s", pubCount.c_str());
    QMX_DETAIL("Storage groups from public search : %s", pubSummary.c_str());
    summary += ";" + pubSummary;
  }
  std::vector<StorageGroupDetails> groups = qmx::storage::GroupFigures(mailbox, pub, DriveSpace);
  const std::string owner = GrowthOwner(server);
  {
    GrowthLock lock(qmx_trace);
    for (StorageGroupDetails& g : groups) PersistGroup(qmx_trace, owner, &g);
  }
  for (const StorageGroupDetails& g : groups)
    QMX_DETAIL("Number of Mailbox in %s : %d", g.name.c_str(), static_cast<int>(g.mailboxes));
  if (count) *count = std::to_string(groups.size());
  return groups;
}

namespace {

// The search of a log query: 0 with rows, the failure's code, or 99 (traced) when nothing matched.
long LogQuery(QmxTrace& qmx_trace, const char* function, const wchar_t* filter, const char* filterLine,
              const std::vector<std::wstring>* attributes, SearchResult* r) {
  DirectorySession session;
  *r = session.Search(Prefs::Standard, filter, attributes);
  if (r->failed != Step::None) {
    TraceSearchFailure(qmx_trace, function, *r, filterLine);
    return static_cast<long>(FAILED(r->hr) ? r->hr : E_FAIL);
  }
  if (r->rows.empty()) {
    QMX_ERROR("%s(): ExecuteSearch returned no data found, 0x%x:", function, static_cast<unsigned>(r->hr));
    return 99;
  }
  return 0;
}

// The entries of one storage group or database: the log files the file search finds in its log
// path (each with its directory, so beginning with a drive), then its name.
void AppendLogEntries(QmxTrace& qmx_trace, std::string* text, const std::string& logPath,
                      const std::string& baseName, const std::string& name) {
  std::string files;
  long hr = FindFileNames(logPath.c_str(), (baseName + "*.log").c_str(), &files);
  if (hr != 0) {
    QMX_ERROR("No Log File Found under path %s\n", logPath.c_str());
    QMX_ERROR("FindFileNames() HResult: 0x%x", static_cast<unsigned>(hr));
    files.clear();
  }
  for (const std::string& entry : {files, qmx::storage::FieldText(name)}) {
    if (entry.empty()) continue;
    if (!text->empty()) *text += ';';
    *text += entry;
  }
}

long LogResult(QmxTrace& qmx_trace, const std::string& text, std::wstring* result) {
  QMX_DETAIL("Log File results: %s", text.c_str());
  *result = qmx::ToWide(text);
  return text.empty() ? 99L : 0L;
}

}  // namespace

long GetLogFileActiveDirectoryData(void* context, const std::string& server, std::wstring* result) {
  QMX_ENTRY();
  result->clear();
  static const std::vector<std::wstring> kAttributes = {
      L"name", L"ADsPath", L"distinguishedName", L"msExchESEParamLogFilePath", L"msExchESEParamBaseName"};
  SearchResult r;
  const long rc = LogQuery(qmx_trace, "GetLogFileActiveDirectoryData", L"(objectClass=msExchStorageGroup)",
                           "ExecuteSearch failed, returned 0x%x: (objectClass=msExchStorageGroup",
                           &kAttributes, &r);
  if (rc != 0) QMX_RETURN(rc);
  std::string text;
  for (const Row& row : r.rows) {
    for (const Value& v : row.columns)
      QMX_DETAIL("Column Name fetched = %s", qmx::FromWide(v.name, CP_ACP).c_str());
    if (row.badParameterEnd)
      QMX_ERROR("GetNextColumnName is returning E_ADS_BAD_PARAMETER HResult: 0x%x",
                static_cast<unsigned>(E_ADS_BAD_PARAMETER));
    const std::string dn = Text(row.Find(L"distinguishedName"));
    const std::string name = Text(row.Find(L"name"));
    const std::string logPath = Text(row.Find(L"msExchESEParamLogFilePath"));
    const std::string baseName = Text(row.Find(L"msExchESEParamBaseName"));
    QMX_DETAIL("distinguishedName = %s", dn.c_str());
    QMX_DETAIL("name: %s", name.c_str());
    QMX_DETAIL("AdsPath: %s", Text(row.Find(L"ADsPath")).c_str());
    QMX_DETAIL("msExchESEParamLogFilePath: %s", logPath.c_str());
    QMX_DETAIL("msExchESEParamBaseName: %s", baseName.c_str());
    if (qmx::storage::UnderServer(dn, server) && !logPath.empty())
      AppendLogEntries(qmx_trace, &text, logPath, baseName, name);
  }
  QMX_DETAIL("GetLogFileActiveDirectoryData(): GetNextRow returned no more data found, 0x%x:",
             static_cast<unsigned>(S_ADS_NOMORE_ROWS));
  QMX_RETURN(LogResult(qmx_trace, text, result));
}

long GetLogFileDataFromActiveDirectoryData(void* context, const std::string& server,
                                           std::wstring* result) {
  QMX_ENTRY();
  result->clear();
  SearchResult r;
  const long rc = LogQuery(qmx_trace, "GetLogFileDataFromActiveDirectoryData", L"(objectClass=msExchPrivateMDB)",
                           "ExecuteSearch failed, returned 0x%x: (objectClass=msExchPrivateMDB", nullptr, &r);
  if (rc != 0) QMX_RETURN(rc);
  std::string text;
  for (const Row& row : r.rows) {
    const std::string name = Text(row.Find(L"name"));
    const std::string owning = Text(row.Find(L"msExchOwningServer"));
    const std::string logPath = Text(row.Find(L"msExchESEParamLogFilePath"));
    const std::string baseName = Text(row.Find(L"msExchESEParamBaseName"));
    QMX_DETAIL("Name : %s", name.c_str());
    QMX_DETAIL("msExchOwningServer : %s", owning.c_str());
    QMX_DETAIL("msExchESEParamLogFilePath : %s", logPath.c_str());
    QMX_DETAIL("msExchESEParamBaseName : %s", baseName.c_str());
    const std::string owner = qmx::storage::OwningServer(owning);
    // As for the store records: a 2010 database counts from the Databases container only.
    if (qmx::storage::UnderInformationStore(Text(row.Find(L"distinguishedName")))) continue;
    if (!owner.empty() && _stricmp(owner.c_str(), server.c_str()) == 0 && !logPath.empty())
      AppendLogEntries(qmx_trace, &text, logPath, baseName, name);
  }
  QMX_RETURN(LogResult(qmx_trace, text, result));
}
