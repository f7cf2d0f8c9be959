// Table 9 (MSESERVR): whether the server is up, its roles and free space; the service states
// and role flags that table 39's role-based services rows reuse.
#include "qmx09agt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "qmxservices_portable.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include "qmxcommon.h"
#include "qmxstorage.h"
#include "win_text.h"
#endif

namespace qmx {

namespace {
ServiceStateArray g_states;
uint32_t g_roles = 0;
int32_t g_rbsSequence = 0;  // sampleno of the role-based services rows
}  // namespace

ServiceStateArray& ServiceStates() { return g_states; }
uint32_t ServerRoleFlags() { return g_roles; }

void ResetServerStatusForTests() {
  g_states = ServiceStateArray();
  g_roles = 0;
  g_rbsSequence = 0;
}

bool ServerLogPathsFromDirectory(int release, const char* server, std::string* paths) {
  QMX_ENTRY();
  paths->clear();
#ifdef _WIN32
  const std::string name = server ? server : "";
  std::wstring text;
  const long rc = release == kExchange2010 ? GetLogFileDataFromActiveDirectoryData(nullptr, name, &text)
                                           : GetLogFileActiveDirectoryData(nullptr, name, &text);
  if (rc != 0) {
    QMX_ERROR("GetServerLogSpace: no log paths of \"%s\" from the directory (0x%x)", name.c_str(),
              static_cast<unsigned>(rc));
    QMX_RETURN(false);
  }
  *paths = qmx::FromWide(text, CP_ACP);
  QMX_RETURN(true);
#else
  QMX_ERROR("GetServerLogSpace: the log paths of \"%s\" come from the directory, which this build "
            "does not read",
            server ? server : "");
  QMX_RETURN(false);
#endif
}

}  // namespace qmx

#ifdef _WIN32

#include "earegenv.h"
#include "jbx.h"
#include "qmxcommon.h"
#include "qmxrows.h"
#include "qmxservices.h"

namespace {

// The request's own record, made at its first use (the request is created without one); a
// request whose record could not be allocated works on a scratch record.
qmx::ServerRequestData& Data(qmx_mseservr_agent* self) {
  static qmx::ServerRequestData scratch;
  if (self && !self->pServerData) self->pServerData = new (std::nothrow) qmx::ServerRequestData();
  return self && self->pServerData ? *static_cast<qmx::ServerRequestData*>(self->pServerData)
                                   : scratch;
}

// The reader of the sample running now on this thread, so that one manager handle serves the
// whole sample; a call outside a sample brings its own. Per thread: other tables' samples call in
// from their own threads while this one runs, and must neither use nor see a reader that this
// sample removes under them.
thread_local qmx::ServiceStatusReader* g_sampleReader = nullptr;

class ReaderOfCall {
 public:
  ReaderOfCall() {
    if (!g_sampleReader) own_.reset(new qmx::ServiceStatusReader(nullptr));
  }
  qmx::ServiceStatusReader& get() { return g_sampleReader ? *g_sampleReader : *own_; }

 private:
  std::unique_ptr<qmx::ServiceStatusReader> own_;
};

bool DriveSpace(const std::string& drive, uint64_t* freeMB, uint64_t* totalMB) {
  char total[32], free[32];
  GetDiskSpaceInMB(drive.c_str(), total, sizeof total, free, sizeof free);
  *totalMB = std::strtoull(total, nullptr, 10);
  *freeMB = std::strtoull(free, nullptr, 10);
  return *totalMB != 0;
}

}  // namespace

void GetServicesDetail(qmx_mseservr_agent* self, int release) {
  QMX_ENTRY();
  qmx::ServerRequestData& data = Data(self);
  data.servicesFound = false;
  qmx::ServiceFamily family;
  RegKey key;
  bool opened = false;
  if (qmx::FamilyOfRelease(release, &family)) {
    if (family == qmx::ServiceFamily::PRE2007)
      opened = act_regopenkey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Exchange\\Setup", key);
    else
      opened = act_regopenkey64(HKEY_LOCAL_MACHINE,
                                release == kExchange2007
                                    ? "SOFTWARE\\Microsoft\\Exchange\\Setup"
                                    : "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup",
                                key);
  }
  if (!opened) {
    QMX_ERROR("TakeSample: Registry Key opening failed! ");
    return;
  }
  QMX_FLOW("TakeSample: Registry Key Succeded! ");
  std::string services;
  if (act_reggetstring(key, "Services", services)) {
    QMX_DETAIL("TakeSample(): Services Path: %s", services.c_str());
    std::snprintf(data.servicesDrive, sizeof data.servicesDrive, "%.2s", services.c_str());
  } else {
    QMX_ERROR("TakeSample(): Reading services path failed.");
  }
  key.reset();

  const auto& list = qmx::Services(family, qmx::ServiceList::STATE);
  qmx::ServiceStateArray& states = qmx::ServiceStates();
  states.valid = static_cast<int>(list.size());
  ReaderOfCall reader;
  for (size_t i = 0; i < list.size(); ++i) {
    QMX_FLOW("TakeSample: GetData( \"%s\" )", list[i]->name);
    try {
      reader.get().Query(list[i]->name);
      data.servicesFound = true;
      states.state[i] = qmx::StoredState(reader.get().currentState());
    } catch (const qmx::ServiceQueryError& e) {
      QMX_DETAIL("TakeSample: GetData( \"%s\" ) failed! %s, error %lu", list[i]->name, e.what(),
                 static_cast<unsigned long>(e.code()));
    }
  }
}

void GetRolesDetail(qmx_mseservr_agent* self, int release) {
  QMX_ENTRY();
  qmx::g_roles |= GetExchangeServerRoleInfo(release);
}

void ServerStatus(qmx_mseservr_agent* self, int release, char* statusText, size_t size,
                  const char* role) {
  QMX_ENTRY();
  const char* configured = BSS1_GetEnv("QMX_REQD_SERVICES", 0);
  if (configured && !*configured) configured = nullptr;
  if (configured)
    QMX_DETAIL("ServerStatus: Configured services to determine up/down status : \"%s\"", configured);
  else
    QMX_DETAIL("ServerStatus: Configured services to determine up/down status not defined");
  ReaderOfCall reader;
  bool up = qmx::DecideServerUp(release, configured, role, qmx::ReaderQuery(reader.get()));
  std::snprintf(statusText, size, "%s", up ? "up" : "down");
}

int GetServerStatus(qmx_mseservr_agent* self, int release) {
  QMX_ENTRY();
  char status[8] = "up";
  const uint32_t roles = qmx::ServerRoleFlags();
  const uint32_t single = kRoleHubTransport | kRoleMailbox | kRoleClientAccess;
  if (release == kExchange2003) {
    ServerStatus(self, release, status, sizeof status, "");
  } else if ((roles & single) == single) {
    QMX_DETAIL("SingleServer found");
    ServerStatus(self, release, status, sizeof status, "SingleServer");
  } else {
    static const struct {
      uint32_t flag;
      const char* role;
    } kOrder[] = {{kRoleMailbox, "MailBoxRole"},
                  {kRoleClientAccess, "ClientAccessRole"},
                  {kRoleHubTransport, "HubTransportRole"},
                  {kRoleUnifiedMessaging, "UnifiedMessagingRole"},
                  {kRoleEdgeTransport, "EdgeTransportRole"}};
    for (const auto& r : kOrder) {
      if (!(roles & r.flag) || std::strcmp(status, "up") != 0) continue;
      QMX_DETAIL("%s found", r.role);
      ServerStatus(self, release, status, sizeof status, r.role);
    }
    if (!(roles & (single | kRoleUnifiedMessaging | kRoleEdgeTransport))) {
      QMX_DETAIL("Server role does not exists. Hence setting the server status as down");
      std::snprintf(status, sizeof status, "down");
    }
  }
  if (std::strcmp(status, "down") == 0) {
    QMX_DETAIL("Server status is : down");
    QMX_RETURN(0);
  }
  QMX_DETAIL("Server status is : up");
  QMX_RETURN(1);
}

double GetServerFreeSpace(qmx_mseservr_agent* self) {
  QMX_ENTRY();
  const char* drive = Data(self).servicesDrive;
  double result = -1.0;
  uint64_t freeMB = 0, totalMB = 0;
  // Without a drive letter and colon there is no drive to ask (the Services value was missing,
  // empty or too short).
  if (std::strlen(drive) == 2 && drive[1] == ':' && DriveSpace(drive, &freeMB, &totalMB))
    result = qmx::PercentFree(freeMB, totalMB);
  else
    QMX_ERROR("GetServerFreeSpace: no free space for the services drive \"%s\"", drive);
  QMX_DETAIL("GetServerFreeSpace: %.2f", result);
  QMX_RETURN(result);
}

double ServerLogSpaceOfPaths(const std::string& paths) {
  return qmx::LogSpaceOfPaths(paths, DriveSpace);
}

double GetServerLogSpace(qmx_mseservr_agent* self) {
  QMX_ENTRY();
  const char* server = BSS1_GetEnv("QMX_EXCH_SERVER", 0);
  std::string paths;
  if (!qmx::ServerLogPathsFromDirectory(GetExchangeVersion(), server, &paths)) QMX_RETURN(-1.0);
  QMX_RETURN(ServerLogSpaceOfPaths(paths));
}

void RefreshRBSData() {
  QMX_ENTRY();
  const int release = GetExchangeVersion();
  if (g_pServerStatusRequest) GetServicesDetail(g_pServerStatusRequest, release);
  RbsRowHolder& holder = RbsRowHolder::Instance();
  const qmx::TableLayout& layout = qmx_mserbs_base::Layout();
  const size_t rowSize = static_cast<size_t>(layout.rowSize);
  holder.rows.assign(50 * rowSize, '\0');
  holder.rowCount = 0;
  holder.release = release;
  char origin[kManagedSystemNameLen], stamp[kHQTimeStampLen];
  ReturnLocalHost(origin);
  getHQTimeStamp(stamp);

  const qmx::ServiceStateArray& states = qmx::ServiceStates();
  if (states.valid == 0) return;
  const qmx::ServiceFamily family =
      states.valid == 13 ? qmx::ServiceFamily::PRE2007 : qmx::ServiceFamily::CURRENT;
  const auto& list = qmx::Services(family, qmx::ServiceList::STATE);
  std::vector<char> row(rowSize);
  auto add = [&](const char* role) {
    if (static_cast<size_t>(holder.rowCount + 1) * rowSize > holder.rows.size())
      holder.rows.resize(holder.rows.size() + 10 * rowSize, '\0');
    char* out = holder.rows.data() + static_cast<size_t>(holder.rowCount) * rowSize;
    std::memcpy(out, row.data(), rowSize);
    if (role) qmx::RowFields(layout, out).Text("ROLENAME", role);
    ++holder.rowCount;
  };
  for (size_t i = 0; i < list.size() && static_cast<int>(i) < states.valid; ++i) {
    const qmx::ServiceInfo& s = *list[i];
    if (family == qmx::ServiceFamily::CURRENT && s.roleClass < 0) continue;
    std::fill(row.begin(), row.end(), '\0');
    qmx::RowFields f(layout, row.data());
    std::memcpy(f.At("ORIGINNODE"), origin, sizeof origin);
    std::memcpy(f.At("TIMESTAMP"), stamp, sizeof stamp);
    f.Int("SAMPLENO", ++qmx::g_rbsSequence);
    f.Int("ROWNO", static_cast<int32_t>(i + 1));
    f.Int("SRVSTATUS", states.state[i]);
    if (family == qmx::ServiceFamily::PRE2007) {
      f.Text("SRVCNAME", s.name);
      add(nullptr);
      continue;
    }
    f.Text("SRVCNAME", s.display);
    for (const char* role : qmx::RowRolesOfClass(s.roleClass, qmx::ServerRoleFlags())) add(role);
  }
  QMX_DETAIL("RefreshRBSData: %d rows", holder.rowCount);
}

unsigned long qmx_mseservr_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_mseservr_agent::TakeSample");
  std::fputs("qmx_mseservr_agent::TakeSample()  invoked (qmx09agt)\n", stderr);
  const qmx::TableLayout& layout = Layout();
  std::vector<char> row(static_cast<size_t>(layout.rowSize), '\0');
  qmx::RowFields f(layout, row.data());
  static const char* const kRoleFields[] = {"EDGETRANS", "MAILSRVR", "CLIENTACC", "UNIFIEDMSG",
                                            "HUBTRANS"};
  static const uint32_t kRoleFlags[] = {kRoleEdgeTransport, kRoleMailbox, kRoleClientAccess,
                                        kRoleUnifiedMessaging, kRoleHubTransport};
  for (const char* field : kRoleFields) f.Text(field, "N");
  const int release = GetExchangeVersion();
  ReturnLocalHost(f.At("ORIGINNODE"));
  f.Int("SAMPLENO", 1);
  f.Int("ROWNO", 1);
  getHQTimeStamp(f.At("TIMESTAMP"));

  int status;
  {
    qmx::ServiceStatusReader reader(nullptr);
    g_sampleReader = &reader;
    GetServicesDetail(this, release);
    GetRolesDetail(this, release);
    status = GetServerStatus(this, release);
    g_sampleReader = nullptr;
  }
  f.Int("STATUS", status);
  const int32_t version = release == kExchangePre2007 ? 0
                          : release == kExchange2003  ? 1
                          : release == kExchange2007  ? 2
                          : release == kExchange2010  ? 3
                                                      : -1;
  f.Int("VERSION", version);
  const uint32_t roles = qmx::ServerRoleFlags();
  f.Int("APPPCTFREE", static_cast<int32_t>(GetServerFreeSpace(this)));
  const bool old = release == kExchange2003 || release == kExchangePre2007;
  f.Int("LOGPCTFREE", (roles & kRoleMailbox) || old ? static_cast<int32_t>(GetServerLogSpace(this))
                                                    : -1);
  // Each state field from the service of that name in the release's state list.
  static const struct {
    const char* field;
    const char* current;
    const char* pre2007;
  } kStateFields[] = {{"SASTATUS", "MSExchangeSA", "MSExchangeSA"},
                      {"MTASTATUS", nullptr, "MSExchangeMTA"},
                      {"ISSTATUS", "MSExchangeIS", "MSExchangeIS"},
                      {"RESSTATUS", nullptr, "RESvc"},
                      {"SMTPSTATUS", nullptr, "SMTPSVC"},
                      {"WWWSTATUS", "W3Svc", "W3SVC"}};
  qmx::ServiceFamily family;
  if (qmx::FamilyOfRelease(release, &family)) {
    for (const auto& s : kStateFields) {
      const char* name = family == qmx::ServiceFamily::PRE2007 ? s.pre2007 : s.current;
      const int i = name ? qmx::StateIndex(family, name) : -1;
      if (i >= 0) f.Int(s.field, qmx::ServiceStates().state[i]);
    }
  }
  for (size_t r = 0; r < std::size(kRoleFields); ++r)
    if (roles & kRoleFlags[r]) f.Text(kRoleFields[r], "Y");
  QMX_RETURN(AddData(row.data(), 1));
}

void qmx_mseservr_agent::TakeSampleConstructor() {
  QMX_ENTRY_NAMED("qmx_mseservr_agent::TakeSampleConstructor");
}

void qmx_mseservr_agent::TakeSampleDestructor() {
  QMX_ENTRY_NAMED("qmx_mseservr_agent::TakeSampleDestructor");
  delete static_cast<qmx::ServerRequestData*>(pServerData);
  pServerData = nullptr;
}

#else

// The service control manager and the registry exist only on Windows.
QMX_SAMPLE_FUNCTIONS(mseservr, 0UL)

#endif
