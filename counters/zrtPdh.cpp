// The agent's own PDH readers.
#include "zrtPdh.h"

#include <algorithm>
#include <new>

#include "qmxtrace.h"

namespace {

constexpr size_t kPathCapacity = 1024;  // UTF-16 characters, terminator included

std::string ToUtf8(const wchar_t* text, int length) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], bytes, nullptr, nullptr);
  return out;
}

// Names come back from the enumeration as UTF-8 and the caller's list is plain ASCII, so the
// path is built from UTF-8: an instance with a non-ASCII name then reads like any other.
bool AppendUtf8(std::wstring* path, const char* text) {
  wchar_t part[kPathCapacity];
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, part, static_cast<int>(kPathCapacity));
  if (n <= 0) return false;
  path->append(part);
  return true;
}

// Splits a double-NUL-terminated list.
template <class F>
void ForEachName(const std::vector<wchar_t>& list, F f) {
  for (size_t i = 0; i < list.size() && list[i] != L'\0';) {
    size_t len = wcsnlen(&list[i], list.size() - i);
    f(&list[i], static_cast<int>(len));
    i += len + 1;
  }
}

}  // namespace

qmxPdhCntr::qmxPdhCntr() : objectName_(new (std::nothrow) wchar_t[kObjectNameCapacity]()) {}

qmxPdhCntr::~qmxPdhCntr() { CloseQuery(); }

bool qmxPdhCntr::OpenQuery() {
  QMX_ENTRY();
  status_ = PdhOpenQueryW(nullptr, 1, query_.put());
  QMX_RETURN(status_ == ERROR_SUCCESS);
}

int qmxPdhCntr::SetObjectName(const char* name) {
  QMX_ENTRY();
  if (!objectName_ || !name) QMX_RETURN(0);
  int n = MultiByteToWideChar(CP_ACP, 0, name, -1, objectName_.get(), objectNameCapacity_);
  if (n <= 0) {
    objectName_[0] = L'\0';
    QMX_RETURN(0);  // longer than 511 characters: no such object
  }
  QMX_RETURN(1);
}

int qmxPdhCntr::GetInstances() {
  QMX_ENTRY();
  DWORD counterChars = 0, instanceChars = 0;
  status_ = PdhEnumObjectItemsW(nullptr, nullptr, objectName_ ? objectName_.get() : L"", nullptr,
                                &counterChars, nullptr, &instanceChars, PERF_DETAIL_WIZARD, 0);
  if (status_ != static_cast<PDH_STATUS>(PDH_MORE_DATA)) {
    QMX_ERROR("PdhEnumObjectItems failed with 0x%x.", static_cast<unsigned>(status_));
    QMX_RETURN(0);
  }
  int result = 1;
  std::vector<wchar_t> counterList, instanceList;
  try {
    counterList.assign(counterChars, L'\0');
    if (instanceChars) instanceList.assign(instanceChars, L'\0');
  } catch (const std::bad_alloc&) {
    QMX_ERROR("Unable to allocate buffers.");
    status_ = ERROR_OUTOFMEMORY;
    result = 0;
  }
  if (result) {
    status_ = PdhEnumObjectItemsW(nullptr, nullptr, objectName_.get(), counterList.data(),
                                  &counterChars, instanceChars ? instanceList.data() : nullptr,
                                  &instanceChars, PERF_DETAIL_WIZARD, 0);
    if (status_ != ERROR_SUCCESS) {
      QMX_ERROR("PdhEnumObjectItems failed with 0x%x.", static_cast<unsigned>(status_));
      result = 0;
    }
  }
  if (result) {
    bool reported = false;
    ForEachName(counterList, [&](const wchar_t* name, int len) {
      if (static_cast<int>(counterNames_.size()) < kMaxCounterNames) {
        counterNames_.push_back(ToUtf8(name, len));
      } else if (!reported) {
        reported = true;
        QMX_ERROR("More than %d counters; the rest are ignored.", kMaxCounterNames);
      }
    });
    ForEachName(instanceList, [&](const wchar_t* name, int len) {
      instanceNames_.push_back(ToUtf8(name, len));
      QMX_DETAIL("Instance name : %s", instanceNames_.back().c_str());
    });
  }
  counters_.assign(counterNames_.size(), nullptr);
  values_.assign(counterNames_.size(), 0.0);
  QMX_RETURN(result);
}

void qmxPdhCntr::SetCounterList(const char* const* list, int count) {
  QMX_ENTRY();
  counterList_ = list;
  counterListCount_ = list ? (count > 0 ? count : 0) : 0;
}

int qmxPdhCntr::GetCounterListCount() const {
  return counterList_ ? counterListCount_ : static_cast<int>(counterNames_.size());
}

const char* qmxPdhCntr::ListEntry(int k) const {
  return counterList_ ? counterList_[k] : counterNames_[static_cast<size_t>(k)].c_str();
}

const char* qmxPdhCntr::GetInstanceName(int index) const {
  if (index < 0 || index >= GetInstanceCount()) return nullptr;
  return instanceNames_[static_cast<size_t>(index)].c_str();
}

const char* qmxPdhCntr::GetCounterName(int index) const {
  if (index < 0 || index >= GetCounterNameCount()) return nullptr;
  return counterNames_[static_cast<size_t>(index)].c_str();
}

PDH_HCOUNTER qmxPdhCntr::GetCounterHandle(int k) const {
  if (k < 0 || static_cast<size_t>(k) >= counters_.size()) return nullptr;
  return counters_[static_cast<size_t>(k)];
}

void qmxPdhCntr::RemoveCounters() {
  for (PDH_HCOUNTER& h : counters_) {
    if (h) PdhRemoveCounter(h);
    h = nullptr;
  }
}

void qmxPdhCntr::PrepareSets(int sets) {
  // Only what this call adds may be collected: earlier counters would be read for nothing.
  RemoveCounters();
  setSize_ = GetCounterListCount();
  const size_t slots = static_cast<size_t>(sets) * static_cast<size_t>(setSize_);
  // The caller's list may hold more entries than the object enumerated.
  if (counters_.size() < slots) counters_.resize(slots, nullptr);
  if (values_.size() < slots) values_.resize(slots, 0.0);
  added_.assign(static_cast<size_t>(sets), 0);
  read_.assign(static_cast<size_t>(sets), 0);
}

bool qmxPdhCntr::AddSet(QmxTrace& qmx_trace, int set, const char* instance) {
  const int count = setSize_;
  bool whole = true;
  for (int k = 0; k < count; ++k) {
    const char* counter = ListEntry(k);
    std::wstring path = L"\\";
    path += objectName_ ? objectName_.get() : L"";
    bool built = true;
    if (instance) {
      path += L"(";
      built = AppendUtf8(&path, instance);
      path += L")";
    }
    path += L"\\";
    built = built && counter && AppendUtf8(&path, counter) && path.size() < kPathCapacity;
    status_ = built ? PdhValidatePathW(path.c_str()) : static_cast<PDH_STATUS>(PDH_CSTATUS_BAD_COUNTERNAME);
    if (status_ != ERROR_SUCCESS) {
      QMX_ERROR("PdhValidatePath failed with 0x%x.", static_cast<unsigned>(status_));
      whole = false;
      continue;
    }
    PDH_HCOUNTER& slot = counters_[static_cast<size_t>(set) * static_cast<size_t>(count) + static_cast<size_t>(k)];
    status_ = PdhAddCounterW(query_.get(), path.c_str(), 0, &slot);
    if (status_ != ERROR_SUCCESS) {
      slot = nullptr;
      QMX_ERROR("PdhAddCounter failed with 0x%x.", static_cast<unsigned>(status_));
      whole = false;
    }
  }
  added_[static_cast<size_t>(set)] = whole;
  return whole;
}

int qmxPdhCntr::AddCounters(const char* instance) {
  QMX_ENTRY();
  PrepareSets(1);
  QMX_RETURN(AddSet(qmx_trace, 0, instance) ? 1 : 0);
}

int qmxPdhCntr::AddAllInstances() {
  QMX_ENTRY();
  const int instances = GetInstanceCount();
  const int sets = instances > 0 ? instances : 1;
  PrepareSets(sets);
  for (int s = 0; s < sets; ++s) AddSet(qmx_trace, s, GetInstanceName(s));
  QMX_RETURN(sets);
}

bool qmxPdhCntr::SetAdded(int set) const {
  return set >= 0 && static_cast<size_t>(set) < added_.size() && added_[static_cast<size_t>(set)];
}

bool qmxPdhCntr::SetRead(int set) const {
  return set >= 0 && static_cast<size_t>(set) < read_.size() && read_[static_cast<size_t>(set)];
}

const double* qmxPdhCntr::GetValues(int set) const {
  if (set <= 0) return values_.data();
  const size_t first = static_cast<size_t>(set) * static_cast<size_t>(setSize_);
  return first < values_.size() ? values_.data() + first : nullptr;
}

int qmxPdhCntr::CollectData() {
  QMX_ENTRY();
  // The sets as they were added, whatever the list has become since.
  const int count = setSize_;
  std::fill(read_.begin(), read_.end(), 0);
  // Nothing to read; PDH would refuse to collect a query without counters.
  if (count == 0) {
    std::fill(read_.begin(), read_.end(), 1);
    QMX_RETURN(1);
  }
  for (int pass = 0; pass < 2; ++pass) {
    // A rate is the change between two collections over the time between them: without a real
    // interval it would be formed over a few microseconds. One wait serves every set.
    if (pass == 1 && collectIntervalMs_) Sleep(collectIntervalMs_);
    status_ = PdhCollectQueryData(query_.get());
    if (status_ != ERROR_SUCCESS) {
      QMX_ERROR("PdhCollectQueryData failed with 0x%x.", static_cast<unsigned>(status_));
      QMX_RETURN(0);
    }
  }
  int result = 1;
  for (size_t s = 0; s < added_.size(); ++s) {
    // A set that was not added whole yields no row: reading the rest of it is wasted.
    if (!added_[s]) {
      result = 0;
      continue;
    }
    bool whole = true;
    for (int k = 0; k < count; ++k) {
      const size_t i = s * static_cast<size_t>(count) + static_cast<size_t>(k);
      status_ = PdhGetFormattedCounterValue(counters_[i], PDH_FMT_DOUBLE, nullptr, &value_);
      if (status_ == ERROR_SUCCESS) {
        values_[i] = value_.doubleValue;
      } else {
        QMX_ERROR("PdhGetFormattedCounterValue failed with 0x%x.", static_cast<unsigned>(status_));
        whole = false;
      }
    }
    read_[s] = whole;
    if (!whole) result = 0;
  }
  QMX_RETURN(result);
}

void qmxPdhCntr::FreeLists() {
  QMX_ENTRY();
  counterNames_.clear();
  counterNames_.shrink_to_fit();
  instanceNames_.clear();
  instanceNames_.shrink_to_fit();
  values_.clear();
  values_.shrink_to_fit();
  // No set can be read into the released values.
  added_.clear();
  read_.clear();
}

void qmxPdhCntr::CloseQuery() {
  QMX_ENTRY();
  if (query_) RemoveCounters();
  counters_.clear();
  counters_.shrink_to_fit();
  added_.clear();
  read_.clear();
  query_.reset();
}

// ---------------------------------------------------------------- PDH

PDH::PDH(const char* path) {
  QMX_ENTRY();
  doInit();
  slot_.reset(static_cast<PDH_HCOUNTER*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, 8)));
  if (slot_ && query_ && path) PdhAddCounterA(query_.get(), path, 0, slot_.get());
  status_ = query_ ? PdhCollectQueryData(query_.get()) : static_cast<PDH_STATUS>(PDH_INVALID_HANDLE);
}

PDH::~PDH() {
  QMX_ENTRY();
  if (slot_ && *slot_) PdhRemoveCounter(*slot_);
  slot_.reset();
  query_.reset();
}

void PDH::doInit() {
  QMX_ENTRY();
  status_ = PdhOpenQueryA(nullptr, 0, query_.put());
}

void PDH::logData(long* value) {
  QMX_ENTRY();
  current_ = slot_.get();
  status_ = PdhCollectQueryData(query_.get());
  if (current_) status_ = PdhGetFormattedCounterValue(*current_, PDH_FMT_LONG, &type_, &value_);
  if (value) *value = value_.longValue;
}

void PDH::logData(int* value) {
  long v = 0;
  logData(&v);
  if (value) *value = static_cast<int>(v);
}

void PDH::logData(float* value) {
  QMX_ENTRY();
  current_ = slot_.get();
  status_ = PdhCollectQueryData(query_.get());
  if (current_) status_ = PdhGetFormattedCounterValue(*current_, PDH_FMT_DOUBLE, &type_, &value_);
  if (value) *value = static_cast<float>(value_.doubleValue);
}
