// Service control manager access of the Exchange service collectors.
#include "qmxservices.h"

#include <cstdlib>
#include <new>

#include "qmxtrace.h"

namespace qmx {

bool QueryServiceConfiguration(SC_HANDLE service, std::vector<char>* buffer) {
  // 4096 bytes hold nearly every configuration; a larger one is read at the size asked for.
  if (buffer->size() < 4096) buffer->resize(4096);
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD needed = 0;
    if (QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer->data()),
                            static_cast<DWORD>(buffer->size()), &needed))
      return true;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer->size()) return false;
    buffer->resize(needed);
  }
  return false;
}

ServiceStatusReader::ServiceStatusReader(const char* machine, DWORD access)
    : manager_(OpenSCManagerA(machine, nullptr, access)) {
  if (!manager_) managerError_ = GetLastError();
}

void ServiceStatusReader::Query(const char* name) {
  if (!manager_) throw ServiceQueryError("OpenSCManager()", managerError_);
  try {
    name_ = name ? name : "";
  } catch (const std::bad_alloc&) {
    throw ServiceQueryError("Memory", ERROR_NOT_ENOUGH_MEMORY);
  }
  ScHandle service(OpenServiceA(manager_.get(), name_.c_str(), kServiceReadAccess));
  if (!service) throw ServiceQueryError("OpenService()", GetLastError());
  if (!QueryServiceStatus(service.get(), &status_))
    throw ServiceQueryError("QueryServiceStatus", GetLastError());
  bool configured;
  try {
    configured = QueryServiceConfiguration(service.get(), &config_);
  } catch (const std::bad_alloc&) {
    throw ServiceQueryError("Memory", ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!configured) throw ServiceQueryError("QueryServiceConfig()", GetLastError());
}

ServiceQuery ReaderQuery(ServiceStatusReader& reader) {
  return [&reader](const char* name, uint32_t* state) {
    QMX_ENTRY_NAMED("ServiceStatusReader::Query");
    try {
      reader.Query(name);
    } catch (const ServiceQueryError& e) {
      QMX_DETAIL("GetData( \"%s\" ): %s failed with %lu", name, e.what(),
                 static_cast<unsigned long>(e.code()));
      return false;
    }
    *state = reader.currentState();
    return true;
  };
}

namespace {

std::string Word(int id) {
  char text[64];
  int n = LoadStringA(GetModuleHandleA(nullptr), static_cast<UINT>(id), text, sizeof text);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
}

int WordCount(int id) { return std::atoi(Word(id).c_str()); }

}  // namespace

std::string ServiceStateWord(DWORD currentState) {
  return Word(StateWordId(currentState, WordCount(9000)));
}

std::string ServiceStartWord(DWORD startType) {
  return Word(StartWordId(startType, WordCount(9009)));
}

}  // namespace qmx
