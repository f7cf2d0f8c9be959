// The agent's own performance counter readers over PDH (Windows only): qmxPdhCntr reads a list of
// counters for each instance of one object; PDH reads one counter given by its full path. Both
// belong to the thread that created them and live within one TakeSample.
#pragma once

#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <memory>
#include <string>
#include <vector>

class QmxTrace;

// A PDH query, closed on destruction (closing releases every counter still in it).
class PdhQuery {
 public:
  PdhQuery() = default;
  ~PdhQuery() { reset(); }
  PdhQuery(const PdhQuery&) = delete;
  PdhQuery& operator=(const PdhQuery&) = delete;
  PDH_HQUERY get() const { return h_; }
  PDH_HQUERY* put() {
    reset();
    return &h_;
  }
  void reset() {
    if (h_) PdhCloseQuery(h_);
    h_ = nullptr;
  }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  PDH_HQUERY h_ = nullptr;
};

class qmxPdhCntr {
 public:
  static constexpr int kMaxCounterNames = 256;
  static constexpr int kObjectNameCapacity = 512;  // UTF-16 characters
  static constexpr DWORD kDefaultCollectIntervalMs = 1000;

  qmxPdhCntr();
  ~qmxPdhCntr();
  qmxPdhCntr(const qmxPdhCntr&) = delete;
  qmxPdhCntr& operator=(const qmxPdhCntr&) = delete;

  // A real-time query on the local machine; true on success.
  bool OpenQuery();
  // The object's name (ANSI); 1, or 0 when there is no name buffer or the name does not fit.
  int SetObjectName(const char* name);
  // Enumerates the object's counters (at most 256 kept) and instances: 1 on success, 0 on failure.
  int GetInstances();
  // The counters to add for each instance (borrowed); null selects the enumerated names.
  void SetCounterList(const char* const* list, int count);
  int GetInstanceCount() const { return static_cast<int>(instanceNames_.size()); }
  // The instance name (UTF-8) at index, or null when index is not below the instance count.
  const char* GetInstanceName(int index) const;
  // A set is the list's counters for one instance. AddCounters makes the query hold one set, for
  // the instance given (null: an object without instances); AddAllInstances one set per instance
  // (one without an instance part when the object has none), so that one CollectData, with one
  // wait, reads every instance. Both first take out what an earlier call added. AddCounters
  // returns 1 when every counter was added, else 0; AddAllInstances the number of sets.
  int AddCounters(const char* instance);
  int AddAllInstances();
  // Whether every counter of the set is in the query.
  bool SetAdded(int set) const;
  // Collects twice, the collect interval apart, so that rates are formed over a real interval,
  // then reads as doubles every counter of each set that was added whole. 1 when everything was
  // read, else 0; a counter that could not be read keeps its previous value.
  int CollectData();
  // Whether every counter of the set was read by the last CollectData.
  bool SetRead(int set) const;
  // Entry k belongs to counter k of the list, in the set given (null for a set not added).
  const double* GetValues(int set = 0) const;
  void FreeLists();
  void CloseQuery();

  PDH_STATUS GetStatus() const { return status_; }
  int GetCounterNameCount() const { return static_cast<int>(counterNames_.size()); }
  const char* GetCounterName(int index) const;
  int GetCounterListCount() const;
  // The query's handle of counter k of the list (null when it is not in the query).
  PDH_HCOUNTER GetCounterHandle(int k) const;
  void SetCollectInterval(DWORD ms) { collectIntervalMs_ = ms; }

 private:
  const char* ListEntry(int k) const;
  void RemoveCounters();
  // Room for `sets` sets, then the counters of the set `set` added for `instance`; the caller's
  // trace takes the failures.
  void PrepareSets(int sets);
  bool AddSet(QmxTrace& qmx_trace, int set, const char* instance);

  std::vector<std::string> counterNames_;   // as enumerated, UTF-8
  std::vector<std::string> instanceNames_;  // as enumerated, UTF-8
  const char* const* counterList_ = nullptr;  // borrowed; null: counterNames_
  PDH_STATUS status_ = ERROR_SUCCESS;         // the last PDH result
  std::unique_ptr<wchar_t[]> objectName_;
  int objectNameCapacity_ = kObjectNameCapacity;
  PDH_FMT_COUNTERVALUE value_{};
  PdhQuery query_;
  std::vector<PDH_HCOUNTER> counters_;  // set s, list entry k at s * list count + k
  int counterListCount_ = 0;
  std::vector<double> values_;          // as counters_
  int setSize_ = 0;                     // list count when the sets were added
  std::vector<char> added_, read_;      // per set
  DWORD collectIntervalMs_ = kDefaultCollectIntervalMs;
};

class PDH {
 public:
  // Opens a query, adds the counter by its full path and collects once; GetStatus then holds the
  // result of that collection (not 0 when the counter does not exist).
  explicit PDH(const char* path);
  ~PDH();
  PDH(const PDH&) = delete;
  PDH& operator=(const PDH&) = delete;

  void doInit();
  // Collect and read: the value stored is whatever the read left in the formatted value.
  void logData(long* value);
  void logData(int* value);
  void logData(float* value);
  PDH_STATUS GetStatus() const { return status_; }

 private:
  struct GlobalFreer {
    void operator()(PDH_HCOUNTER* p) const { GlobalFree(p); }
  };
  PdhQuery query_;
  std::unique_ptr<PDH_HCOUNTER, GlobalFreer> slot_;  // 8 bytes of zeroed fixed global memory
  PDH_HCOUNTER* current_ = nullptr;
  PDH_STATUS status_ = ERROR_SUCCESS;
  PDH_FMT_COUNTERVALUE value_{};
  DWORD type_ = 0;
};
