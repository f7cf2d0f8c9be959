// Table 11 (MSESRVCD): one row per installed Exchange service of the release's list.
#include "qmx11agt.h"

#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qmxcommon.h"
#include "qmxrows.h"

namespace {

// The managed-system name, worked out at the first sample.
char g_origin[kManagedSystemNameLen];
bool g_haveOrigin = false;

}  // namespace

qmx::ScHandle GetServiceHandle(qmx_msesrvcd_agent* self, const char* name, SC_HANDLE manager,
                               char* result, size_t resultSize) {
  QMX_ENTRY();
  qmx::ScHandle service(manager ? OpenServiceA(manager, name, qmx::kServiceReadAccess) : nullptr);
  if (!service)
    QMX_DETAIL("GetServiceHandle: OpenService( \"%s\" ) failed with %lu", name,
               static_cast<unsigned long>(GetLastError()));
  std::snprintf(result, resultSize, "%s", service ? "0" : "-1");
  return service;
}

bool GetServiceStatus(qmx_msesrvcd_agent* self, SC_HANDLE service, SERVICE_STATUS* status) {
  QMX_ENTRY();
  if (QueryServiceStatus(service, status)) QMX_RETURN(true);
  QMX_ERROR("GetServiceStatus: QueryServiceStatus failed with %lu",
            static_cast<unsigned long>(GetLastError()));
  QMX_RETURN(false);
}

bool GetServiceConfiguration(qmx_msesrvcd_agent* self, SC_HANDLE service,
                             std::vector<char>* config) {
  QMX_ENTRY();
  if (qmx::QueryServiceConfiguration(service, config)) QMX_RETURN(true);
  QMX_ERROR("GetServiceConfiguration: QueryServiceConfig failed with %lu",
            static_cast<unsigned long>(GetLastError()));
  QMX_RETURN(false);
}

void setServiceState(qmx_msesrvcd_agent* self, const char* name, SC_HANDLE manager, char* state,
                     char* status, char* startMode, size_t size) {
  QMX_ENTRY();
  qmx::ServiceCodes codes = qmx::kServiceNotQueried;
  char result[4];
  qmx::ScHandle service = GetServiceHandle(self, name, manager, result, sizeof result);
  if (service && std::strcmp(result, "0") == 0) {
    SERVICE_STATUS s{};
    std::vector<char> config;
    if (GetServiceStatus(self, service.get(), &s) &&
        GetServiceConfiguration(self, service.get(), &config)) {
      const DWORD startType =
          reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(config.data())->dwStartType;
      codes = qmx::CodesOfService(s.dwCurrentState, startType);
      QMX_DETAIL("setServiceState: %s: %s, %s", name, qmx::ServiceStateWord(s.dwCurrentState).c_str(),
                 qmx::ServiceStartWord(startType).c_str());
    }
  }
  std::snprintf(state, size, "%d", codes.srvcstate);
  std::snprintf(status, size, "%d", codes.srvcstatus);
  std::snprintf(startMode, size, "%d", codes.startmode);
}

unsigned long qmx_msesrvcd_agent::TakeSample() {
  QMX_ENTRY_NAMED("qmx_msesrvcd_agent::TakeSample");
  std::fputs("qmx_msesrvcd_agent::TakeSample()  invoked (qmx11agt)\n", stderr);
  const int release = GetExchangeVersion();
  if (!g_haveOrigin) {
    ReturnLocalHost(g_origin);
    g_haveOrigin = true;
  }
  const auto& list = qmx::Services(qmx::DetailFamily(release), qmx::ServiceList::DETAIL);
  struct Kept {
    char state[16], status[16], startMode[16];
  };
  std::vector<Kept> kept(list.size());
  {
    // One manager handle for the whole sample.
    qmx::ScHandle manager(OpenSCManagerA(nullptr, nullptr, qmx::kManagerReadAccess));
    if (!manager)
      QMX_ERROR("qmx_msesrvcd_agent::TakeSample: OpenSCManager failed with %lu",
                static_cast<unsigned long>(GetLastError()));
    for (size_t i = 0; i < list.size(); ++i)
      setServiceState(this, list[i]->name, manager.get(), kept[i].state, kept[i].status,
                      kept[i].startMode, sizeof kept[i].state);
  }
  const qmx::TableLayout& layout = Layout();
  std::vector<char> row(static_cast<size_t>(layout.rowSize));
  unsigned long result = 0;
  for (size_t i = 0; i < list.size() && result == 0; ++i) {
    // Not opened or not queried: not installed here, so no row.
    if (std::atoi(kept[i].status) == 3) continue;
    std::fill(row.begin(), row.end(), '\0');
    qmx::RowFields f(layout, row.data());
    std::memcpy(f.At("ORIGINNODE"), g_origin, kManagedSystemNameLen);
    getHQTimeStamp(f.At("TIMESTAMP"));
    f.Text("SRVCNAME", list[i]->name, ' ');
    f.Int("SRVCSTATE", std::atoi(kept[i].state));
    f.Int("SRVCSTATUS", std::atoi(kept[i].status));
    f.Int("STARTMODE", std::atoi(kept[i].startMode));
    result = AddData(row.data(), 1);
  }
  QMX_RETURN(result);
}

QMX_SAMPLE_BRACKETS(msesrvcd)

#else

// The service control manager exists only on Windows.
QMX_SAMPLE_FUNCTIONS(msesrvcd, 0UL)

#endif
