// Configuration settings.
#include "qmxconfig.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cfgparse.h"
#include "earegenv.h"
#include "jbx.h"
#include "qmxcommon.h"
#include "qmxtrace.h"

namespace {

const char kPrimaryEnvironment[] = "Software\\Orvel\\QMX\\Ver610\\Primary\\Environment";

std::atomic<int> g_failStoreAt{-1};

// One registry store; the test hook can make it fail as a refused write would.
bool StoreString(const RegKey& key, const char* name, const std::string& value) {
  int fail = g_failStoreAt.load();
  if (fail >= 0) {
    g_failStoreAt = fail - 1;
    if (fail == 0) return false;
  }
  return act_regsetstring(key, name, value.c_str()) == 1;
}

std::string EnvironmentKey(const char* instanceKey) {
  return std::string("SOFTWARE\\Orvel\\") + (instanceKey ? instanceKey : "") + "\\Environment";
}

// The current value, or false when there is none (or it is no text of at most 1024 bytes).
bool ReadCurrent(const RegKey& key, const char* name, std::string& value) {
  return act_reggetstring(key, name, value) == 1;
}

// Missing: nothing of that name. Unreadable: it is there but cannot be read (locked by the
// configuration tool, no access, a directory), which must not be taken for a missing file.
enum class ReadStatus { kOk, kMissing, kUnreadable };

// Reads the file whole, or its first kMaxFileBytes and one more byte, which tells the parser
// that there was more.
ReadStatus ReadConfigFile(const std::string& name, std::string& text, int* error = nullptr) {
  text.clear();
  errno = 0;
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) {
    if (error) *error = errno;
    return errno == ENOENT ? ReadStatus::kMissing : ReadStatus::kUnreadable;
  }
  std::vector<char> buffer(64 * 1024);
  bool failed = false;
  while (text.size() <= qmxcfg::kMaxFileBytes) {
    size_t want = std::min(buffer.size(), qmxcfg::kMaxFileBytes + 1 - text.size());
    size_t got = std::fread(buffer.data(), 1, want, f);
    text.append(buffer.data(), got);
    if (got < want) {
      failed = std::ferror(f) != 0;
      break;
    }
  }
  if (failed && error) *error = errno;
  std::fclose(f);
  return failed ? ReadStatus::kUnreadable : ReadStatus::kOk;
}

int StoreDefaults(const std::string& envKey) {
  QMX_ENTRY_NAMED("CheckConfigSettings");
  const char* domain = BSS1_GetEnv("USERDOMAIN", 0);
  std::vector<qmxcfg::StoreAction> defaults =
      qmxcfg::DefaultActions(domain ? domain : "", PhysicalHostName());
  for (const qmxcfg::StoreAction& a : defaults) {
    std::fprintf(stderr, "Setting RegKey : %s with : %s\n", a.variable.c_str(), a.value.c_str());
    RegKey key;
    if (!act_regopenkey(HKEY_LOCAL_MACHINE, envKey.c_str(), key)) continue;
    std::string current;
    ReadCurrent(key, a.variable.c_str(), current);
    if (!StoreString(key, a.variable.c_str(), a.value)) {
      QMX_ERROR("Reading updating registry failed. Subkey : %s", a.variable.c_str());
      std::fprintf(stderr, "Reading updating registry failed. Subkey : %s\n", a.variable.c_str());
      QMX_RETURN(1);
    }
    QMX_FLOW("Registry Key : %s, keyword : %s, value : %s", a.variable.c_str(), a.keyword.c_str(),
             a.value.c_str());
    std::fprintf(stderr, "Setting registry key : %s, value : %s\n", a.variable.c_str(),
                 a.value.c_str());
  }
  QMX_RETURN(0);
}

// 0 stored or unchanged or no key, 1 the store failed.
int StoreSetting(const std::string& envKey, const qmxcfg::StoreAction& a) {
  QMX_ENTRY_NAMED("CheckConfigSettings");
  RegKey key;
  if (!act_regopenkey(HKEY_LOCAL_MACHINE, envKey.c_str(), key)) QMX_RETURN(0);
  std::string current;
  bool present = ReadCurrent(key, a.variable.c_str(), current);
  if (present && !a.forced && _stricmp(current.c_str(), a.value.c_str()) == 0) {
    QMX_FLOW("Configuration parm : %s, has not changed. Registry value : %s, Config value : %s",
             a.variable.c_str(), current.c_str(), a.value.c_str());
    QMX_RETURN(0);
  }
  if (!StoreString(key, a.variable.c_str(), a.value)) {
    QMX_ERROR("Reading updating registry failed. Subkey : %s", a.variable.c_str());
    QMX_RETURN(1);
  }
  QMX_FLOW("Registry Key : %s, keyword : %s, value : %s", a.variable.c_str(), a.keyword.c_str(),
           a.value.c_str());
  std::fprintf(stderr, "Registry Key : %s, keyword : %s, value : %s\n", a.variable.c_str(),
               a.keyword.c_str(), a.value.c_str());
  _putenv_s(a.variable.c_str(), a.value.c_str());
  QMX_RETURN(0);
}

}  // namespace

void SetConfigStoreFailureForTest(int store) { g_failStoreAt = store; }

std::string PhysicalHostName() {
  char name[256] = {0};
  DWORD size = sizeof name;
  if (!GetComputerNameExA(ComputerNamePhysicalDnsHostname, name, &size)) return std::string();
  return std::string(name, size);
}

std::string ConfigFileName() {
  const char* sit = BSS1_GetEnv("VORTA_SIT_PATH", 0);
  std::string host = PhysicalHostName().substr(0, 15);
  if (!sit || host.empty()) return std::string();
  return std::string(sit) + "\\" + host + "_ex.cfg";
}

int CheckConfigSettings(const char* instanceKey) {
  QMX_ENTRY();
  int release = GetExchangeVersion();
  std::string envKey = EnvironmentKey(instanceKey);
  if (!BSS1_GetEnv("VORTA_SIT_PATH", 0)) {
    QMX_ERROR("VORTA_SIT_PATH evironment variable not found.");
    QMX_RETURN(1);
  }
  std::string fileName = ConfigFileName();
  QMX_FLOW("Configuration filename : %s", fileName.c_str());

  int result = 0;
  std::string text;
  int error = 0;
  const ReadStatus status = fileName.empty() ? ReadStatus::kMissing : ReadConfigFile(fileName, text, &error);
  if (status == ReadStatus::kUnreadable) {
    // The stored settings stay: defaults here would wipe the password, targets and job switches.
    const std::string line = "Configuration file " + fileName + " exists but cannot be read (" +
                             std::strerror(error) + "); the registry settings are kept";
    QMX_ERROR("%s", line.c_str());
    std::fprintf(stderr, "%s\n", line.c_str());
  } else if (status == ReadStatus::kMissing) {
    QMX_ERROR("Configuration file does not exist or error processing file, setting default environment");
    std::fprintf(stderr,
                 "Configuration file does not exist or error processing file, setting default "
                 "environment\n");
    result = StoreDefaults(envKey);
  } else {
    qmxcfg::ParseResult parsed = qmxcfg::ParseConfigText(
        text, release, [&](std::string_view record) {
          QMX_FLOW("File record : %.*s", static_cast<int>(record.size()), record.data());
        });
    if (parsed.truncated)
      QMX_ERROR("Configuration file is larger than %u bytes; only the lines within them are used",
                static_cast<unsigned>(qmxcfg::kMaxFileBytes));
    if (parsed.hadNul) QMX_ERROR("Configuration file holds NUL bytes; they are read as blanks");
    if (parsed.brokenLines)
      QMX_ERROR("Configuration file has %u lines longer than %u characters; each is read in pieces",
                static_cast<unsigned>(parsed.brokenLines), static_cast<unsigned>(qmxcfg::kMaxRecord));
    for (const qmxcfg::StoreAction& a : parsed.actions) {
      if (StoreSetting(envKey, a) != 0) {
        result = 1;
        break;
      }
    }
    if (!parsed.ClusterConsistent()) {
      QMX_ERROR("Cluster configuration incomplete: exch_cluster_server, exch_subsystem and exch_history go together");
      result = 1;
    }
  }
  GetOrvelEnv(instanceKey);
  QMX_RETURN(result);
}

bool IsClusterParamSet() {
  QMX_ENTRY();
  std::string fileName = ConfigFileName();
  std::string text;
  if (fileName.empty() || ReadConfigFile(fileName, text) != ReadStatus::kOk) QMX_RETURN(false);
  qmxcfg::ParseResult parsed = qmxcfg::ParseConfigText(text, -1);
  QMX_FLOW(".cfg file contents : %s", parsed.joined.c_str());
  bool set = qmxcfg::ClusterServerConfigured(parsed.joined);
  if (set) QMX_FLOW("Cluster settings are configured in the agent configuration panel");
  QMX_RETURN(set);
}

DWORD GetOrvelEnv(const char* instanceKey) {
  QMX_ENTRY();
  RegKey primary;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPrimaryEnvironment, 0, KEY_QUERY_VALUE, primary.put());
  if (rc != ERROR_SUCCESS) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(rc), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (text) LocalFree(text);
    QMX_RETURN(static_cast<DWORD>(rc));
  }
  std::string envKey = EnvironmentKey(instanceKey);
  for (DWORD i = 0;; ++i) {
    char name[256];
    char data[1024] = {0};
    DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
    rc = RegEnumValueA(primary.get(), i, name, &nameSize, nullptr, &type,
                       reinterpret_cast<BYTE*>(data), &dataSize);
    if (rc == ERROR_MORE_DATA) continue;  // too long for either setting: not ours
    if (rc != ERROR_SUCCESS) break;
    if (_stricmp(name, "HQ_CMSLIST") != 0 && _stricmp(name, "XNL_FAMILIES") != 0) continue;
    RegKey env;
    if (!act_regopenkey(HKEY_LOCAL_MACHINE, envKey.c_str(), env)) continue;
    std::string current;
    ReadCurrent(env, name, current);
    std::string value(data, strnlen(data, dataSize));
    if (!StoreString(env, name, value)) {
      QMX_ERROR("SetValue failed. Subkey : %s", name);
      QMX_RETURN(1);
    }
    std::fprintf(stderr, "Setting registry key : %s, value : %s\n", name, value.c_str());
  }
  std::fprintf(stderr, "Finished with RegEnumValue, hKey : %s\n", kPrimaryEnvironment);
  QMX_RETURN(0);
}

DWORD CopyRegKey(const char* source, const char* destination) {
  QMX_ENTRY();
  static const char* const kSubkeys[] = {"Configuration", "Environment"};
  DWORD last = 0;
  for (const char* sub : kSubkeys) {
    std::string from = std::string("SOFTWARE\\Orvel\\") + source + "\\" + sub;
    std::string to = std::string("SOFTWARE\\Orvel\\") + destination + "\\" + sub;
    QMX_FLOW("Creating Registry Key : %s\\%s", destination, sub);
    RegKey src, dst;
    LONG openRc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, from.c_str(), 0, KEY_READ, src.put());
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, to.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              dst.put(), nullptr);
    if (rc != ERROR_SUCCESS) {
      QMX_ERROR("RegCreateKeyEx failed : %s\\%s Error Code : %d", destination, sub,
                static_cast<int>(rc));
      last = static_cast<DWORD>(rc);
      continue;
    }
    if (openRc != ERROR_SUCCESS) {
      last = static_cast<DWORD>(openRc);
      continue;
    }
    // Buffers as large as the longest name and value of the source, so that every value is copied.
    DWORD maxName = 0, maxValue = 0;
    RegQueryInfoKeyA(src.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     &maxName, &maxValue, nullptr, nullptr);
    std::vector<char> name(std::max<DWORD>(260, maxName + 1));
    std::vector<BYTE> data(std::max<DWORD>(2048, maxValue));
    last = 0;
    for (DWORD i = 0;; ++i) {
      DWORD nameSize = static_cast<DWORD>(name.size()), dataSize = static_cast<DWORD>(data.size());
      DWORD type = 0;
      rc = RegEnumValueA(src.get(), i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc == ERROR_MORE_DATA) continue;  // grew while we copy: left out
      if (rc != ERROR_SUCCESS) {
        last = static_cast<DWORD>(rc);
        break;
      }
      RegSetValueExA(dst.get(), name.data(), 0, type, data.data(), dataSize);
    }
  }
  QMX_RETURN(last);
}
