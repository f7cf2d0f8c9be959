// Exchange release, service pack and roles of this machine, the managed-system name, external
// commands, the freshness of script output files, the row time stamp and disk space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "qmxcommon_portable.h"

// ExchangeLevel codes.
enum ExchangeLevel : int {
  kExchangeUnknown = -1,
  kExchange2003 = 1,
  kExchangePre2007 = 2,
  kExchange2007 = 3,
  kExchange2007SP1 = 4,
  kExchange2010 = 5,
  kExchange2003SP1 = 6,
  kExchange2003SP2 = 7,
  kExchange2010SP1 = 8,
  kExchange2007SP2 = 9,
  kExchange2007SP3 = 10,
};

// ServerRoleMask bits (from the registry role keys).
enum : uint32_t {
  kRoleClientAccess = 4,
  kRoleUnifiedMessaging = 8,
  kRoleHubTransport = 16,
  kRoleEdgeTransport = 32,
  kRoleMailbox = 64,
};

#ifdef _WIN32
// Each caches its answer for the process once it found one; -1 is tried again on the next call.
int GetExchangeVersion();               // 3, 5 or -1
int GetExchange2k3ServicePackLevel();   // 6, 7 or -1
int GetExchange2k7ServicePackLevel();   // 4, 9, 10 or -1
int GetExchange2k10ServicePackLevel();  // 8 or -1
// Tests only: forget the four cached codes (and which read failures were traced).
void ResetExchangeVersionCaches();

// The release and the service-pack level of that release; the levels of other releases are not
// asked (they stay -1), so a server of one release never reads another's keys at every sample.
struct ExchangeLevels {
  int release = -1;
  int level2003 = -1;
  int level2007 = -1;
  int level2010 = -1;
};
ExchangeLevels GetExchangeLevels();

uint32_t GetExchangeServerRoleInfo(int release);

// The system's text for a Win32 error code (the code in decimal when there is none).
std::string SystemErrorText(unsigned long code);

// The whole text of a file, opened with every sharing so that a writer may replace it meanwhile
// (the reader keeps the old file's text). False when it cannot be opened.
bool ReadSharedFileText(const std::string& path, std::string* text);

// Runs a command line, discards its output and waits for it at most 30 s (it is not ended).
void ExecuteCommand(const char* commandLine);

// 0 when a "mbxstorestate" script output file is younger than QMX_INTERVAL allows, else 1.
int CompareFileTime(const char* path);

// Total and free megabytes of a drive ("C:") as decimal text; "0" for both when the query fails.
// Returns 1.
int GetDiskSpaceInMB(const char* drive, char* totalMB, size_t totalSize, char* freeMB,
                     size_t freeSize);
#endif
