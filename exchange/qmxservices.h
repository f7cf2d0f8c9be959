// The service control manager as the Exchange service collectors use it: owned handles and the
// service status reader.
#pragma once

#include <windows.h>

#include <exception>
#include <string>
#include <vector>

#include "qmxhandle.h"
#include "qmxservices_portable.h"

namespace qmx {

// One service control manager handle, closed when it goes.
using ScHandle = UniqueServiceHandle;

// The least access the collectors' reads need: the manager to look services up, the services to
// read status and configuration. Full access would be refused to a less privileged account.
constexpr DWORD kManagerReadAccess = SC_MANAGER_CONNECT;
constexpr DWORD kServiceReadAccess = SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG;

// The configuration of an open service, however large; false (GetLastError set) on failure.
bool QueryServiceConfiguration(SC_HANDLE service, std::vector<char>* buffer);

// A failed query of the reader: the call that failed and its error code.
class ServiceQueryError : public std::exception {
 public:
  ServiceQueryError(const char* call, DWORD code) : call_(call), code_(code) {}
  const char* what() const noexcept override { return call_; }
  DWORD code() const { return code_; }

 private:
  const char* call_;  // "OpenSCManager()", "OpenService()", "QueryServiceStatus",
                      // "QueryServiceConfig()" or "Memory"
  DWORD code_;
};

// Reads the status and configuration of services by name. One manager handle for the reader's
// life, so one reader per sample; Query raises ServiceQueryError, which callers catch.
class ServiceStatusReader {
 public:
  ServiceStatusReader(const char* machine, DWORD access = kManagerReadAccess);
  void Query(const char* name);
  const std::string& name() const { return name_; }
  const SERVICE_STATUS& status() const { return status_; }
  const QUERY_SERVICE_CONFIGA& config() const {
    return *reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(config_.data());
  }
  DWORD currentState() const { return status_.dwCurrentState; }

 private:
  ScHandle manager_;
  DWORD managerError_ = 0;
  std::string name_;
  SERVICE_STATUS status_{};
  std::vector<char> config_;
};

// The ServiceQuery of the server status decision over a reader: failures traced and false.
ServiceQuery ReaderQuery(ServiceStatusReader& reader);

// The state and start-type words of the string table (ids 9000 to 9015).
std::string ServiceStateWord(DWORD currentState);
std::string ServiceStartWord(DWORD startType);

}  // namespace qmx
