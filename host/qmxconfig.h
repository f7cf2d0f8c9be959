// Configuration settings: carries the agent configuration file (or the defaults) into the instance
// key's Environment values, seeds a new instance key and copies two framework settings.
#pragma once

#include <windows.h>

#include <string>

// Instance keys are relative to HKLM\SOFTWARE\Orvel ("QMX\Ver610\<host>").
// 0 on success, 1 on a configuration failure (VORTA_SIT_PATH missing, a failed registry store,
// an incomplete cluster section).
int CheckConfigSettings(const char* instanceKey);
// Copies the values of source's Configuration and Environment subkeys into destination's,
// creating them. 0, or the Win32 result that ended the copy of Environment.
DWORD CopyRegKey(const char* source, const char* destination);
// Copies HQ_CMSLIST and XNL_FAMILIES from the primary key's Environment. 0, 1 (a store failed) or
// the Win32 error opening the primary key.
DWORD GetOrvelEnv(const char* instanceKey);
// Whether the configuration file names a cluster server in its cluster section.
bool IsClusterParamSet();

// "<VORTA_SIT_PATH>\<host name, at most 15 characters>_ex.cfg"; empty when either is missing.
std::string ConfigFileName();
// The machine's physical DNS host name, whole.
std::string PhysicalHostName();

// Tests only: the store-th registry store from now on (0-based) fails as a refused write would;
// -1 for none.
void SetConfigStoreFailureForTest(int store);
