// The Exchange services without the operating system: the lists of qmxservices.def in their
// orders, the codes of the services table, the server status decision, the role-based services
// rows and the free space sums. Built in both builds; the service manager side is qmxservices.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qmx {

// Roles whose services the server status requires when no service list is configured.
enum : uint32_t {
  NEED_DEFAULT = 1,  // releases 1 and 2: counted without a configured list
  NEED_MAILBOX = 2,
  NEED_CAS = 4,
  NEED_HUB = 8,
  NEED_UM = 16,
  NEED_EDGE = 32,
  NEED_SINGLE = 64,
};

enum class ServiceFamily { PRE2007, CURRENT };

struct ServiceInfo {
  ServiceFamily family;
  const char* name;
  int state;   // position in the state list, -1 none
  int walk;    // position in the server status walk, -1 none
  int detail;  // position in the services table's list, -1 none
  const char* display;
  int roleClass;  // -1: no role-based services row
  uint32_t required;
};

// The family of a release: PRE2007 for 1 and 2, CURRENT for 3 and 5; false for any other.
bool FamilyOfRelease(int release, ServiceFamily* family);
// The services table's family: releases 1 and 2 the old list, every other release the current one.
ServiceFamily DetailFamily(int release);

// One ordered list of a family: state list (13 or 27), walk (13 or 29), services table (13 or 27).
enum class ServiceList { STATE, WALK, DETAIL };
const std::vector<const ServiceInfo*>& Services(ServiceFamily family, ServiceList list);
// The state list entry of that name (case-sensitive as listed), or -1.
int StateIndex(ServiceFamily family, const char* name);

// Service control manager states (1 stopped ... 7 paused) to the services table's codes.
struct ServiceCodes {
  int srvcstate;
  int srvcstatus;  // 5 towards running, 6 towards stopped or paused, 0 none, 3 not available
  int startmode;
};
constexpr ServiceCodes kServiceNotQueried = {0, 3, 3};
ServiceCodes CodesOfService(uint32_t currentState, uint32_t startType);
// A state worth keeping in the state array: 1 to 7 as they are, any other value 0.
int32_t StoredState(uint32_t currentState);

// Word ids of the string table for a state (9001 to 9008) and a start type (9010 to 9015), given
// the counts the table carries at 9000 and 9009.
int StateWordId(uint32_t currentState, int stateWords);
int StartWordId(uint32_t startType, int startWords);

// The configured service list split at blanks, "=" and "1"; empty tokens dropped.
std::vector<std::string> ConfiguredServiceTokens(const std::string& configured);

// One service query of the server status: true with its current state, false when it failed.
using ServiceQuery = std::function<bool(const char* name, uint32_t* state)>;

// The server status decision for one role ("MailBoxRole", "SingleServer", ...; ignored on
// releases 1 and 2). configured is the QMX_REQD_SERVICES text, null when not defined. Returns
// true for "up".
bool DecideServerUp(int release, const char* configured, const char* role,
                    const ServiceQuery& query);

// Role names of the role-based services rows for a role class and the installed roles
// (ServerRoleMask bits); "Unknown" for a class outside 0 to 11.
std::vector<const char*> RowRolesOfClass(int roleClass, uint32_t roles);

// Percent free (hundredths) of summed free and total megabytes, -1 when the total is 0.
double PercentFree(uint64_t freeMB, uint64_t totalMB);

// The log space over a ";"-separated list of log paths: each distinct drive ("X:") once.
// diskSpace gives free and total megabytes of a drive, false when it could not be read.
using DiskSpaceQuery = std::function<bool(const std::string& drive, uint64_t* freeMB,
                                          uint64_t* totalMB)>;
double LogSpaceOfPaths(const std::string& paths, const DiskSpaceQuery& diskSpace);

}  // namespace qmx
