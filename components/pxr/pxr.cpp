// Agent framework core: table registration, request objects, conditions and the serve loop.
#include "pxr.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <new>

#include "pxr_internal.h"
#include "pxr_monitor.h"
#include "qmxtrace.h"

namespace {

struct Framework {
  std::mutex mutex;
  std::condition_variable shutdown;
  bool shutdownRequested = false;
  bool running = false;
  OPQ_AgentLoader loader = nullptr;
  std::vector<TableManager*> tables;
  std::vector<std::string> affinities;
  std::string product;
  std::atomic<uint32_t> nextRequest{1};
  pxr::DispatchListener listener = nullptr;
  std::vector<pxr::ServeHook> hooks;
};

Framework& Fw() {
  static Framework* fw = new Framework();  // lives to process exit; tables may outlive main
  return *fw;
}

thread_local uint64_t tCurrentHandle = 0;

// Field text as the framework compares it: up to the first NUL, trailing blanks dropped.
std::string FieldText(const char* value, int length) {
  size_t n = value ? strnlen(value, length > 0 ? static_cast<size_t>(length) : 0) : 0;
  while (n > 0 && value[n - 1] == ' ') --n;
  return std::string(value ? value : "", n);
}

template <class T>
int Verdict(_IntfOper oper, const T& a, const T& b) {
  switch (oper) {
    case OPER_EQ: return a == b;
    case OPER_NE: return a != b;
    case OPER_LT: return a < b;
    case OPER_LE: return a <= b;
    case OPER_GT: return a > b;
    case OPER_GE: return a >= b;
  }
  return 0;
}

bool ParseInteger(const char* text, long long* out) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  *out = v;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- plain functions

void OPQ_RegisterAgentLoader(OPQ_AgentLoader loader) {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  Fw().loader = loader;
}

void OPQ_SetVersionUsingProduct(const char* product, char* version, int size) {
  {
    std::lock_guard<std::mutex> lock(Fw().mutex);
    Fw().product = product ? product : "";
  }
  if (version && size > 0) {
    std::memset(version, 0, static_cast<size_t>(size));
    std::strncpy(version, "06.10.00", static_cast<size_t>(size - 1));
  }
}

void OPQ_SetAffinity(const char* affinity) {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  Fw().affinities.push_back(affinity ? affinity : "");
}

void OPQ_Shutdown(int) {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  Fw().shutdownRequested = true;
  Fw().shutdown.notify_all();
}

int pxrmain(int, char**) {
  QMX_ENTRY();
  pxr::InstallMonitor();
  OPQ_AgentLoader loader;
  std::vector<pxr::ServeHook> hooks;
  {
    std::lock_guard<std::mutex> lock(Fw().mutex);
    Fw().running = true;
    loader = Fw().loader;
    hooks = Fw().hooks;
  }
  if (loader) {
    int rc = loader();
    QMX_FLOW("pxrmain: agent loader returned %d", rc);
  }
  // The monitoring side runs while the framework serves.
  std::vector<void*> started;
  for (const pxr::ServeHook& h : hooks) started.push_back(h.start ? h.start() : nullptr);
  {
    std::unique_lock<std::mutex> lock(Fw().mutex);
    Fw().shutdown.wait(lock, [] { return Fw().shutdownRequested; });
  }
  for (size_t i = hooks.size(); i-- > 0;)
    if (hooks[i].stop) hooks[i].stop(started[i]);
  {
    std::lock_guard<std::mutex> lock(Fw().mutex);
    Fw().running = false;
    Fw().shutdownRequested = false;
  }
  QMX_FLOW("pxrmain: shutdown requested, ending");
  QMX_RETURN(0);
}

// ---------------------------------------------------------------- TableManager

TableManager::TableManager(const char* application, const char* table)
    : application_(application ? application : ""), table_(table ? table : "") {}

TableManager::~TableManager() {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  auto& t = Fw().tables;
  t.erase(std::remove(t.begin(), t.end(), this), t.end());
}

void TableManager::Shutdown(unsigned long) {}

unsigned long TableManager::RegisterWithManager(TableManager* manager) {
  if (!manager) return PXR_BAD_ARGUMENT;
  std::lock_guard<std::mutex> lock(Fw().mutex);
  auto& t = Fw().tables;
  for (TableManager* m : t)
    if (m == manager || m->table_ == manager->table_) return PXR_BAD_ARGUMENT;
  t.push_back(manager);
  return PXR_OK;
}

vorta* TableManager::AddRequest(vorta* request) {
  if (!request) return nullptr;
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  request->next_ = requests_.head;
  requests_.head = request;
  return request;
}

void TableManager::RemoveRequest(vorta* request) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  vorta** p = &requests_.head;
  while (*p && *p != request) p = &(*p)->next_;
  if (*p) *p = request->next_;
  request->next_ = nullptr;
}

// ---------------------------------------------------------------- vorta

vorta::vorta(RequestDetail* detail, ContextInfo* context, TableManager* mgr)
    : manager(mgr),
      interval(detail ? detail->interval : 0),
      sampleType(detail ? detail->sampleType : 0),
      requestNumber(context ? context->requestNumber : 0),
      handle(context ? context->handle : 0),
      rowSize(0),
      allocStep(1),
      rowCount(0),
      rowsAllocated(0),
      rowData(nullptr) {
  if (detail) detail_ = *detail;
  for (const RequestCondition& c : detail_.conditions) {
    std::vector<char> name(c.attribute.begin(), c.attribute.end()), value(c.value.begin(), c.value.end());
    name.push_back('\0');
    value.push_back('\0');
    preparedConditions_.emplace_back(std::move(name), std::move(value));
  }
}

vorta::~vorta() {}

int vorta::ExecuteCommand(char*, int, char* reply) {
  if (reply) reply[0] = '\0';
  return 0;
}

int vorta::InsertRow(char* row) {
  if (!row || rowSize <= 0) return static_cast<int>(PXR_BAD_ARGUMENT);
  try {
    if (rowCount >= rowsAllocated) {
      int step = allocStep > 0 ? allocStep : 1;
      storage_.resize(static_cast<size_t>(rowsAllocated + step) * static_cast<size_t>(rowSize));
      rowsAllocated += step;
    }
  } catch (const std::bad_alloc&) {
    return static_cast<int>(PXR_NO_MEMORY);
  }
  std::memcpy(&storage_[static_cast<size_t>(rowCount) * static_cast<size_t>(rowSize)], row,
              static_cast<size_t>(rowSize));
  rowData = storage_.data();
  ++rowCount;
  return 0;
}

int vorta::CheckForException(char* row) {
  for (size_t i = 0; i < preparedConditions_.size(); ++i) {
    auto& p = preparedConditions_[i];
    if (!TestAttribute(row, p.first.data(), detail_.conditions[i].oper, p.second.data())) return 0;
  }
  return 1;
}

void vorta::CommandCompleted(VortaAutomationCapsule*) {}
void vorta::CommandCompletedEx(void*) {}

int vorta::IsException(_IntfOper oper, const char* value, int length, const char* condition) {
  return Verdict(oper, FieldText(value, length), std::string(condition ? condition : ""));
}

int vorta::IsException(_IntfOper oper, const char* value, int length, IntfDtype,
                       const char* condition) {
  // UTF-8 byte order is code point order, so the byte comparison serves both types.
  return IsException(oper, value, length, condition);
}

int vorta::IsException(_IntfOper oper, long value, const char* condition) {
  long long c;
  return ParseInteger(condition, &c) && Verdict(oper, static_cast<long long>(value), c);
}

int vorta::IsException(_IntfOper oper, long long value, const char* condition) {
  long long c;
  return ParseInteger(condition, &c) && Verdict(oper, value, c);
}

void vorta::DumpThresholds() {
  QMX_ENTRY();
  static const char* kOps[] = {"?", "EQ", "NE", "LT", "LE", "GT", "GE"};
  for (const RequestCondition& c : detail_.conditions) {
    int op = static_cast<int>(c.oper);
    QMX_STATE("\t::threshold %s %s \"%s\"\n", c.attribute.c_str(),
              kOps[op >= 1 && op <= 6 ? op : 0], c.value.c_str());
  }
}

void vorta::UseHandle(uint64_t h) { tCurrentHandle = h; }

unsigned long vorta::Dispatch() {
  uint64_t h = tCurrentHandle;
  pxr::DispatchListener listener;
  std::vector<TableManager*> tables;
  {
    std::lock_guard<std::mutex> lock(Fw().mutex);
    listener = Fw().listener;
    tables = Fw().tables;
  }
  if (h == 0) return PXR_NOT_FOUND;
  for (TableManager* m : tables) {
    m->lock();
    VortaListIter it(m->requests());
    for (vorta* r = it.Next(); r; r = it.Next()) {
      if (r->handle == h) {
        if (listener) listener(r, r->rowData, r->rowCount, r->rowSize);
        m->unlock();
        return PXR_OK;
      }
    }
    m->unlock();
  }
  return PXR_NOT_FOUND;
}

void vorta::Drop() { tCurrentHandle = 0; }

// ---------------------------------------------------------------- in-process side

namespace pxr {

std::vector<TableManager*> Tables() {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  return Fw().tables;
}

TableManager* FindTable(const std::string& name) {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  for (TableManager* m : Fw().tables)
    if (name == m->table()) return m;
  return nullptr;
}

bool ParseOperator(const std::string& text, _IntfOper* oper) {
  static const char* kNames[] = {"EQ", "NE", "LT", "LE", "GT", "GE"};
  for (int i = 0; i < 6; ++i) {
    if (text == kNames[i]) {
      *oper = static_cast<_IntfOper>(OPER_EQ + i);
      return true;
    }
  }
  return false;
}

std::unique_ptr<Request> Request::Open(const std::string& table,
                                       const std::vector<RequestCondition>& conditions,
                                       unsigned long* status, int interval) {
  unsigned long dummy;
  if (!status) status = &dummy;
  TableManager* m = FindTable(table);
  if (!m) {
    *status = PXR_NOT_FOUND;
    return nullptr;
  }
  RequestDetail detail;
  detail.application = m->application();
  detail.table = m->table();
  detail.conditions = conditions;
  detail.interval = interval;
  ContextInfo context;
  context.requestNumber = Fw().nextRequest++;
  context.handle = 0x5000000000ull + context.requestNumber;
  context.origin = "in-process";
  vorta* object = m->CreateRequest(&detail, &context);
  if (!object) {
    *status = PXR_NO_MEMORY;
    return nullptr;
  }
  *status = PXR_OK;
  return std::unique_ptr<Request>(new Request(m, object));
}

Request::~Request() {
  // Out of the list first: a Dispatch on another thread must not reach a half-destroyed object.
  manager_->RemoveRequest(object_);
  delete object_;
}

unsigned long Request::Sample() {
  object_->rowCount = 0;
  return object_->TakeSample();
}

int Request::rowCount() const { return object_->rowCount; }
int Request::rowSize() const { return object_->rowSize; }
const char* Request::row(int index) const {
  if (index < 0 || index >= object_->rowCount || !object_->rowData) return nullptr;
  return object_->rowData + static_cast<size_t>(index) * static_cast<size_t>(object_->rowSize);
}

std::vector<std::string> Affinities() {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  return Fw().affinities;
}

std::string Product() {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  return Fw().product;
}

void SetDispatchListener(DispatchListener listener) {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  Fw().listener = listener;
}

bool Running() {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  return Fw().running;
}

void AddServeHook(const ServeHook& hook) {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  Fw().hooks.push_back(hook);
}

void ResetForTests() {
  std::lock_guard<std::mutex> lock(Fw().mutex);
  Fw().tables.clear();
  Fw().affinities.clear();
  Fw().shutdownRequested = false;
}

}  // namespace pxr
