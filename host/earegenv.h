// Small registry key wrappers and the import of the Environment keys into the process environment.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "earegcls.h"

// Wrappers: 1 on success, 0 on failure; on failure the key is left empty.
// Full access: for keys the caller writes.
int act_regopenkey64(HKEY root, const char* path, RegKey& key);  // 64-bit view
int act_regopenkey(HKEY root, const char* path, RegKey& key);
// Read access only: an account without administrator rights may read what it may not write.
int act_regopenkeyread64(HKEY root, const char* path, RegKey& key);  // 64-bit view
int act_regopenkeyread(HKEY root, const char* path, RegKey& key);
int act_regcreatekey(HKEY root, const char* path, RegKey& key);
int act_regsetstring(const RegKey& key, const char* name, const char* value);  // REG_SZ, flushed
int act_regsetdword(const RegKey& key, const char* name, DWORD value);         // flushed
// Up to 1023 characters of a string value; an empty text (and 0) when it cannot be read.
int act_reggetstring(const RegKey& key, const char* name, std::string& value);
// A 4-byte value; 0 when it cannot be read.
int act_reggetdword(const RegKey& key, const char* name, DWORD& value);
// A REG_SZ or REG_EXPAND_SZ value of at most maxBytes, the latter expanded (into maxBytes).
int act_reggetexpandedstring(const RegKey& key, const char* name, size_t maxBytes,
                             std::string& value);
int act_regdeletekey(HKEY root, const char* path);
int act_regdeletevalue(const RegKey& key, const char* name);
int act_regclosekey(RegKey& key);
int act_regsavekey(const RegKey& key, const char* file);
int act_regrestorekey(const RegKey& key, const char* file);
int act_regloadkey(HKEY root, const char* subkey, const char* file);

// Puts the string values of the Environment subkeys of HKLM\SOFTWARE\Orvel\<instanceKey> and of
// each of its ancestors below SOFTWARE\Orvel into the environment: the instance key's first, then
// upwards, so an ancestor's value of the same name is the one that stays.
// Returns 0, or the CRegistry result that stopped it (the instance key missing gives 8).
uint32_t SetEnvFromReg(const char* instanceKey);
