// PDH stand-in: a pdh.dll that serves counters from a snapshot file, for testing and demonstrating
// the agent under Wine, whose own PDH knows almost no counters. An application loads a pdh.dll
// from its own folder before the system's, on Windows as well, so this DLL must NEVER be installed
// beside the agent on a real server: it would hide every real counter.
//
// The snapshot file is named by QMX_PDH_SNAPSHOT (format in snapshot.h and README.md). It is read
// at first use and read again whenever its modification time or size has changed; the check runs
// on every call that needs the data (collecting, enumerating, expanding, adding, validating).
// Rate counters (names with "/sec" or "per second") read only after their query has been
// collected twice since they were added, like real PDH; every other counter after one collection.
#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>
#include <winperf.h>

#include <climits>
#include <cstring>
#include <limits>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "snapshot.h"
#include "win_text.h"

namespace {

using pdhsi::Lower;
using pdhsi::Object;
using pdhsi::Snapshot;
using pdhsi::Value;

struct Query;

struct Counter {
  Query* query = nullptr;
  std::string object, instance, counter;  // as added (UTF-8)
  bool rate = false;
  DWORD_PTR userData = 0;
  uint64_t resolvedAt = 0;  // snapshot generation the indexes below belong to
  int objectIndex = -1, instanceSlot = -1, counterSlot = -1;
  unsigned collections = 0;  // of its query since it was added
  DWORD status = PDH_CSTATUS_INVALID_DATA;  // of the last collection
  Value value;
};

struct Query {
  DWORD_PTR userData = 0;
  std::vector<Counter*> counters;
};

struct Store {
  std::mutex mu;
  std::shared_ptr<const Snapshot> snap = std::make_shared<Snapshot>();
  uint64_t generation = 1;
  bool loaded = false;
  std::wstring path;
  FILETIME mtime{};
  ULONGLONG size = 0;
  std::unordered_set<Query*> queries;
  std::unordered_set<Counter*> counters;

  ~Store() {
    for (Counter* c : counters) delete c;
    for (Query* q : queries) delete q;
  }
};

Store& TheStore() {
  static Store store;
  return store;
}

std::string WideToUtf8(const wchar_t* w) {
  if (!w || !*w) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, &out[0], n, nullptr, nullptr);
  return out;
}

using qmx::FromWide;
using qmx::ToWide;

// The A entry points take text in the ANSI code page; the snapshot is UTF-8.
std::string AnsiToUtf8(const char* a) { return a ? FromWide(ToWide(a, CP_ACP), CP_UTF8) : std::string(); }

bool ReadWholeFile(const std::wstring& path, std::string* out) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::unique_ptr<void, decltype(&CloseHandle)> guard(h, &CloseHandle);
  std::string data;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) data.append(buf, got);
  *out = std::move(data);
  return true;
}

// Caller holds the store's lock.
void Refresh(Store& st) {
  wchar_t pathBuf[MAX_PATH * 2];
  DWORD n = GetEnvironmentVariableW(L"QMX_PDH_SNAPSHOT", pathBuf, MAX_PATH * 2);
  std::wstring path = (n > 0 && n < MAX_PATH * 2) ? std::wstring(pathBuf, n) : std::wstring();
  WIN32_FILE_ATTRIBUTE_DATA fad{};
  bool exists = !path.empty() && GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fad);
  ULONGLONG size = exists ? (static_cast<ULONGLONG>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow : 0;
  if (st.loaded && path == st.path && exists == (st.size != ~0ULL) &&
      (!exists || (CompareFileTime(&fad.ftLastWriteTime, &st.mtime) == 0 && size == st.size)))
    return;
  std::string text;
  if (exists && !ReadWholeFile(path, &text)) exists = false;
  st.snap = std::make_shared<Snapshot>(exists ? pdhsi::ParseSnapshot(text) : Snapshot());
  st.loaded = true;
  st.path = path;
  st.mtime = exists ? fad.ftLastWriteTime : FILETIME{};
  st.size = exists ? size : ~0ULL;
  ++st.generation;
}

struct PathParts {
  std::string machine;  // empty when the path has none
  std::string object;
  bool hasInstance = false;
  std::string instance;
  std::string counter;
};

// "\\machine\object(instance)\counter", machine and instance optional. Counter names may hold
// parentheses ("Database Cache Size (MB)"), so the instance ends at the last ")\".
bool ParsePath(const std::string& p, PathParts* out) {
  PathParts parts;
  size_t i = 0;
  if (p.compare(0, 2, "\\\\") == 0) {
    size_t e = p.find('\\', 2);
    if (e == std::string::npos || e == 2) return false;
    parts.machine = p.substr(2, e - 2);
    i = e;
  }
  if (i >= p.size() || p[i] != '\\') return false;
  ++i;
  size_t k = p.find_first_of("(\\", i);
  if (k == std::string::npos) return false;
  parts.object = p.substr(i, k - i);
  if (p[k] == '\\') {
    parts.counter = p.substr(k + 1);
  } else {
    size_t j = p.rfind(")\\");
    if (j == std::string::npos || j < k) return false;
    parts.hasInstance = true;
    parts.instance = p.substr(k + 1, j - k - 1);
    parts.counter = p.substr(j + 2);
  }
  if (parts.object.empty() || parts.counter.empty() ||
      parts.counter.find('\\') != std::string::npos || parts.instance.find('\\') != std::string::npos)
    return false;
  *out = parts;
  return true;
}

bool IsLocalMachine(const std::string& machine) {
  if (machine.empty() || machine == "." || Lower(machine) == "localhost") return true;
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD len = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &len)) return false;
  return Lower(WideToUtf8(name)) == Lower(machine);
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// Case-insensitive glob with "*" and "?".
bool Glob(const std::string& pattern, const std::string& text) {
  std::string p = Lower(pattern), t = Lower(text);
  size_t pi = 0, ti = 0, star = std::string::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && (p[pi] == '?' || p[pi] == t[ti])) { ++pi; ++ti; }
    else if (pi < p.size() && p[pi] == '*') { star = pi++; mark = ti; }
    else if (star != std::string::npos) { pi = star + 1; ti = ++mark; }
    else return false;
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

bool IsRateName(const std::string& counter) {
  std::string l = Lower(counter);
  return l.find("/sec") != std::string::npos || l.find("per second") != std::string::npos;
}

// Existence check shared by validation and adding. Adding accepts an instance that does not exist
// (yet): the counter then reads PDH_CSTATUS_NO_INSTANCE until the instance appears.
PDH_STATUS CheckPath(const Snapshot& snap, const PathParts& parts, bool needInstance) {
  if (!IsLocalMachine(parts.machine)) return PDH_CSTATUS_NO_MACHINE;
  const Object* obj = snap.Find(parts.object);
  if (!obj) return PDH_CSTATUS_NO_OBJECT;
  if (obj->CounterSlot(parts.counter) < 0) return PDH_CSTATUS_NO_COUNTER;
  if (needInstance && obj->InstanceSlot(parts.hasInstance ? parts.instance : std::string()) < 0)
    return PDH_CSTATUS_NO_INSTANCE;
  return ERROR_SUCCESS;
}

void Resolve(Store& st, Counter* c) {
  if (c->resolvedAt == st.generation) return;
  c->resolvedAt = st.generation;
  c->objectIndex = c->instanceSlot = c->counterSlot = -1;
  auto it = st.snap->objectIndex.find(Lower(c->object));
  if (it == st.snap->objectIndex.end()) return;
  c->objectIndex = it->second;
  const Object& obj = st.snap->objects[it->second];
  c->instanceSlot = obj.InstanceSlot(c->instance);
  c->counterSlot = obj.CounterSlot(c->counter);
}

PDH_STATUS AddCounter(PDH_HQUERY hQuery, const std::string& path, DWORD_PTR user, PDH_HCOUNTER* out) {
  if (!out) return PDH_INVALID_ARGUMENT;
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  Query* q = static_cast<Query*>(hQuery);
  if (!st.queries.count(q)) return PDH_INVALID_HANDLE;
  PathParts parts;
  if (!ParsePath(path, &parts) || HasWildcard(path)) return PDH_CSTATUS_BAD_COUNTERNAME;
  Refresh(st);
  PDH_STATUS s = CheckPath(*st.snap, parts, false);
  if (s != ERROR_SUCCESS) return s;
  auto c = std::make_unique<Counter>();
  c->query = q;
  c->object = parts.object;
  c->instance = parts.instance;
  c->counter = parts.counter;
  c->rate = IsRateName(parts.counter);
  c->userData = user;
  q->counters.push_back(c.get());
  st.counters.insert(c.get());
  *out = c.release();
  return ERROR_SUCCESS;
}

PDH_STATUS ValidatePath(const std::string& path) {
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  PathParts parts;
  if (!ParsePath(path, &parts) || HasWildcard(path)) return PDH_CSTATUS_BAD_COUNTERNAME;
  Refresh(st);
  return CheckPath(*st.snap, parts, true);
}

// Two-call protocol of the list-returning calls: with no buffer or a short one, report the sizes
// in characters (final NUL of the list included) and return PDH_MORE_DATA.
template <class Ch>
bool FitsList(const std::basic_string<Ch>& list, Ch* buffer, DWORD* cch) {
  DWORD need = static_cast<DWORD>(list.size());
  bool fits = need == 0 || (buffer && *cch >= need);
  if (fits && need) memcpy(buffer, list.data(), need * sizeof(Ch));
  *cch = need;
  return fits;
}

// Names joined as a multi-string in the caller's encoding: UTF-16, or the ANSI code page.
std::wstring MultiW(const std::vector<std::string>& names) {
  std::wstring out;
  for (const std::string& n : names) out += ToWide(n, CP_UTF8) + L'\0';
  if (!names.empty()) out += L'\0';
  return out;
}
std::string MultiA(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += FromWide(ToWide(n, CP_UTF8), CP_ACP) + '\0';
  if (!names.empty()) out += '\0';
  return out;
}

template <class Ch>
PDH_STATUS EnumItems(bool hasDataSource, const std::string& machine, const std::string* object,
                     Ch* counterList, DWORD* counterCch, Ch* instanceList, DWORD* instanceCch) {
  if (hasDataSource) return PDH_NOT_IMPLEMENTED;  // log files are not served
  if (!object || !counterCch || !instanceCch) return PDH_INVALID_ARGUMENT;
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  if (!IsLocalMachine(machine)) return PDH_CSTATUS_NO_MACHINE;
  Refresh(st);
  const Object* obj = st.snap->Find(*object);
  if (!obj) return PDH_CSTATUS_NO_OBJECT;
  std::basic_string<Ch> counters, instances;
  if constexpr (sizeof(Ch) == sizeof(wchar_t)) {
    counters = MultiW(obj->counters);
    instances = MultiW(obj->instances);
  } else {
    counters = MultiA(obj->counters);
    instances = MultiA(obj->instances);
  }
  if (counters.empty()) counters.assign(2, Ch(0));
  bool a = FitsList(counters, counterList, counterCch);
  bool b = FitsList(instances, instanceList, instanceCch);
  return a && b ? ERROR_SUCCESS : PDH_MORE_DATA;
}

template <class Ch>
PDH_STATUS ExpandWildCard(bool hasDataSource, const std::string& path, Ch* list, DWORD* cch) {
  if (hasDataSource) return PDH_NOT_IMPLEMENTED;
  if (!cch) return PDH_INVALID_ARGUMENT;
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  PathParts parts;
  if (!ParsePath(path, &parts)) return PDH_CSTATUS_BAD_COUNTERNAME;
  if (!IsLocalMachine(parts.machine)) return PDH_CSTATUS_NO_MACHINE;
  Refresh(st);
  std::string prefix = parts.machine.empty() ? std::string() : "\\\\" + parts.machine;
  std::vector<std::string> paths;
  bool anyObject = false;
  for (const Object& obj : st.snap->objects) {
    if (!Glob(parts.object, obj.name)) continue;
    anyObject = true;
    std::vector<std::string> instances;
    if (!parts.hasInstance) {
      if (obj.HasNoInstanceRows()) instances.push_back(std::string());
    } else {
      for (const std::string& i : obj.instances)
        if (Glob(parts.instance, i)) instances.push_back(i);
    }
    for (const std::string& inst : instances)
      for (const std::string& ctr : obj.counters)
        if (Glob(parts.counter, ctr))
          paths.push_back(prefix + "\\" + obj.name + (parts.hasInstance ? "(" + inst + ")" : "") + "\\" + ctr);
  }
  if (!anyObject) return PDH_CSTATUS_NO_OBJECT;
  std::basic_string<Ch> multi;
  if constexpr (sizeof(Ch) == sizeof(wchar_t)) multi = MultiW(paths);
  else multi = MultiA(paths);
  if (multi.empty()) multi.assign(1, Ch(0));
  return FitsList(multi, list, cch) ? ERROR_SUCCESS : PDH_MORE_DATA;
}

PDH_STATUS OpenQuery(bool hasDataSource, DWORD_PTR user, PDH_HQUERY* out) {
  if (!out) return PDH_INVALID_ARGUMENT;
  if (hasDataSource) return PDH_NOT_IMPLEMENTED;
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  auto q = std::make_unique<Query>();
  q->userData = user;
  st.queries.insert(q.get());
  *out = q.release();
  return ERROR_SUCCESS;
}

template <class T>
T SaturatingTrunc(double v) {
  if (std::isnan(v)) return 0;
  double t = std::trunc(v);
  if (t >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  if (t <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  return static_cast<T>(t);
}

}  // namespace

extern "C" {

PDH_FUNCTION PdhOpenQueryA(LPCSTR source, DWORD_PTR user, PDH_HQUERY* query) {
  return OpenQuery(source && *source, user, query);
}
PDH_FUNCTION PdhOpenQueryW(LPCWSTR source, DWORD_PTR user, PDH_HQUERY* query) {
  return OpenQuery(source && *source, user, query);
}

PDH_FUNCTION PdhCloseQuery(PDH_HQUERY hQuery) {
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  Query* q = static_cast<Query*>(hQuery);
  if (!st.queries.erase(q)) return PDH_INVALID_HANDLE;
  for (Counter* c : q->counters) {
    st.counters.erase(c);
    delete c;
  }
  delete q;
  return ERROR_SUCCESS;
}

PDH_FUNCTION PdhAddCounterA(PDH_HQUERY q, LPCSTR path, DWORD_PTR user, PDH_HCOUNTER* c) {
  if (!path) return PDH_INVALID_ARGUMENT;
  return AddCounter(q, AnsiToUtf8(path), user, c);
}
PDH_FUNCTION PdhAddCounterW(PDH_HQUERY q, LPCWSTR path, DWORD_PTR user, PDH_HCOUNTER* c) {
  if (!path) return PDH_INVALID_ARGUMENT;
  return AddCounter(q, WideToUtf8(path), user, c);
}
// The snapshot is in English, so English paths are the same paths.
PDH_FUNCTION PdhAddEnglishCounterA(PDH_HQUERY q, LPCSTR path, DWORD_PTR user, PDH_HCOUNTER* c) {
  return PdhAddCounterA(q, path, user, c);
}
PDH_FUNCTION PdhAddEnglishCounterW(PDH_HQUERY q, LPCWSTR path, DWORD_PTR user, PDH_HCOUNTER* c) {
  return PdhAddCounterW(q, path, user, c);
}

PDH_FUNCTION PdhRemoveCounter(PDH_HCOUNTER hCounter) {
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  Counter* c = static_cast<Counter*>(hCounter);
  if (!st.counters.erase(c)) return PDH_INVALID_HANDLE;
  auto& list = c->query->counters;
  for (auto it = list.begin(); it != list.end(); ++it)
    if (*it == c) {
      list.erase(it);
      break;
    }
  delete c;
  return ERROR_SUCCESS;
}

PDH_FUNCTION PdhValidatePathA(LPCSTR path) {
  return path ? ValidatePath(AnsiToUtf8(path)) : PDH_INVALID_ARGUMENT;
}
PDH_FUNCTION PdhValidatePathW(LPCWSTR path) {
  return path ? ValidatePath(WideToUtf8(path)) : PDH_INVALID_ARGUMENT;
}

PDH_FUNCTION PdhEnumObjectItemsA(LPCSTR source, LPCSTR machine, LPCSTR object, LPSTR counterList,
                                 LPDWORD counterCch, LPSTR instanceList, LPDWORD instanceCch,
                                 DWORD detail, DWORD flags) {
  std::string obj = AnsiToUtf8(object);
  return EnumItems<char>(source && *source, AnsiToUtf8(machine), object ? &obj : nullptr,
                         counterList, counterCch, instanceList, instanceCch);
}
PDH_FUNCTION PdhEnumObjectItemsW(LPCWSTR source, LPCWSTR machine, LPCWSTR object, LPWSTR counterList,
                                 LPDWORD counterCch, LPWSTR instanceList, LPDWORD instanceCch,
                                 DWORD detail, DWORD flags) {
  std::string obj = WideToUtf8(object);
  return EnumItems<wchar_t>(source && *source, WideToUtf8(machine), object ? &obj : nullptr,
                            counterList, counterCch, instanceList, instanceCch);
}

PDH_FUNCTION PdhExpandWildCardPathA(LPCSTR source, LPCSTR path, LPSTR list, LPDWORD cch, DWORD flags) {
  if (!path) return PDH_INVALID_ARGUMENT;
  return ExpandWildCard<char>(source && *source, AnsiToUtf8(path), list, cch);
}
PDH_FUNCTION PdhExpandWildCardPathW(LPCWSTR source, LPCWSTR path, LPWSTR list, LPDWORD cch, DWORD flags) {
  if (!path) return PDH_INVALID_ARGUMENT;
  return ExpandWildCard<wchar_t>(source && *source, WideToUtf8(path), list, cch);
}

PDH_FUNCTION PdhCollectQueryData(PDH_HQUERY hQuery) {
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  Query* q = static_cast<Query*>(hQuery);
  if (!st.queries.count(q)) return PDH_INVALID_HANDLE;
  Refresh(st);
  // As PDH does, PDH_NO_DATA when the query has no counters or none of them has data; callers
  // use this to learn whether an instance exists.
  bool any = false;
  for (Counter* c : q->counters) {
    Resolve(st, c);
    ++c->collections;
    if (c->objectIndex < 0) { c->status = PDH_CSTATUS_NO_OBJECT; continue; }
    if (c->counterSlot < 0) { c->status = PDH_CSTATUS_NO_COUNTER; continue; }
    if (c->instanceSlot < 0) { c->status = PDH_CSTATUS_NO_INSTANCE; continue; }
    const Object& obj = st.snap->objects[c->objectIndex];
    auto it = obj.values.find(Object::Key(c->instanceSlot, c->counterSlot));
    if (it == obj.values.end()) { c->status = PDH_CSTATUS_INVALID_DATA; continue; }
    c->value = it->second;
    c->status = PDH_CSTATUS_VALID_DATA;
    any = true;
  }
  return any ? ERROR_SUCCESS : PDH_NO_DATA;
}

// LONG and LARGE cut the fraction off (toward zero) and saturate at the type's range; DOUBLE is
// the snapshot's number. PDH_FMT_1000 multiplies by 1000; nothing is capped at 100.
PDH_FUNCTION PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD format, LPDWORD type,
                                         PPDH_FMT_COUNTERVALUE value) {
  if (!value) return PDH_INVALID_ARGUMENT;
  Store& st = TheStore();
  std::lock_guard<std::mutex> lock(st.mu);
  Counter* c = static_cast<Counter*>(hCounter);
  if (!st.counters.count(c)) return PDH_INVALID_HANDLE;
  DWORD kind = format & (PDH_FMT_LONG | PDH_FMT_DOUBLE | PDH_FMT_LARGE);
  if ((kind != PDH_FMT_LONG && kind != PDH_FMT_DOUBLE && kind != PDH_FMT_LARGE) ||
      (format & (PDH_FMT_RAW | PDH_FMT_ANSI | PDH_FMT_UNICODE)))
    return PDH_INVALID_ARGUMENT;
  if (type) *type = c->rate ? PERF_COUNTER_COUNTER : PERF_COUNTER_LARGE_RAWCOUNT;
  DWORD status = c->status;
  if (c->collections == 0 || (status == PDH_CSTATUS_VALID_DATA && c->rate && c->collections < 2))
    status = PDH_CSTATUS_INVALID_DATA;
  value->CStatus = status;
  value->largeValue = 0;
  if (status != PDH_CSTATUS_VALID_DATA) return PDH_INVALID_DATA;
  double factor = (format & PDH_FMT_1000) ? 1000.0 : 1.0;
  double number = c->value.number * factor;
  if (kind == PDH_FMT_DOUBLE) {
    value->doubleValue = number;
  } else if (kind == PDH_FMT_LONG) {
    value->longValue = SaturatingTrunc<LONG>(number);
  } else if (c->value.exact && factor == 1.0) {
    value->largeValue = c->value.integer;
  } else {
    value->largeValue = SaturatingTrunc<LONGLONG>(number);
  }
  return ERROR_SUCCESS;
}

}  // extern "C"
