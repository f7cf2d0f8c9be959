// Agent start-up, table loading and shutdown: the agent thread's body and the framework wrappers.
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <new>
#include <stdexcept>

#include "counter_set.h"
#include "ctrtable_rules.h"
#include "earegenv.h"
#include "pxr.h"
#include "pxr_monitor.h"
#include "qmxactdir.h"
#include "qmxcommon.h"
#include "qmxconfig.h"
#include "qmxmaildetail.h"
#include "qmxschedule.h"
#include "qmxtrace.h"
#include "setjbxras1env.h"
#include "table_catalogue.h"
#include "zrtcoi.h"
#include "zrtglobals.h"
#include "zrtmsg.h"

namespace {

constexpr int kThreadSlots = 32;
HANDLE threadTable[kThreadSlots] = {};
DWORD waitResults[kThreadSlots];

// Physical DNS host name, whole: a name of 16 characters or more must not come out empty.
std::string InstanceName() {
  DWORD size = 0;
  GetComputerNameExA(ComputerNamePhysicalDnsHostname, nullptr, &size);
  std::vector<char> name(size + 1, '\0');
  if (size == 0 || !GetComputerNameExA(ComputerNamePhysicalDnsHostname, name.data(), &size))
    return std::string();
  return std::string(name.data());
}

void TraceThreadStart(QmxTrace& qmx_trace, const char* what, unsigned id, HANDLE h) {
  QMX_FLOW("HqMain: %s will run as thread ID: %d[%0.8x] (Handle: %0.8x)", what, id, id,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)));
}

// A background collection thread into its slot of the thread table, with its start lines: on
// standard error "HqMain: <what> started", in the trace "HqMain: <label> started." and its id.
void StartCollectionThread(QmxTrace& qmx_trace, int slot, unsigned(__stdcall* body)(void*),
                           const char* what, const char* label) {
  unsigned id = 0;
  uintptr_t h = _beginthreadex(nullptr, 0, body, nullptr, 0, &id);
  if (h == 0 || h == static_cast<uintptr_t>(-1)) {
    QMX_ERROR("HqMain: %s could not be started, errno %d", label, errno);
    return;
  }
  threadTable[slot] = reinterpret_cast<HANDLE>(h);
  std::fprintf(stderr, "HqMain: %s started\n", what);
  QMX_FLOW("HqMain: %s started.", label);
  TraceThreadStart(qmx_trace, label, id, threadTable[slot]);
}

}  // namespace

void Call_OPQ_RegisterAgent() {
  QMX_ENTRY();
  OPQ_RegisterAgentLoader(LoadAgents);
}

void Call_OPQ_SetProduct() {
  QMX_ENTRY();
  char product[16];
  LoadResourceString(5040, product, sizeof product);
  if (std::strlen(product) != 3) std::strcpy(product, "**");
  char version[9] = {0};
  OPQ_SetVersionUsingProduct(product, version, sizeof version);
}

unsigned __stdcall InvokeFW(void*) {
  QMX_ENTRY();
  QMX_FLOW("InvokeFW:  Attached.");
  QMX_FLOW("InvokeFW:  Calling pxrmain to get agent started.");
  char arg0[] = QMX_SERVICE_NAME;
  char arg1[] = "";
  char* argv[] = {arg0, arg1, nullptr};
  int rc = pxrmain(1, argv);
  QMX_RETURN(static_cast<unsigned>(rc));
}

void HqTerminate() {
  QMX_ENTRY();
  OPQ_Shutdown(1);
}

namespace {

// When a table is loaded, by the release (V) and service-pack codes.
enum LoadCondition {
  ALWAYS,
  V_OLD,          // release 1 or 2
  V_2007_2010,    // release 3 or 5
  V_NOT_2010,     // release not 5
  V_2010,         // release 5
  V_2010_SP1,     // release 5 and 2010 level 8
  V_NOT_2003,     // release not 1
};

// When the table's alternate definition id replaces its first one.
enum AlternateRule {
  NO_ALTERNATE,
  NEWER_DATABASE,  // release not 1 and (2007 level 4, 9 or 10, or release 5)
  EXCHANGE_2003_SP2,
  RELEASE_2010,
  LEVEL_2010_SP1,
  RELEASE_2007,
};

// What the catalogue does not say of a table: when it is loaded, and when its alternate
// definition is bound. Its group title and definition ids come from the catalogue.
struct LoadStep {
  const char* stem;
  LoadCondition condition;
  AlternateRule alternate;
};

// The order in which the framework learns of the tables.
const LoadStep kLoadOrder[] = {
    {"msedb", ALWAYS, NEWER_DATABASE},     {"mseds", ALWAYS, NO_ALTERNATE},
    {"mseis", ALWAYS, NO_ALTERNATE},       {"mseispri", ALWAYS, NO_ALTERNATE},
    {"mseispub", ALWAYS, NO_ALTERNATE},    {"mseispur", ALWAYS, NO_ALTERNATE},
    {"msesrvcd", ALWAYS, NO_ALTERNATE},    {"msemta", V_OLD, NO_ALTERNATE},
    {"msemtac", V_OLD, NO_ALTERNATE},      {"mseservr", ALWAYS, NO_ALTERNATE},
    {"msesgrpd", ALWAYS, NO_ALTERNATE},    {"msepfldd", ALWAYS, NO_ALTERNATE},
    {"msembxd", ALWAYS, NO_ALTERNATE},     {"msereach", ALWAYS, NO_ALTERNATE},
    {"qmxsmtp", ALWAYS, NO_ALTERNATE},     {"msekavel", ALWAYS, NO_ALTERNATE},
    {"msedbins", ALWAYS, NEWER_DATABASE},  {"msercach", ALWAYS, NO_ALTERNATE},
    {"msesidag", ALWAYS, NO_ALTERNATE},    {"mseadcah", V_2007_2010, NO_ALTERNATE},
    {"msetrrul", ALWAYS, NO_ALTERNATE},    {"msetrque", ALWAYS, NO_ALTERNATE},
    {"msesmtpr", ALWAYS, NO_ALTERNATE},    {"msesmtps", ALWAYS, NO_ALTERNATE},
    {"mserepl", ALWAYS, NO_ALTERNATE},     {"mseasync", ALWAYS, EXCHANGE_2003_SP2},
    {"mseadacp", V_2007_2010, NO_ALTERNATE}, {"mseassit", ALWAYS, RELEASE_2010},
    {"msestrdr", ALWAYS, NO_ALTERNATE},    {"mseiscli", ALWAYS, NO_ALTERNATE},
    {"mserfa", V_2007_2010, NO_ALTERNATE}, {"msesfa", V_2007_2010, NO_ALTERNATE},
    {"msepaa", V_2007_2010, NO_ALTERNATE}, {"msecfa", V_2007_2010, NO_ALTERNATE},
    {"mseconfa", V_2007_2010, NO_ALTERNATE}, {"mseaf", V_2007_2010, NO_ALTERNATE},
    {"msfsss", V_2007_2010, NO_ALTERNATE}, {"msrtopo", V_2007_2010, NO_ALTERNATE},
    {"msenlbs", V_2007_2010, NO_ALTERNATE}, {"msmbscs", V_2007_2010, NO_ALTERNATE},
    {"mserbs", V_2007_2010, NO_ALTERNATE}, {"mseowa", V_2007_2010, NO_ALTERNATE},
    {"msemcd", V_NOT_2010, NO_ALTERNATE},  {"msemreps", V_2010, NO_ALTERNATE},
    {"mserbac", V_2010, NO_ALTERNATE},     {"msemrspm", V_2010, NO_ALTERNATE},
    {"mserms", V_2010, NO_ALTERNATE},      {"msedag", V_2010, NO_ALTERNATE},
    {"msetrsr", V_2010, NO_ALTERNATE},     {"mseasstdb", V_2010, NO_ALTERNATE},
    {"mseamc", V_2010, NO_ALTERNATE},      {"mseams", V_2010, NO_ALTERNATE},
    {"mseam", V_2010, NO_ALTERNATE},       {"msems", V_2010, NO_ALTERNATE},
    {"mset", V_2010, NO_ALTERNATE},        {"msetsmtpa", V_2010, NO_ALTERNATE},
    {"msemt", V_2010, LEVEL_2010_SP1},     {"msers", V_2010_SP1, NO_ALTERNATE},
    {"mserh", V_2010_SP1, NO_ALTERNATE},   {"msesdd", V_2010_SP1, NO_ALTERNATE},
    {"msesds", V_2010_SP1, NO_ALTERNATE},  {"msemanfa", ALWAYS, NO_ALTERNATE},
    {"msetrdmp", ALWAYS, NO_ALTERNATE},    {"msetrdb", ALWAYS, RELEASE_2007},
    {"ffexods", V_NOT_2003, NO_ALTERNATE}, {"ffexrts", V_NOT_2003, NO_ALTERNATE},
    {"ffexschs", V_NOT_2003, NO_ALTERNATE}, {"ffextrnss", V_NOT_2003, NO_ALTERNATE},
};

struct Levels {
  int release, sp2003, sp2007, sp2010;
};

bool Holds(LoadCondition c, const Levels& l, int v) {
  switch (c) {
    case ALWAYS: return true;
    case V_OLD: return v == 1 || v == 2;
    case V_2007_2010: return v == 3 || v == 5;
    case V_NOT_2010: return v != 5;
    case V_2010: return v == 5;
    case V_2010_SP1: return v == 5 && l.sp2010 == 8;
    case V_NOT_2003: return l.release != 1;
  }
  return false;
}

bool UseAlternate(QmxTrace& qmx_trace, AlternateRule rule, const Levels& l) {
  switch (rule) {
    case NO_ALTERNATE: return false;
    case NEWER_DATABASE:
      QMX_FLOW("MS Exchange Version %d", l.release);
      return l.release != 1 && (l.sp2007 == 4 || l.sp2007 == 9 || l.sp2007 == 10 || l.release == 5);
    case EXCHANGE_2003_SP2:
      QMX_FLOW("MS Exchange Version %d", l.release);
      if (l.release == 1 && l.sp2003 == 7) {
        QMX_FLOW("MS Exchange Server 2003 SP2 found");
        return true;
      }
      return false;
    case RELEASE_2010:
      QMX_FLOW("MS Exchange Version %d", l.release);
      return l.release == 5;
    case LEVEL_2010_SP1:
      QMX_FLOW("MS Exchange Version %d", l.release);
      return l.sp2010 == 8;
    case RELEASE_2007:
      QMX_FLOW("MS Exchange Version %d", l.release);
      return l.release == 3;
  }
  return false;
}

// Tells the monitoring side which counter, at which scale, each field of a definition holds, and
// what the agent's own delta fields mean. A table the agent reads itself stores the counters'
// values as read (scale 1).
void RegisterCounterHelp(const qmx::TableLayout& layout, int definitionId, bool scaled = true) {
  std::string strings[5];
  std::vector<char> text(8192);
  for (int i = 0; i < 5; ++i) {
    LoadResourceString(static_cast<UINT>(definitionId + i), text.data(), static_cast<int>(text.size()));
    strings[i] = text.data();
  }
  qmx::CounterSetDefinition def;
  std::string error;
  if (!qmx::ParseCounterSet(strings, &def, &error)) return;
  for (const qmx::CounterField& f : def.fields) {
    if (f.isInstance()) continue;
    for (const qmx::TableAttribute& a : layout.attributes)
      if (a.offset == f.offset)
        pxr::SetCounterHelp(layout.name, a.name.c_str(), def.object.c_str(), f.name.c_str(),
                            scaled ? f.scaleText.c_str() : "1");
  }
  if (const qmx::CounterTableDesc* desc = qmx::FindCounterTableDesc(layout.number))
    for (const qmx::DeltaPair& d : desc->deltas) {
      std::string text = std::string("Change of ") + d.source +
                         " since the table's previous sample (first row only), computed by the agent";
      pxr::SetAttributeHelp(layout.name, d.delta, text.c_str());
    }
}

// Row origin and first header column name, handed to every counter-backed table.
std::vector<char> rowOrigin;
std::string originColumn;

}  // namespace

int InitializeBfr(SampleBfr* bfr, const char* tableName, int definitionId, char* scratch,
                  int scratchSize) {
  QMX_ENTRY();
  if (!bfr->hMutex && !bfr->InitMutex(tableName)) QMX_RETURN(0);
  QMX_FLOW("Initializing TABLE: %s\n", tableName);
  bfr->SetTableName(tableName);
  std::memset(scratch, 0, static_cast<size_t>(scratchSize));
  LoadResourceString(static_cast<UINT>(definitionId), scratch, scratchSize);
  std::string header = scratch;
  std::memset(scratch, 0, static_cast<size_t>(scratchSize));
  LoadResourceString(static_cast<UINT>(definitionId + 1), scratch, scratchSize);
  int rows = 0, rowSize = 0;
  qmx::ReadRowsAndRowSize(header.c_str(), scratch, &rows, &rowSize);
  bfr->nRowSize = static_cast<uint32_t>(rowSize);
  bfr->Allocate(static_cast<long long>(rows) * rowSize);
  std::memset(scratch, 0, static_cast<size_t>(scratchSize));
  QMX_RETURN(1);
}

namespace {
std::vector<std::pair<std::string, int>> boundDefinitions;  // what LoadAgents bound, in order
}

std::vector<std::pair<std::string, int>> LoadedTables() { return boundDefinitions; }

int LoadAgents() {
  QMX_ENTRY();
  std::unique_ptr<char[]> scratch(new (std::nothrow) char[4096]());
  if (!scratch) QMX_RETURN(0);
  char* area = scratch.get();
  for (const char* affinity : {"5044", "5012"}) {
    std::memset(area, 0, 4096);
    LoadResourceString(static_cast<UINT>(std::atoi(affinity)), area, 4096);
    OPQ_SetAffinity(area);
  }
  OPQ_SetAffinity("AFF_FEAT_INTERNATIONALIZATION");
  OPQ_SetAffinity("AFF_FEAT_DM_PARITY");
  OPQ_SetAffinity("AFF_FEAT_AGENT_MGMT");

  // Row origin: as wide as the first header column (string 241), filled with the local host.
  std::memset(area, 0, 4096);
  LoadResourceString(241, area, 4096);
  int originWidth = std::atoi(area);
  if (originWidth <= 0) originWidth = 64;
  rowOrigin.assign(static_cast<size_t>(originWidth) + 1, '\0');
  char host[64];
  ReturnLocalHost(host);
  std::memcpy(rowOrigin.data(), host, static_cast<size_t>(std::min(originWidth, 64)));
  std::memset(area, 0, 4096);
  LoadResourceString(240, area, 4096);
  {
    int count = 0;
    char word[64] = {0};
    std::sscanf(area, "%d %63s", &count, word);
    originColumn = word;
  }

  setJbxRas1EnvironmentVariable("QMX64ENV");

  boundDefinitions.clear();
  const ExchangeLevels found = GetExchangeLevels();
  Levels l = {found.release, found.level2003, found.level2007, found.level2010};
  int v = l.release;
  for (const LoadStep& step : kLoadOrder) {
    const qmx::TableEntry* table = qmx::FindTableByStem(step.stem);
    if (!table) {
      QMX_ERROR("LoadAgents: no table %s in the catalogue", step.stem);
      continue;
    }
    const qmx::TableLayout& layout = *table->layout;
    const std::string title = layout.group;
    std::string dashes(title.size() < 60 ? 60 - title.size() : 4, '-');
    QMX_ALWAYS("--- %s %s", title.c_str(), dashes.c_str());
    // "V" is read once after the services-detail table.
    if (std::strcmp(step.stem, "msesrvcd") == 0) v = GetExchangeVersion();
    if (!Holds(step.condition, l, v)) continue;
    if (layout.definitionId == 0 || !table->buffer) {
      table->init();
      if (layout.definitionId != 0) RegisterCounterHelp(layout, layout.definitionId, false);
      boundDefinitions.emplace_back(layout.name, 0);
      continue;
    }
    int id = UseAlternate(qmx_trace, step.alternate, l) ? layout.alternateId : layout.definitionId;
    if (step.alternate == RELEASE_2007) QMX_FLOW("String ID %d", id);
    if (!InitializeBfr(table->buffer, layout.bufferName.c_str(), id, area, 4096)) continue;
    table->init();
    ZrtStartInterface(table->buffer, static_cast<ULONG>(id), 240, originColumn.c_str(),
                      rowOrigin.data(), 64, 1);
    RegisterCounterHelp(layout, id);
    boundDefinitions.emplace_back(layout.name, id);
  }
  QMX_RETURN(0);
}

namespace {

// Sampling interval: QMX_INTERVAL when it holds only digits and is at least 5, else 5.
ULONG SamplingInterval() {
  const char* text = BSS1_GetEnv("QMX_INTERVAL", 0);
  if (!text || !*text || std::strlen(text) > 9) return 5;
  for (const char* p = text; *p; ++p)
    if (*p < '0' || *p > '9') return 5;
  ULONG value = static_cast<ULONG>(std::strtoul(text, nullptr, 10));
  return value >= 5 ? value : 5;
}

bool EnvIsOne(const char* name) {
  const char* text = BSS1_GetEnv(name, 0);
  return text && std::strcmp(text, "1") == 0;
}

void TraceEnv(QmxTrace& qmx_trace, const char* name) {
  const char* value = BSS1_GetEnv(name, 0);
  QMX_FLOW("%s=%s", name, value ? value : "");
}

// The agent thread's COM apartment. The last CoUninitialize may unload the counter service's
// library, so every COM object is released before it: the owners of those objects are declared
// after this one and so end first, on every way out of HqMain.
class ComApartment {
 public:
  ComApartment() = default;
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() { Uninitialize(); }
  HRESULT Initialize() {
    hr_ = CoInitialize(nullptr);
    return hr_;
  }
  void Uninitialize() {
    if (SUCCEEDED(hr_)) CoUninitialize();
    hr_ = E_FAIL;
  }

 private:
  HRESULT hr_ = E_FAIL;
};

// The counter service, released on every way out of HqMain (before the apartment goes).
class CounterServiceOwner {
 public:
  CounterServiceOwner() = default;
  CounterServiceOwner(const CounterServiceOwner&) = delete;
  CounterServiceOwner& operator=(const CounterServiceOwner&) = delete;
  ~CounterServiceOwner() { Release(); }
  void Release() {
    if (pDuzovev) {
      pDuzovev->Release();
      pDuzovev = nullptr;
    }
  }
};

}  // namespace

int HqMain(int, char**) {
  QMX_ENTRY();
  QMX_FLOW("HqMain: Entry");
  const std::string instance = InstanceName();
  const std::string primaryKey = "QMX\\Ver610\\Primary";
  const std::string instanceKey = "QMX\\Ver610\\" + instance;
  const std::string primaryEnvKey = "SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment";
  std::fprintf(stderr, "Computer Name : %s\n", instance.c_str());
  std::fprintf(stderr, "Org reg key : %s\n", primaryKey.c_str());
  std::fprintf(stderr, "New reg key : %s\n", instanceKey.c_str());
  for (DWORD& r : waitResults) r = WAIT_FAILED;

  // Registry environment; a new instance key is seeded from the primary key.
  if (SetEnvFromReg(instanceKey.c_str()) != 0) {
    CopyRegKey(primaryKey.c_str(), instanceKey.c_str());
    SetEnvFromReg(instanceKey.c_str());
  }
  if (CheckConfigSettings(instanceKey.c_str()) != 0) {
    QMX_ERROR("HqMain: EXITING due to configuration initialization failure");
    EndWithError(1212);
  }
  SetEnvFromReg(instanceKey.c_str());

  if (!IsClusterParamSet()) {
    RegKey key;
    if (act_regopenkeyread64(HKEY_LOCAL_MACHINE, primaryEnvKey.c_str(), key)) {
      std::string host;
      if (act_reggetexpandedstring(key, "VORTA_HOSTNAME", 3072, host)) {
        std::string put = "VORTA_HOSTNAME=" + host;
        BSS1_PutEnv(put.c_str());
        QMX_FLOW("VORTA_HOSTNAME key value %s", host.c_str());
      }
      act_regclosekey(key);
    }
  }

  QMX_FLOW("HqMain: Environment Set");
  for (const char* name : {"JBX_RAS1", "XNL_PORTS", "XNL_FAMILIES", "XNL_GLBSITES", "VORTA_CELL_NAME",
                           "VORTA_HOSTNAME", "VORTA_NODETYPE", "VORTA_SUBSYSTEM_ID"})
    TraceEnv(qmx_trace, name);
  const ULONG interval = SamplingInterval();
  const bool reachability = EnvIsOne("QMX_REACHABILITY_ENABLED");
  const bool mailboxDetails = EnvIsOne("QMX_MBX_DETAILS_ENABLED");

  ComApartment apartment;
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < 5; ++attempt) {
    hr = apartment.Initialize();
    if (SUCCEEDED(hr)) break;
    QMX_FLOW("HqMain: CoinitializeEx returns %0.8x", static_cast<unsigned>(hr));
    Sleep(2000);
  }
  if (FAILED(hr)) {
    CoUninitialize();
    std::fprintf(stderr, "HqMain: EXITING due to COM initialization failure\n");
    QMX_ERROR("HqMain: EXITING due to COM initialization failure");
    QMX_RETURN(-1);
  }
  QMX_FLOW("HqMain: COM initialized");

  CounterServiceOwner owner;
  if (!bCtrServiceInitialized) {
    bCtrServiceInitialized = 1;
    if (bReregister) {
      QMX_ERROR("HqMain: Forcing Reregistration of DLL");
      if (!RegIt()) {
        QMX_FLOW("HqMain: Reregistration failed");
        std::fprintf(stderr, "HqMain: Reregistration failed\n");
      }
    }
    QMX_FLOW("HqMain: Getting ClassId");
    CLSID clsid = GetClassId();
    if (IsEqualCLSID(clsid, CLSID_NULL)) {
      Message0(10104);
      QMX_ERROR("HqMain: Null class id, EXITING");
      std::fprintf(stderr, "HqMain: Null class id, EXITING\n");
      QMX_RETURN(-1);
    }
    QMX_FLOW("HqMain: Creating an instance of Duzovev");
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDuzovev, reinterpret_cast<void**>(&pDuzovev));
    if (FAILED(hr)) {
      pDuzovev = nullptr;
      char text[16];
      std::snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(hr));
      Message0(10105);
      std::fprintf(stderr, "HqMain: Duzovev instance creation FAILED..\n");
      std::fprintf(stderr, "HqMain: CoCreateInstance returns %s (int)..\n", text);
      bCtrServiceInitialized = 0;
      apartment.Uninitialize();
      std::fprintf(stderr, "HqMain: EXITING\n");
      QMX_ERROR("HqMain: Duzovev instance creation FAILED");
      QMX_ERROR("HqMain: CoCreateInstance returns %s [%0.8x]", text, static_cast<unsigned>(hr));
      QMX_ERROR("HqMain: EXITING");
      QMX_RETURN(-2);
    }
    QMX_FLOW("HqMain: Duzovev instance created");
    try {
      hr = pDuzovev->Initialize(interval, 0, 0);
    } catch (const std::bad_alloc& e) {
      std::fprintf(stderr, "HqMain: Duzovev Initialize function failed, bad_alloc - %s\n", e.what());
      std::fprintf(stderr, "HqMain: EXITING\n");
      std::fflush(stderr);
      QMX_ERROR("HqMain: Duzovev Initialize function failed, bad_alloc - %s", e.what());
      QMX_ERROR("HqMain: EXITING");
      QMX_RETURN(-3);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "HqMain: Duzovev Initialize standard exception - %s\n", e.what());
      std::fflush(stderr);
      QMX_ERROR("HqMain: Duzovev Initialize standard exception - %s", e.what());
      QMX_ERROR("HqMain: EXITING");
      throw;
    } catch (...) {
      int err = errno;
      DWORD last = GetLastError();
      std::fprintf(stderr, "HqMain: Duzovev Initialize function failed, exception thrown!\n");
      std::fprintf(stderr, "HqMain: Errno=%d LastError=%lu\n", err, last);
      std::fflush(stderr);
      QMX_ERROR("HqMain: Duzovev Initialize function failed, exception thrown!");
      QMX_ERROR("HqMain: Errno=%d[%0.8x] LastError=%lu[%0.8lx]", err, err, last, last);
      throw;
    }
    if (FAILED(hr)) {
      bCtrServiceInitialized = 0;
      QMX_ERROR("HqMain: Duzovev initialization FAILED");
      Message0(10109);
      owner.Release();
      apartment.Uninitialize();
      QMX_FLOW("HqMain: EXITING");
      QMX_RETURN(-3);
    }
    QMX_FLOW("HqMain: Duzovev initialized");
  }

  // Framework thread.
  unsigned id = 0;
  uintptr_t fw = _beginthreadex(nullptr, 0, InvokeFW, nullptr, 0, &id);
  if (fw == 0 || fw == static_cast<uintptr_t>(-1)) {
    QMX_ERROR("HqMain: framework thread could not be started, errno %d", errno);
    QMX_RETURN(-1);
  }
  threadTable[0] = reinterpret_cast<HANDLE>(fw);
  bFrameworkRunning = 1;
  QMX_FLOW("HqMain: framework thread started.");
  TraceThreadStart(qmx_trace, "InvokeFW", id, threadTable[0]);
  // The background collection threads, each into its slot.
  (void)reachability;
  if (mailboxDetails)
    StartCollectionThread(qmx_trace, 1, MailBoxInfoThread, "Mailbox Detail Thread", "MailBox Thread");
  StartCollectionThread(qmx_trace, 3, TopologyThread, "Topology Thread", "Topology Thread");
  StartCollectionThread(qmx_trace, 4, PublicFolderDetailThread, "PublicFoldDetails Thread",
                        "PublicFoldDetails  Thread");

  // Watch loop. A background thread that has ended leaves the waits, so it does not wake the loop
  // on every pass; the framework thread is always watched.
  bool ended[kThreadSlots] = {};
  bool goOn = true;
  DWORD lastResult = WAIT_FAILED;
  while (goOn) {
    HANDLE handles[kThreadSlots];
    int slotOf[kThreadSlots];
    int n = 0;
    // Slots of threads that are not enabled stay empty; the threads behind them are watched.
    for (int slot = 0; slot < kThreadSlots; ++slot) {
      if (!threadTable[slot] || (ended[slot] && slot != 0)) continue;
      handles[n] = threadTable[slot];
      slotOf[n++] = slot;
    }
    DWORD r = MsgWaitForMultipleObjects(static_cast<DWORD>(n), handles, FALSE, 10000, 0xFF);
    if (r == WAIT_FAILED) {
      goOn = false;
    } else if (r == WAIT_IO_COMPLETION || r == WAIT_TIMEOUT) {
    } else if (r < WAIT_OBJECT_0 + static_cast<DWORD>(n)) {
      int slot = slotOf[r - WAIT_OBJECT_0];
      waitResults[slot] = WAIT_OBJECT_0;
      ended[slot] = true;
      lastResult = r;
      if (slot != 0) QMX_FLOW("HqMain: the thread of slot %d has ended", slot);
    } else if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + static_cast<DWORD>(n)) {
      int slot = slotOf[r - WAIT_ABANDONED_0];
      waitResults[slot] = WAIT_ABANDONED_0;
      ended[slot] = true;
      lastResult = r;
    } else if (r == WAIT_OBJECT_0 + static_cast<DWORD>(n)) {
      // Everything that waits, sent messages included, without blocking: a wait for a posted
      // message would stop the watch while the framework thread ends.
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    } else {
      goOn = false;
    }
    if (waitResults[0] == WAIT_OBJECT_0 || waitResults[0] == WAIT_ABANDONED_0) {
      bFrameworkRunning = 0;
      QMX_FLOW("HqMain: PXRMAIN thread handle posted");
      break;
    }
  }

  qmx::StopCollections();  // no collection starts another round
  if (bCtrServiceInitialized) {
    bCtrServiceInitialized = 0;
    QMX_FLOW("HqMain: Termination commencing");
    StopService();
    if (pDuzovev) pDuzovev->Terminate();
    owner.Release();
    apartment.Uninitialize();
    QMX_FLOW("HqMain: Termination concluded");
  }
  QMX_FLOW("HqMain: EXITING");
  QMX_RETURN(static_cast<int>(lastResult));
}
