#include "collector.h"

#include <pdh.h>
#include <pdhmsg.h>
#include <winperf.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "counter_set.h"
#include "qmxtrace.h"
#include "sample_layout.h"
#include "win_text.h"

namespace dedazud {

namespace {

// Counters are removed from their query and queries closed when these go out of scope.
struct CounterHandle {
  PDH_HCOUNTER h = nullptr;
  CounterHandle() = default;
  explicit CounterHandle(PDH_HCOUNTER c) : h(c) {}
  CounterHandle(CounterHandle&& o) noexcept : h(o.h) { o.h = nullptr; }
  CounterHandle& operator=(CounterHandle&& o) noexcept {
    if (this != &o) {
      reset();
      h = o.h;
      o.h = nullptr;
    }
    return *this;
  }
  ~CounterHandle() { reset(); }
  void reset() {
    if (h) PdhRemoveCounter(h);
    h = nullptr;
  }
};

struct QueryHandle {
  PDH_HQUERY h = nullptr;
  QueryHandle() = default;
  QueryHandle(const QueryHandle&) = delete;
  QueryHandle& operator=(const QueryHandle&) = delete;
  ~QueryHandle() { reset(); }
  void reset() {
    if (h) PdhCloseQuery(h);
    h = nullptr;
  }
};

struct InstanceState {
  std::wstring name;                    // as enumerated; empty for a single-instance object
  std::vector<CounterHandle> counters;  // one per field; empty for text and for missing counters
  bool missing = false;                 // some counter could not be added
};

}  // namespace

// One published round of a sample: its rows back to back.
struct Round {
  ULONG rows = 0;
  std::vector<uint8_t> bytes;
};

namespace {

using qmx::FromWide;
using qmx::ToWide;

bool LoadFromExecutable(unsigned id, std::string* text) {
  QMX_ENTRY();
  // The agent's definitions live in the string table of the executable, not of this DLL. A string
  // that fills the buffer may have been cut, so it counts as unreadable; the agent's own limit
  // is 4095 characters, which this buffer holds whole.
  char buf[8192];
  int n = LoadStringA(GetModuleHandleA(nullptr), id, buf, sizeof buf);
  if (n <= 0 || n >= static_cast<int>(sizeof buf) - 1) QMX_RETURN(false);
  text->assign(buf, static_cast<size_t>(n));
  QMX_RETURN(true);
}

std::string Hex(unsigned long v) {
  char b[16];
  snprintf(b, sizeof b, "0x%08lx", v);
  return b;
}

// Two-call enumeration of an object's counters and instances; repeats when the lists grow
// between the calls.
PDH_STATUS EnumerateObject(const std::wstring& object, std::vector<wchar_t>* counters,
                           std::vector<std::wstring>* instances) {
  QMX_ENTRY();
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD cc = 0, ic = 0;
    PDH_STATUS s = PdhEnumObjectItemsW(nullptr, nullptr, object.c_str(), nullptr, &cc, nullptr, &ic,
                                       PERF_DETAIL_WIZARD, 0);
    if (s == ERROR_SUCCESS) {  // nothing to list
      counters->clear();
      instances->clear();
      QMX_RETURN(s);
    }
    if (s != static_cast<PDH_STATUS>(PDH_MORE_DATA)) QMX_RETURN(s);
    std::vector<wchar_t> ibuf(ic ? ic : 1);
    counters->assign(cc ? cc : 1, L'\0');
    s = PdhEnumObjectItemsW(nullptr, nullptr, object.c_str(), counters->data(), &cc,
                            ic ? ibuf.data() : nullptr, &ic, PERF_DETAIL_WIZARD, 0);
    if (s == static_cast<PDH_STATUS>(PDH_MORE_DATA)) continue;
    if (s != ERROR_SUCCESS) QMX_RETURN(s);
    counters->resize(std::min<size_t>(cc, counters->size()));
    instances->clear();
    for (size_t i = 0; i < std::min<size_t>(ic, ibuf.size()) && ibuf[i];) {
      std::wstring name(&ibuf[i]);
      i += name.size() + 1;
      // PDH lists an instance once per process that provides it; one row each is enough.
      if (std::find(instances->begin(), instances->end(), name) == instances->end())
        instances->push_back(name);
    }
    QMX_RETURN(static_cast<PDH_STATUS>(ERROR_SUCCESS));
  }
  QMX_RETURN(static_cast<PDH_STATUS>(PDH_MORE_DATA));
}

}  // namespace

struct Sample {
  ULONGLONG handle = 0;
  ULONG definitionId = 0;
  qmx::CounterSetDefinition def;
  std::vector<HeaderField> header;
  std::wstring object;
  std::vector<std::wstring> counterNames;  // per field, wide; empty for text fields
  bool multi = false;

  // Shared with the callers; guarded by mu.
  std::mutex mu;
  std::map<std::string, std::string> fixed;  // header column -> value
  std::shared_ptr<const Round> current = std::make_shared<Round>();
  std::map<DWORD, std::pair<std::shared_ptr<const Round>, int>> pins;  // thread -> locked round

  // Collection state: the collection thread's alone (or the caller of CollectRound while no thread
  // runs). The query is declared before the instances so that their counters go first.
  QueryHandle query;
  std::vector<InstanceState> instances;
  std::vector<wchar_t> counterList;  // last enumerated
  bool objectMissing = false;
  unsigned collections = 0;
  ULONGLONG catchUpAt = 0;
  ULONG sampleNo = 0;

  void Publish(std::shared_ptr<const Round> round) {
    std::lock_guard<std::mutex> lock(mu);
    current = std::move(round);
  }
  std::shared_ptr<const Round> View() {  // caller holds mu
    auto it = pins.find(GetCurrentThreadId());
    return it != pins.end() ? it->second.first : current;
  }
};

namespace {

void AddCounters(Sample& s, InstanceState& inst, bool retry) {
  QMX_ENTRY();
  inst.counters.resize(s.def.fields.size());
  inst.missing = false;
  for (size_t k = 0; k < s.def.fields.size(); ++k) {
    if (s.counterNames[k].empty() || inst.counters[k].h) continue;
    std::wstring path = L"\\" + s.object + (s.multi ? L"(" + inst.name + L")" : std::wstring()) +
                        L"\\" + s.counterNames[k];
    PDH_HCOUNTER h = nullptr;
    PDH_STATUS st = PdhAddEnglishCounterW(s.query.h, path.c_str(), 0, &h);
    if (st == ERROR_SUCCESS) {
      inst.counters[k] = CounterHandle(h);
    } else {
      inst.missing = true;
      if (!retry)
        QMX_STATE("Collector::AddCounters: definition %lu: counter \"%s\" not available (%s)",
                  s.definitionId, s.def.fields[k].name.c_str(), Hex(st).c_str());
    }
  }
}

void PutField(const Sample& s, size_t k, const InstanceState& inst, uint8_t* at) {
  QMX_ENTRY();
  const qmx::CounterField& f = s.def.fields[k];
  if (f.type != qmx::CS_INTEGER) {
    if (f.isInstance()) PutText(at, f.size, FromWide(inst.name, f.type == qmx::CS_UTF8 ? CP_UTF8 : CP_ACP),
                                f.type == qmx::CS_UTF8);
    return;
  }
  PDH_HCOUNTER h = k < inst.counters.size() ? inst.counters[k].h : nullptr;
  PDH_FMT_COUNTERVALUE v{};
  if (h && f.size == 8 && f.scale == 1.0) {
    // 64-bit counters (file times) would lose their low digits as doubles.
    if (PdhGetFormattedCounterValue(h, PDH_FMT_LARGE | PDH_FMT_NOCAP100, nullptr, &v) == ERROR_SUCCESS &&
        (v.CStatus == PDH_CSTATUS_VALID_DATA || v.CStatus == PDH_CSTATUS_NEW_DATA)) {
      PutInteger(at, f.size, v.largeValue);
      return;
    }
  } else if (h && PdhGetFormattedCounterValue(h, PDH_FMT_DOUBLE | PDH_FMT_NOCAP100, nullptr, &v) ==
                      ERROR_SUCCESS &&
             (v.CStatus == PDH_CSTATUS_VALID_DATA || v.CStatus == PDH_CSTATUS_NEW_DATA)) {
    bool marker = false;
    int64_t n = ScaleToInteger(v.doubleValue, f.scale, f.size, &marker);
    if (!marker) {
      PutInteger(at, f.size, n);
      return;
    }
  }
  PutMarker(at, f.size);
}

// One round of one sample: follow the object's instances, collect, lay the rows out, publish.
ULONG CollectSample(Sample& s, const std::string& timestamp) {
  QMX_ENTRY();
  std::vector<wchar_t> counterList;
  std::vector<std::wstring> names;
  PDH_STATUS st = EnumerateObject(s.object, &counterList, &names);
  if (st != ERROR_SUCCESS) {
    if (!s.objectMissing)
      QMX_ERROR("Collector::CollectSample: performance object \"%s\" of definition %lu not available "
                "(%s); no rows until it appears",
                s.def.object.c_str(), s.definitionId, Hex(st).c_str());
    s.objectMissing = true;
    s.instances.clear();
    s.query.reset();
    s.counterList.clear();
  } else {
    if (s.objectMissing)
      QMX_FLOW("Collector::CollectSample: performance object \"%s\" available again",
               s.def.object.c_str());
    s.objectMissing = false;
  }
  ++s.collections;
  ++s.sampleNo;

  auto round = std::make_shared<Round>();
  if (!s.objectMissing) {
    if (!s.multi) names.assign(1, std::wstring());
    bool listChanged = counterList != s.counterList;
    s.counterList.swap(counterList);
    if (!s.query.h) {
      st = PdhOpenQueryW(nullptr, 0, &s.query.h);
      if (st != ERROR_SUCCESS) {
        s.query.h = nullptr;
        QMX_ERROR("Collector::CollectSample: PdhOpenQuery failed with %s", Hex(st).c_str());
        names.clear();
      }
    }
    // Keep the counters of instances that stay (their rates need the previous raw values),
    // add those of new instances, drop those of instances that went away.
    std::unordered_map<std::wstring, size_t> known;
    for (size_t i = 0; i < s.instances.size(); ++i) known.emplace(s.instances[i].name, i);
    std::vector<InstanceState> next;
    next.reserve(names.size());
    for (const std::wstring& n : names) {
      auto it = known.find(n);
      if (it != known.end()) {
        next.push_back(std::move(s.instances[it->second]));
        known.erase(it);
        if (next.back().missing && listChanged) AddCounters(s, next.back(), true);
      } else {
        next.emplace_back();
        next.back().name = n;
        AddCounters(s, next.back(), false);
      }
    }
    s.instances.swap(next);
    next.clear();  // the counters of vanished instances leave the query here

    if (s.query.h && !s.instances.empty()) {
      st = PdhCollectQueryData(s.query.h);
      if (st != ERROR_SUCCESS && st != static_cast<PDH_STATUS>(PDH_NO_DATA))
        QMX_ERROR("Collector::CollectSample: PdhCollectQueryData for \"%s\" failed with %s",
                  s.def.object.c_str(), Hex(st).c_str());
    }

    const size_t rowSize = static_cast<size_t>(s.def.rowSize);
    round->rows = static_cast<ULONG>(s.instances.size());
    round->bytes.assign(rowSize * s.instances.size(), 0);
    std::map<std::string, std::string> fixed;
    {
      std::lock_guard<std::mutex> lock(s.mu);
      fixed = s.fixed;
    }
    for (size_t r = 0; r < s.instances.size(); ++r) {
      uint8_t* row = round->bytes.data() + r * rowSize;
      for (const HeaderField& h : s.header) {
        auto fx = fixed.find(h.name);
        if (fx != fixed.end()) PutText(row + h.offset, h.width, fx->second, false);
        else if (h.role == HDR_SAMPLE) PutInteger(row + h.offset, h.width, s.sampleNo);
        else if (h.role == HDR_ROW) PutInteger(row + h.offset, h.width, static_cast<int64_t>(r + 1));
        else if (h.role == HDR_TIMESTAMP) PutText(row + h.offset, h.width, timestamp, false);
      }
      for (size_t k = 0; k < s.def.fields.size(); ++k)
        PutField(s, k, s.instances[r], row + s.def.fields[k].offset);
    }
  }
  ULONG rows = round->rows;
  s.Publish(std::move(round));
  QMX_RETURN(rows);
}

std::string NowTimestamp() {
  QMX_ENTRY();
  SYSTEMTIME t;
  GetLocalTime(&t);
  return RowTimestamp(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

}  // namespace

Collector::Collector() : Collector(LoadFromExecutable) {}

Collector::Collector(StringLoader loader) : loader_(std::move(loader)) {
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wakeEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

Collector::~Collector() {
  Terminate();
  if (stopEvent_) CloseHandle(stopEvent_);
  if (wakeEvent_) CloseHandle(wakeEvent_);
}

std::shared_ptr<Sample> Collector::Find(ULONGLONG handle) {
  std::lock_guard<std::mutex> lock(samplesMu_);
  auto it = samples_.find(handle);
  return it == samples_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Sample>> Collector::AllSamples() {
  std::lock_guard<std::mutex> lock(samplesMu_);
  std::vector<std::shared_ptr<Sample>> out;
  out.reserve(samples_.size());
  for (auto& kv : samples_) out.push_back(kv.second);
  return out;
}

HRESULT Collector::DescribeSample(ULONG definitionId, ULONG headerId, ULONGLONG* handle) {
  QMX_ENTRY();
  if (!handle) QMX_RETURN(E_POINTER);
  *handle = 0;
  std::string strings[5], header[3];
  for (unsigned k = 0; k < 5; ++k) {
    if (!loader_(definitionId + k, &strings[k])) {
      QMX_ERROR("Collector::DescribeSample: definition %lu: string %lu not found", definitionId,
                definitionId + k);
      QMX_RETURN(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    }
  }
  for (unsigned k = 0; k < 3; ++k) {
    if (headerId == 0 || !loader_(headerId + k, &header[k])) {
      QMX_ERROR("Collector::DescribeSample: row header %lu: string %lu not found", headerId, headerId + k);
      QMX_RETURN(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
    }
  }
  auto s = std::make_shared<Sample>();
  std::string error;
  if (!qmx::ParseCounterSet(strings, &s->def, &error) ||
      !ParseRowHeader(header[0], header[1], header[2], &s->header, &error) ||
      !CheckLayout(s->def, s->header, &error)) {
    QMX_ERROR("Collector::DescribeSample: definition %lu unusable: %s", definitionId, error.c_str());
    QMX_RETURN(HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  }
  s->definitionId = definitionId;
  s->object = ToWide(s->def.object);
  s->multi = s->def.multiInstance();
  for (const qmx::CounterField& f : s->def.fields)
    s->counterNames.push_back(f.type == qmx::CS_INTEGER ? ToWide(f.name) : std::wstring());
  {
    std::lock_guard<std::mutex> lock(samplesMu_);
    s->handle = nextHandle_++;
    samples_.emplace(s->handle, s);
  }
  *handle = s->handle;
  QMX_FLOW("Collector::DescribeSample: definition %lu (\"%s\", %d fields, %d bytes a row) is sample %llu",
           definitionId, s->def.object.c_str(), s->def.fieldCount, s->def.rowSize, s->handle);
  SetEvent(wakeEvent_);  // a running thread primes it at once
  QMX_RETURN(S_OK);
}

HRESULT Collector::DescribeFixedData(ULONGLONG handle, const char* column, const char* value, ULONG width) {
  QMX_ENTRY();
  std::shared_ptr<Sample> s = Find(handle);
  if (!s) QMX_RETURN(E_HANDLE);
  if (!column) QMX_RETURN(E_POINTER);
  const HeaderField* field = nullptr;
  for (const HeaderField& h : s->header)
    if (h.name == column) field = &h;
  if (!field) {
    QMX_ERROR("Collector::DescribeFixedData: sample %llu has no header column \"%s\"", handle, column);
    QMX_RETURN(E_INVALIDARG);
  }
  std::string v = value ? std::string(value, strnlen(value, std::min<ULONG>(width, field->width))) : std::string();
  std::lock_guard<std::mutex> lock(s->mu);
  s->fixed[field->name] = v;
  // A round published before the value arrived gets it too.
  if (s->current->rows) {
    auto patched = std::make_shared<Round>(*s->current);
    for (ULONG r = 0; r < patched->rows; ++r)
      PutText(patched->bytes.data() + static_cast<size_t>(r) * s->def.rowSize + field->offset, field->width, v,
              false);
    s->current = patched;
  }
  QMX_RETURN(S_OK);
}

HRESULT Collector::Lock(ULONGLONG handle, ULONG operation) {
  QMX_ENTRY();
  std::shared_ptr<Sample> s = Find(handle);
  if (!s) QMX_RETURN(E_HANDLE);
  std::lock_guard<std::mutex> lock(s->mu);
  DWORD tid = GetCurrentThreadId();
  auto it = s->pins.find(tid);
  if (operation == 1) {
    // The locking thread keeps the round that was current until it unlocks; the collection
    // thread publishes newer rounds meanwhile without waiting for it.
    if (it != s->pins.end()) ++it->second.second;
    else s->pins.emplace(tid, std::make_pair(s->current, 1));
    QMX_RETURN(S_OK);
  }
  if (operation == 2) {
    if (it == s->pins.end()) QMX_RETURN(HRESULT_FROM_WIN32(ERROR_NOT_LOCKED));
    if (--it->second.second == 0) s->pins.erase(it);
    QMX_RETURN(S_OK);
  }
  QMX_RETURN(E_INVALIDARG);
}

HRESULT Collector::Rows(ULONGLONG handle, ULONG* rows) {
  QMX_ENTRY();
  if (!rows) QMX_RETURN(E_POINTER);
  std::shared_ptr<Sample> s = Find(handle);
  if (!s) QMX_RETURN(E_HANDLE);
  std::lock_guard<std::mutex> lock(s->mu);
  *rows = s->View()->rows;
  QMX_RETURN(S_OK);
}

HRESULT Collector::ReadableRound(ULONGLONG handle, ULONG* written, std::shared_ptr<Sample>* sample,
                                 std::shared_ptr<const Round>* round) {
  if (!written) return E_POINTER;
  *written = 0;
  *sample = Find(handle);
  if (!*sample) return E_HANDLE;
  std::lock_guard<std::mutex> lock((*sample)->mu);
  *round = (*sample)->View();
  return S_OK;
}

HRESULT Collector::Data(ULONGLONG handle, ULONG bufferSize, ULONG* written, BYTE* buffer) {
  QMX_ENTRY();
  std::shared_ptr<Sample> s;
  std::shared_ptr<const Round> view;
  const HRESULT found = ReadableRound(handle, written, &s, &view);
  if (FAILED(found)) QMX_RETURN(found);
  ULONG rowSize = static_cast<ULONG>(s->def.rowSize);
  ULONG fit = std::min<ULONG>(view->rows, bufferSize / rowSize);
  if (fit && !buffer) QMX_RETURN(E_POINTER);
  if (fit) memcpy(buffer, view->bytes.data(), static_cast<size_t>(fit) * rowSize);
  *written = fit * rowSize;
  // Only whole rows are handed over; S_FALSE says that some did not fit.
  QMX_RETURN(fit < view->rows ? S_FALSE : S_OK);
}

HRESULT Collector::Copy(ULONGLONG handle, ULONG bufferSize, ULONG* written, BYTE* buffer) {
  QMX_ENTRY();
  std::shared_ptr<Sample> s;
  std::shared_ptr<const Round> view;
  const HRESULT found = ReadableRound(handle, written, &s, &view);
  if (FAILED(found)) QMX_RETURN(found);
  size_t need = view->bytes.size();
  if (bufferSize < need) QMX_RETURN(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  if (need && !buffer) QMX_RETURN(E_POINTER);
  if (need) memcpy(buffer, view->bytes.data(), need);
  *written = static_cast<ULONG>(need);
  QMX_RETURN(S_OK);
}

unsigned Collector::CollectRound() {
  QMX_ENTRY();
  std::string ts = NowTimestamp();
  unsigned rows = 0;
  for (auto& s : AllSamples()) rows += CollectSample(*s, ts);
  QMX_RETURN(rows);
}

void Collector::ReleaseQueries() {
  QMX_ENTRY();
  for (auto& s : AllSamples()) {
    s->instances.clear();
    s->query.reset();
    s->counterList.clear();
    s->collections = 0;
    s->objectMissing = false;
  }
}

// The thread's schedule: a sample never collected is collected at once (a first round, whose
// rate counters hold the marker because one collection forms no rate), then again a second later
// (rates over that second), then with all others every interval.
void Collector::ThreadMain(ULONG intervalSeconds) {
  QMX_ENTRY();
  const ULONGLONG interval = static_cast<ULONGLONG>(intervalSeconds) * 1000;
  const ULONGLONG catchUp = std::min<ULONGLONG>(1000, interval);
  ULONGLONG nextRound = GetTickCount64() + interval;
  HANDLE events[2] = {stopEvent_, wakeEvent_};
  for (;;) {
    ULONGLONG now = GetTickCount64();
    std::string ts = NowTimestamp();
    bool regular = now >= nextRound;
    unsigned collected = 0, rows = 0;
    for (auto& s : AllSamples()) {
      if (WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0) return;
      bool due = s->collections == 0 || regular || (s->collections == 1 && now >= s->catchUpAt);
      if (!due) continue;
      if (s->collections == 0) s->catchUpAt = now + catchUp;
      rows += CollectSample(*s, ts);
      ++collected;
    }
    if (collected)
      QMX_FLOW("Collector::ThreadMain: %u samples collected, %u rows, %llu ms", collected, rows,
               GetTickCount64() - now);
    if (regular) {
      nextRound += interval;
      if (nextRound <= now) nextRound = now + interval;
    }
    ULONGLONG wakeAt = nextRound;
    for (auto& s : AllSamples())
      if (s->collections == 1 && s->catchUpAt < wakeAt) wakeAt = s->catchUpAt;
    now = GetTickCount64();
    DWORD wait = wakeAt > now ? static_cast<DWORD>(std::min<ULONGLONG>(wakeAt - now, 0x7FFFFFFF)) : 0;
    if (WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_OBJECT_0) return;
  }
}

HRESULT Collector::Initialize(ULONG intervalSeconds) {
  QMX_ENTRY();
  if (intervalSeconds == 0) QMX_RETURN(E_INVALIDARG);
  if (!stopEvent_ || !wakeEvent_) QMX_RETURN(E_OUTOFMEMORY);
  std::lock_guard<std::mutex> lock(controlMu_);
  if (thread_.joinable()) QMX_RETURN(S_FALSE);  // already collecting
  ResetEvent(stopEvent_);
  try {
    thread_ = std::thread(&Collector::ThreadMain, this, intervalSeconds);
  } catch (const std::exception&) {
    QMX_ERROR("Collector::Initialize: the collection thread could not be started");
    QMX_RETURN(E_OUTOFMEMORY);
  }
  QMX_FLOW("Collector::Initialize: collecting every %lu seconds", intervalSeconds);
  QMX_RETURN(S_OK);
}

HRESULT Collector::Terminate() {
  QMX_ENTRY();
  std::lock_guard<std::mutex> lock(controlMu_);
  if (thread_.joinable()) {
    SetEvent(stopEvent_);
    thread_.join();
    QMX_FLOW("Collector::Terminate: collection thread stopped");
  }
  ReleaseQueries();
  QMX_RETURN(S_OK);
}

}  // namespace dedazud
