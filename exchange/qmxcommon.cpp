// Exchange release, service pack and roles, external commands, file freshness, disk space.
#include "qmxcommon.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "earegcls.h"
#include "earegenv.h"
#include "jbx.h"
#include "qmxhandle.h"
#include "qmxtrace.h"

namespace {

// Written without a lock: two threads detecting at once store the same value.
std::atomic<int> g_release{-1};
std::atomic<int> g_level2003{-1};
std::atomic<int> g_level2007{-1};
std::atomic<int> g_level2010{-1};
// A level that cannot be read is asked again at every call; its failure is traced once.
std::atomic<bool> g_level2007Failed{false};
std::atomic<bool> g_level2010Failed{false};

bool FirstFailure(std::atomic<bool>& failed) { return !failed.exchange(true); }

const char kV14Setup[] = "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup";
const char kSetup[] = "SOFTWARE\\Microsoft\\Exchange\\Setup";
const char kHklmMicrosoft[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft";

using Handle = qmx::UniqueKernelHandle;

uint64_t ToU64(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace

void ResetExchangeVersionCaches() {
  g_release = -1;
  g_level2003 = -1;
  g_level2007 = -1;
  g_level2010 = -1;
  g_level2007Failed = false;
  g_level2010Failed = false;
}

int GetExchangeVersion() {
  QMX_ENTRY();
  int cached = g_release.load(std::memory_order_relaxed);
  if (cached != -1) QMX_RETURN(cached);
  QMX_FLOW("GetExchangeVersion: Process running on 64-Bit Operating System.");
  DWORD major = 0;
  std::string keyName = kHklmMicrosoft;
  RegKey key;
  bool opened = false;
  if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, kV14Setup, key)) {
    keyName += "\\ExchangeServer\\v14\\Setup";
    opened = true;
  } else {
    keyName += "\\Exchange\\Setup";
    if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, kSetup, key))
      opened = true;
    else
      QMX_ERROR("GetExchangeVersion: 64-Bit Registry open request failed.");
  }
  if (opened) {
    if (act_reggetdword(key, "MsiProductMajor", major))
      QMX_FLOW("GetExchangeVersion: Exchange Server Major Version: %d", static_cast<int>(major));
    else
      QMX_ERROR("GetExchangeVersion: Could not read MsiProductMajor from Registy.");
    key.reset();
  }
  if (major == 8) {
    g_release = kExchange2007;
  } else if (major == 14) {
    g_release = kExchange2010;
    DWORD rollup = 0;
    if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, kSetup, key) &&
        act_reggetdword(key, "LatestRollupInstalled", rollup))
      QMX_FLOW("GetExchangeVersion: Installed Rollup version : %d", static_cast<int>(rollup));
  } else {
    QMX_ERROR("GetExchangeVersion: Registry key/value not found: %s", keyName.c_str());
  }
  QMX_RETURN(g_release.load(std::memory_order_relaxed));
}

int GetExchange2k7ServicePackLevel() {
  QMX_ENTRY();
  if (g_level2007 == -1) {
    RegKey key;
    if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, kSetup, key)) {
      DWORD minor = 0;
      if (act_reggetdword(key, "MsiProductMinor", minor)) {
        QMX_FLOW("GetExchange2k7ServicePackLevel: Exchange Server Minor Version: %d",
                 static_cast<int>(minor));
        if (minor == 1) g_level2007 = kExchange2007SP1;
        else if (minor == 2) g_level2007 = kExchange2007SP2;
        else if (minor >= 3) g_level2007 = kExchange2007SP3;
      } else if (FirstFailure(g_level2007Failed)) {
        QMX_ERROR("GetExchange2k7ServicePackLevel: Could not read MsiProductMinor from Registy.");
      }
    } else if (FirstFailure(g_level2007Failed)) {
      QMX_ERROR("GetExchange2k7ServicePackLevel: Could not read MsiProductMajor from Registy.");
    }
  }
  QMX_RETURN(g_level2007.load(std::memory_order_relaxed));
}

int GetExchange2k10ServicePackLevel() {
  QMX_ENTRY();
  if (g_level2010 == -1) {
    RegKey key;
    if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, kV14Setup, key)) {
      DWORD minor = 0;
      if (act_reggetdword(key, "MsiProductMinor", minor)) {
        QMX_FLOW("GetExchange2k10ServicePackLevel : Exchange Server Minor Version is : %d",
                 static_cast<int>(minor));
        // Later service packs keep what SP1 brought.
        if (minor >= 1) g_level2010 = kExchange2010SP1;
      } else if (FirstFailure(g_level2010Failed)) {
        QMX_ERROR("GetExchange2k10ServicePackLevel : Could not read MsiProductMinor from Registy.");
      }
    } else if (FirstFailure(g_level2010Failed)) {
      QMX_ERROR("GetExchange2k10ServicePackLevel: Could not read MsiProductMajor from Registy.");
    }
  }
  QMX_RETURN(g_level2010.load(std::memory_order_relaxed));
}

int GetExchange2k3ServicePackLevel() {
  QMX_ENTRY();
  if (g_level2003 == -1) {
    auto reg = std::make_unique<CRegistry>();
    reg->Attributes(KEY_READ | KEY_WOW64_64KEY, 0, nullptr, nullptr);  // only read
    if (reg->Open(nullptr, HKEY_LOCAL_MACHINE, kSetup) == CRegistry::kOk) {
      DWORD version = 0, type = 0, size = sizeof version;
      if (reg->GetValue("ExchangeServerAdmin Version", &version, &type, &size) == CRegistry::kOk &&
          size == sizeof version && version == 65) {
        QMX_FLOW("Exchange Server 2003 is installed");
        DWORD sp = 0;
        size = sizeof sp;
        if (reg->GetValue("ServicePackNumber", &sp, &type, &size) == CRegistry::kOk &&
            size == sizeof sp && (sp == 1 || sp == 2)) {
          g_level2003 = sp == 1 ? kExchange2003SP1 : kExchange2003SP2;
          QMX_FLOW("GetExchange2k3ServicePackLevel: Exchange Server 2003 service pack: %d",
                   static_cast<int>(sp + 5));
        }
      }
      reg->Close();
    }
    QMX_FLOW("deleting pReg....");
    reg.reset();
  }
  QMX_RETURN(g_level2003.load(std::memory_order_relaxed));
}

ExchangeLevels GetExchangeLevels() {
  ExchangeLevels l;
  l.release = GetExchangeVersion();
  if (l.release == kExchange2003 || l.release == kExchangePre2007) l.level2003 = GetExchange2k3ServicePackLevel();
  if (l.release == kExchange2007) l.level2007 = GetExchange2k7ServicePackLevel();
  if (l.release == kExchange2010) l.level2010 = GetExchange2k10ServicePackLevel();
  return l;
}

uint32_t GetExchangeServerRoleInfo(int release) {
  QMX_ENTRY();
  struct Role {
    const char* subkey;
    uint32_t bit;
    const char* missing;
  };
  static const Role kRoles[] = {
      {"MailboxRole", kRoleMailbox, "TakeSample: MailboxRole key not found."},
      {"EdgeTransportRole", kRoleEdgeTransport, "TakeSample: EdgeTransportRole key not found."},
      {"ClientAccessRole", kRoleClientAccess, "TakeSample: ClientAccessRole key not found."},
      {"UnifiedMessagingRole", kRoleUnifiedMessaging,
       "TakeSample: UnifiedMessagingRole key not found."},
      {"HubTransportRole", kRoleHubTransport, "TakeSample: HubTransportRole key not found."},
  };
  std::string base = release == kExchange2010 ? "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\"
                                              : "SOFTWARE\\Microsoft\\Exchange\\v8.0\\";
  QMX_DETAIL("TakeSample: Check Exchange Server roles.");
  uint32_t mask = 0;
  for (const Role& r : kRoles) {
    RegKey key;
    if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, (base + r.subkey).c_str(), key))
      mask += r.bit;
    else
      QMX_DETAIL("%s", r.missing);
  }
  QMX_RETURN(mask);
}

std::string SystemErrorText(unsigned long code) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                 reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = text ? text : std::to_string(code);
  if (text) LocalFree(text);
  return result;
}

bool ReadSharedFileText(const std::string& path, std::string* text) {
  text->clear();
  Handle f(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (f.get() == INVALID_HANDLE_VALUE) return false;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(f.get(), chunk, sizeof chunk, &got, nullptr) && got) text->append(chunk, got);
  return true;
}

void ExecuteCommand(const char* commandLine) {
  QMX_ENTRY();
  if (!commandLine) return;
  QMX_FLOW("Command to be executed : %s", commandLine);
  // Between our pipe's creation and the close of our copy of its write end, no other command of
  // ours may start: it would inherit that end and hold our read open until it ends.
  static std::mutex startLock;
  std::unique_lock<std::mutex> starting(startLock);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE r = nullptr, w = nullptr;
  if (!CreatePipe(&r, &w, &sa, 0)) {
    QMX_ERROR("<CreatePipe> failed");
    return;
  }
  Handle readEnd(r), writeEnd(w);
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);  // the command needs the write end only

  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd.get();
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdInput = nullptr;
  QMX_FLOW("cmdLine to create process : %s ", commandLine);
  std::vector<char> line(commandLine, commandLine + std::strlen(commandLine) + 1);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    QMX_ERROR("<CreateProcess> failed : %s", SystemErrorText(GetLastError()).c_str());
    return;
  }
  Handle process(pi.hProcess), thread(pi.hThread);
  writeEnd.reset();  // the read below ends when the command closes its output
  starting.unlock();

  // Read while the command runs: a command that fills the pipe would otherwise stall until the
  // wait gives up.
  ULONGLONG start = GetTickCount64();
  char chunk[1024];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(readEnd.get(), chunk, sizeof chunk, &got, nullptr) || got == 0) break;
    QMX_DETAIL("%.*s", static_cast<int>(got), chunk);
  }
  // The wait for the command itself stays bounded by 30 s from its start; it is not ended.
  ULONGLONG elapsed = GetTickCount64() - start;
  WaitForSingleObject(process.get(), elapsed >= 30000 ? 0 : static_cast<DWORD>(30000 - elapsed));
}

int CompareFileTime(const char* path) {
  QMX_ENTRY();
  const char* interval = BSS1_GetEnv("QMX_INTERVAL", 0);
  if (!path || !std::strstr(path, "mbxstorestate")) QMX_RETURN(1);
  Handle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    QMX_ERROR("File does not exist. Error code- %d\n", static_cast<int>(GetLastError()));
    QMX_RETURN(1);
  }
  FILETIME written{}, now{};
  if (!GetFileTime(file.get(), nullptr, nullptr, &written)) {
    QMX_ERROR("GetFileTime failed with %d\n", static_cast<int>(GetLastError()));
    QMX_RETURN(1);
  }
  GetSystemTimeAsFileTime(&now);
  if (ToU64(now) < ToU64(written)) {
    QMX_FLOW("Modification time is later than the current time\n");
    QMX_RETURN(1);
  }
  QMX_RETURN(FileAgeVerdict(ToU64(now) - ToU64(written), interval));
}

int GetDiskSpaceInMB(const char* drive, char* totalMB, size_t totalSize, char* freeMB,
                     size_t freeSize) {
  QMX_ENTRY();
  std::string root = std::string(drive ? drive : "").substr(0, 8) + "\\";
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!GetDiskFreeSpaceA(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                         &totalClusters)) {
    // A total of 0 tells the callers that nothing was computed.
    QMX_ERROR("GetDiskSpaceInMB: GetDiskFreeSpace failed for %s, error %d", root.c_str(),
              static_cast<int>(GetLastError()));
    if (totalMB && totalSize) std::snprintf(totalMB, totalSize, "0");
    if (freeMB && freeSize) std::snprintf(freeMB, freeSize, "0");
    QMX_RETURN(1);
  }
  uint64_t cluster = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
  uint64_t total = static_cast<uint64_t>(totalClusters) * cluster;
  uint64_t free = static_cast<uint64_t>(freeClusters) * cluster;
  if (totalMB && totalSize)
    std::snprintf(totalMB, totalSize, "%llu", static_cast<unsigned long long>(total >> 20));
  if (freeMB && freeSize)
    std::snprintf(freeMB, freeSize, "%llu", static_cast<unsigned long long>(free >> 20));
  QMX_RETURN(1);
}
