// Table 11 (MSESRVCD): the Exchange services with state, direction of change and start type.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <vector>

#include "qmx_tables.h"
#include "qmxservices.h"

// Opens the service for reading; result "0" when it opened, "-1" when not.
qmx::ScHandle GetServiceHandle(qmx_msesrvcd_agent* self, const char* name, SC_HANDLE manager,
                               char* result, size_t resultSize);
bool GetServiceStatus(qmx_msesrvcd_agent* self, SC_HANDLE service, SERVICE_STATUS* status);
// The configuration in a buffer of at least 4096 bytes, grown when the service needs more.
bool GetServiceConfiguration(qmx_msesrvcd_agent* self, SC_HANDLE service,
                             std::vector<char>* config);
// srvcstate, srvcstatus and startmode of the service as decimal text (defaults "0", "3", "3").
void setServiceState(qmx_msesrvcd_agent* self, const char* name, SC_HANDLE manager, char* state,
                     char* status, char* startMode, size_t size);
#endif
