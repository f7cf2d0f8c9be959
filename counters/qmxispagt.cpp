// The information store tables' sample on Windows.
#include "qmxispagt.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "earegenv.h"
#include "jbx.h"
#include "qmxcommon.h"
#include "qmxhandle.h"
#include "qmxprocess.h"
#include "qmxscripts.h"
#include "qmxstorage.h"
#include "qmxtrace.h"
#include "zrtPdh.h"
#include "zrtcoi.h"

int32_t CalcSingInstRatio(const qmx::StoreTableDesc& desc, const char* storeName) {
  QMX_ENTRY();
  char path[1024];
  std::snprintf(path, sizeof path, "\\%s(%s)\\Single Instance Ratio", desc.perfObject, storeName);
  float value = 0;
  {
    PDH pdh(path);
    pdh.logData(&value);
  }
  const int32_t ratio = qmx::TruncateToInt32(static_cast<double>(value * 100.0f));
  QMX_FLOW("CalcSingInstRatio : Single Instance Ratio for %s is %d", storeName, ratio);
  QMX_RETURN(ratio);
}

int IsMailboxNameExixtsInPerfmon(const char* storeName) {
  QMX_ENTRY();
  char path[1024];
  std::snprintf(path, sizeof path, "\\%s(%s)\\Active Client Logons",
                qmx::PrivateStoreTable().perfObject, storeName);
  PDH pdh(path);
  const int exists = pdh.GetStatus() == 0 ? 1 : 0;
  if (exists) QMX_FLOW("Instance key (%s) exists in perfmon ", storeName);
  QMX_RETURN(exists);
}

namespace qmx {

namespace {

// A handle closed on destruction.
using FileHandle = UniqueKernelHandle;

std::string HistoryPath(const char* logDir, const StoreTableDesc& desc) {
  if (!logDir || !*logDir) return std::string();
  return std::string(logDir) + "\\" + desc.historyFile;
}

// The history text, empty when the file cannot be read or is not one the agent wrote.
std::string ReadHistory(const StoreTableDesc& desc, const std::string& path) {
  QMX_ENTRY();
  FileHandle f(path.empty() ? INVALID_HANDLE_VALUE
                            : CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) {
    QMX_ERROR("SMG: %s file open for read failed: %s", desc.traceName, path.c_str());
    return std::string();
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(f.get(), &size) || size.QuadPart > static_cast<LONGLONG>(kMaxHistoryBytes)) {
    QMX_ERROR("SMG: %s history file %s is larger than %u bytes; not used", desc.traceName, path.c_str(),
              static_cast<unsigned>(kMaxHistoryBytes));
    return std::string();
  }
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!bytes.empty() && (!ReadFile(f.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr))) {
    QMX_ERROR("SMG: %s file open for read failed: %s", desc.traceName, path.c_str());
    return std::string();
  }
  bytes.resize(got);
  return HistoryTextFromBytes(bytes);
}

// Replaces the history file in one step: a reader sees the old text or the new one, and a full
// disk or a crash while writing leaves the old one.
void WriteHistory(const StoreTableDesc& desc, const std::string& path, const std::string& text) {
  QMX_ENTRY();
  if (path.empty() || !ReplaceFileText(path, text))
    QMX_ERROR("SMG: %s file open for write failed: %s", desc.traceName, path.c_str());
}

bool ProbeExists(const StoreTableDesc&, const char* name, void*) { return IsMailboxNameExixtsInPerfmon(name) == 1; }
int32_t ProbeRatio(const StoreTableDesc& desc, const char* name, void*) { return CalcSingInstRatio(desc, name); }

// Table 05 on releases 3 and 5 reports only on a server with the mailbox role.
bool MailboxRoleMissing(int release) {
  QMX_ENTRY();
  const char* key = release == kExchange2010 ? "SOFTWARE\\Microsoft\\ExchangeServer\\v14\\MailboxRole"
                                             : "SOFTWARE\\Microsoft\\Exchange\\v8.0\\MailboxRole";
  RegKey k;
  if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, key, k)) return false;
  return release == kExchange2007 || release == kExchange2010;
}

}  // namespace

unsigned long SampleStoreTable(vorta& request, const StoreTableDesc& desc, SampleBfr& bfr) {
  QMX_ENTRY();
  std::fprintf(stderr, "%s\n", StartLine(desc.table).c_str());
  const char* serverSetting = BSS1_GetEnv("QMX_EXCH_SERVER", 0);
  const char* logDir = BSS1_GetEnv("VORTA_LOG_PATH", 0);
  const std::string server = serverSetting ? serverSetting : "";
  request.rowCount = 0;
  const int release = GetExchangeVersion();
  if (!desc.storesMustBeInSummary && MailboxRoleMissing(release)) {
    QMX_ERROR("qmx_mseispub_agent :: TakeSample: Mailbox role not found. No details here.");
    QMX_RETURN(0UL);
  }

  const ULONG status = ZrtTalloInterface(&bfr);
  if (status != 0) {
    QMX_ERROR("%s", StatusLine(status).c_str());
    QMX_RETURN(0UL);
  }

  StoreSampleInput in;
  in.release = release;
  in.statusKnown = CheckMailboxStoreStatus(&in.statusText, logDir, server.c_str()) == 0;
  if (in.statusText.empty()) QMX_DETAIL("No data returned from mbxstorestate script");

  std::string code, message, records;
  const long rc = desc.storesMustBeInSummary
                      ? GetPrivateStoreActiveDirectoryData(nullptr, server, std::string(), &code, &message, &records, 0)
                      : GetPublicStoreActiveDirectoryData(nullptr, server, std::string(), &code, &message, &records);
  if (rc != 0 || records.empty()) {
    QMX_ERROR("%s: no database records of %s (%ld, %s, %s)", desc.traceName, server.c_str(), rc, code.c_str(),
              message.c_str());
    QMX_RETURN(0UL);
  }

  const std::string historyPath = HistoryPath(logDir, desc);
  in.historyText = ReadHistory(desc, historyPath);
  std::string count;
  const std::vector<DbFileRecord> databases = GetNumDBFiles(nullptr, records, &count, &in.summaryText);
  in.databaseCount = databases.size();
  in.counterRows = bfr.pBuffer.get();
  in.counterRowCount = bfr.pBuffer ? bfr.nRowsUsed : 0;
  in.counterRowSize = bfr.nRowSize;
  in.probe = {&ProbeExists, &ProbeRatio, nullptr};
  char stamp[kHQTimeStampLen];
  getHQTimeStamp(stamp);
  in.systemName64 = CachedLocalHost();
  in.stamp16 = stamp;
  StoreRows rows = BuildStoreRows(desc, in);

  if (HistoryNeedsWrite(in.summaryText, in.historyText)) WriteHistory(desc, historyPath, in.summaryText);
  QMX_DETAIL("Number of rows : %d", rows.count);
  if (in.statusText.empty() || rows.count == 0) QMX_RETURN(0UL);
  QMX_RETURN(request.AddData(rows.bytes.data(), rows.count));
}

}  // namespace qmx
