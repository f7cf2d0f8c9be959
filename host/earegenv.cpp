// Registry key wrappers and the import of the Environment keys.
#include "earegenv.h"

#include <cstring>
#include <vector>

#include "jbx.h"
#include "qmxtrace.h"

namespace {

int OpenWith(HKEY root, const char* path, REGSAM access, RegKey& key) {
  HKEY h = nullptr;
  LONG rc = RegOpenKeyExA(root, path, 0, access, &h);
  key.reset(rc == ERROR_SUCCESS ? h : nullptr);
  return rc == ERROR_SUCCESS ? 1 : 0;
}

// Saving, restoring and loading hives need the backup and restore privileges switched on in the
// process token; an administrator holds them, disabled.
void EnablePrivilege(const char* name) {
  qmx::UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) return;
  TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid))
    AdjustTokenPrivileges(token.get(), FALSE, &tp, 0, nullptr, nullptr);
}

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace

int act_regopenkey64(HKEY root, const char* path, RegKey& key) {
  QMX_ENTRY();
  QMX_RETURN(OpenWith(root, path, KEY_ALL_ACCESS | KEY_WOW64_64KEY, key));
}

int act_regopenkey(HKEY root, const char* path, RegKey& key) {
  QMX_ENTRY();
  QMX_RETURN(OpenWith(root, path, KEY_ALL_ACCESS, key));
}

int act_regopenkeyread64(HKEY root, const char* path, RegKey& key) {
  QMX_ENTRY();
  QMX_RETURN(OpenWith(root, path, KEY_READ | KEY_WOW64_64KEY, key));
}

int act_regopenkeyread(HKEY root, const char* path, RegKey& key) {
  QMX_ENTRY();
  QMX_RETURN(OpenWith(root, path, KEY_READ, key));
}

int act_regcreatekey(HKEY root, const char* path, RegKey& key) {
  QMX_ENTRY();
  HKEY h = nullptr;
  LONG rc = RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
  key.reset(rc == ERROR_SUCCESS ? h : nullptr);
  QMX_RETURN(rc == ERROR_SUCCESS ? 1 : 0);
}

int act_regsetstring(const RegKey& key, const char* name, const char* value) {
  QMX_ENTRY();
  if (!key || !value) QMX_RETURN(0);
  LONG rc = RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           static_cast<DWORD>(std::strlen(value)));
  if (rc != ERROR_SUCCESS) QMX_RETURN(0);
  RegFlushKey(key.get());
  QMX_RETURN(1);
}

int act_regsetdword(const RegKey& key, const char* name, DWORD value) {
  QMX_ENTRY();
  if (!key) QMX_RETURN(0);
  LONG rc = RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof value);
  if (rc != ERROR_SUCCESS) QMX_RETURN(0);
  RegFlushKey(key.get());
  QMX_RETURN(1);
}

int act_reggetstring(const RegKey& key, const char* name, std::string& value) {
  QMX_ENTRY();
  value.clear();
  if (!key) QMX_RETURN(0);
  char buffer[1024];
  DWORD size = sizeof buffer, type = 0;
  LONG rc = RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (rc != ERROR_SUCCESS || !IsText(type)) QMX_RETURN(0);
  // The stored text need not carry its terminator.
  value.assign(buffer, strnlen(buffer, size));
  QMX_RETURN(1);
}

int act_reggetdword(const RegKey& key, const char* name, DWORD& value) {
  QMX_ENTRY();
  value = 0;
  if (!key) QMX_RETURN(0);
  DWORD v = 0, size = sizeof v, type = 0;
  LONG rc = RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
  if (rc != ERROR_SUCCESS || size != sizeof v) QMX_RETURN(0);
  value = v;
  QMX_RETURN(1);
}

int act_reggetexpandedstring(const RegKey& key, const char* name, size_t maxBytes,
                             std::string& value) {
  QMX_ENTRY();
  value.clear();
  if (!key || maxBytes == 0) QMX_RETURN(0);
  std::vector<char> buffer(maxBytes + 1, '\0');
  DWORD size = static_cast<DWORD>(maxBytes), type = 0;
  LONG rc = RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                             &size);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) QMX_RETURN(0);
  std::string raw(buffer.data(), strnlen(buffer.data(), size));
  if (type == REG_EXPAND_SZ) {
    std::vector<char> expanded(maxBytes, '\0');
    DWORD n = ExpandEnvironmentStringsA(raw.c_str(), expanded.data(), static_cast<DWORD>(maxBytes));
    if (n == 0 || n > maxBytes) QMX_RETURN(0);
    raw.assign(expanded.data());
  }
  value = raw;
  QMX_RETURN(1);
}

int act_regdeletekey(HKEY root, const char* path) {
  QMX_ENTRY();
  QMX_RETURN(RegDeleteKeyA(root, path) == ERROR_SUCCESS ? 1 : 0);
}

int act_regdeletevalue(const RegKey& key, const char* name) {
  QMX_ENTRY();
  if (!key) QMX_RETURN(0);
  QMX_RETURN(RegDeleteValueA(key.get(), name) == ERROR_SUCCESS ? 1 : 0);
}

int act_regclosekey(RegKey& key) {
  QMX_ENTRY();
  bool had = static_cast<bool>(key);
  key.reset();
  QMX_RETURN(had ? 1 : 0);
}

int act_regsavekey(const RegKey& key, const char* file) {
  QMX_ENTRY();
  if (!key || !file) QMX_RETURN(0);
  EnablePrivilege(SE_BACKUP_NAME);
  QMX_RETURN(RegSaveKeyA(key.get(), file, nullptr) == ERROR_SUCCESS ? 1 : 0);
}

int act_regrestorekey(const RegKey& key, const char* file) {
  QMX_ENTRY();
  if (!key || !file) QMX_RETURN(0);
  EnablePrivilege(SE_RESTORE_NAME);
  QMX_RETURN(RegRestoreKeyA(key.get(), file, 0) == ERROR_SUCCESS ? 1 : 0);
}

int act_regloadkey(HKEY root, const char* subkey, const char* file) {
  QMX_ENTRY();
  if (!subkey || !file) QMX_RETURN(0);
  EnablePrivilege(SE_BACKUP_NAME);
  EnablePrivilege(SE_RESTORE_NAME);
  QMX_RETURN(RegLoadKeyA(root, subkey, file) == ERROR_SUCCESS ? 1 : 0);
}

uint32_t SetEnvFromReg(const char* instanceKey) {
  QMX_ENTRY();
  static const char kBase[] = "SOFTWARE\\Orvel";
  CRegistry reg;
  reg.Attributes(KEY_READ, 0, nullptr, nullptr);  // only read here
  uint32_t r = reg.Open(nullptr, HKEY_LOCAL_MACHINE, nullptr);
  if (r == CRegistry::kOk) r = reg.Position(kBase);
  if (r == CRegistry::kOk) r = reg.Position(instanceKey);
  if (r != CRegistry::kOk) QMX_RETURN(r);

  for (int level = 0; level < 100 && reg.CurrentPath() != kBase; ++level) {
    if (reg.Position("Environment") == CRegistry::kOk) {
      for (;;) {
        char name[128];
        char data[2048 + 1];  // one more, so that a value stored without terminator still ends
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0, index = 0;
        if (reg.EnumVals(name, &nameSize, reinterpret_cast<BYTE*>(data), &dataSize, &type, &index,
                         false) != CRegistry::kOk)
          break;
        if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
        data[sizeof data - 1] = '\0';
        std::string value(data, strnlen(data, dataSize));
        if (type == REG_EXPAND_SZ) {
          char expanded[2048];
          DWORD n = ExpandEnvironmentStringsA(value.c_str(), expanded, sizeof expanded);
          if (n > 0 && n <= sizeof expanded) value = expanded;
        }
        std::string text = std::string(name) + "=" + value;
        QMX_FLOW("Setting environment variable %s", text.c_str());
        BSS1_PutEnv(text.c_str());
      }
      r = reg.Position("..");
      if (r != CRegistry::kOk) QMX_RETURN(r);
    }
    r = reg.Position("..");
    if (r != CRegistry::kOk) QMX_RETURN(r);
  }
  reg.Close();
  QMX_RETURN(0u);
}
