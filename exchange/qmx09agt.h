// Table 9 (MSESERVR): server status, roles and free space; the process-wide service states and
// role flags it keeps, and the role-based services rows of table 39 built from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "qmx_tables.h"

namespace qmx {

// Service states by position in the release's state list (qmxservices.def); `valid` entries.
struct ServiceStateArray {
  int32_t state[27] = {};
  int valid = 0;
};
ServiceStateArray& ServiceStates();
// Installed roles seen so far (ServerRoleMask bits); only ever added to.
uint32_t ServerRoleFlags();
// Tests only: forget the states, the roles and the role-based row numbering.
void ResetServerStatusForTests();

// What a table 9 request keeps between its calls.
struct ServerRequestData {
  bool servicesFound = false;
  char servicesDrive[3] = {};  // "C:", or empty while none is known
};

// The server's log paths (";"-separated entries; those of log files begin with their drive) from
// the directory: the storage groups' log files, or on release 5 the mailbox databases'. False
// when the query failed or found nothing (and always in the host build).
bool ServerLogPathsFromDirectory(int release, const char* server, std::string* paths);

}  // namespace qmx

#ifdef _WIN32
void GetServicesDetail(qmx_mseservr_agent* self, int release);
void GetRolesDetail(qmx_mseservr_agent* self, int release);
int GetServerStatus(qmx_mseservr_agent* self, int release);
// Writes "up" or "down".
void ServerStatus(qmx_mseservr_agent* self, int release, char* statusText, size_t size,
                  const char* role);
// Hundredths of a percent free; -1 when nothing could be computed.
double GetServerFreeSpace(qmx_mseservr_agent* self);
double GetServerLogSpace(qmx_mseservr_agent* self);
// The log space over a list of log paths, from the drives' real figures.
double ServerLogSpaceOfPaths(const std::string& paths);
void RefreshRBSData();
#endif
