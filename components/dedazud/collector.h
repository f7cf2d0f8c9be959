// The counter service's engine: samples described by counter set definitions, one collection
// thread that reads their counters through PDH every sampling interval, and the latest complete
// round of rows of each sample handed out under a lock. The COM object in dedazud.cpp is a thin
// shell around it; the benchmark drives it directly.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dedazud {

struct Sample;
struct Round;

class Collector {
 public:
  // Loads one string of the string table; false when there is none.
  using StringLoader = std::function<bool(unsigned id, std::string* text)>;

  // The default loader reads the executable's string table, where the agent keeps its definitions.
  Collector();
  explicit Collector(StringLoader loader);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  HRESULT Initialize(ULONG intervalSeconds);
  HRESULT Terminate();
  HRESULT DescribeSample(ULONG definitionId, ULONG headerId, ULONGLONG* handle);
  HRESULT DescribeFixedData(ULONGLONG handle, const char* column, const char* value, ULONG width);
  HRESULT Lock(ULONGLONG handle, ULONG operation);
  HRESULT Rows(ULONGLONG handle, ULONG* rows);
  HRESULT Data(ULONGLONG handle, ULONG bufferSize, ULONG* written, BYTE* buffer);
  HRESULT Copy(ULONGLONG handle, ULONG bufferSize, ULONG* written, BYTE* buffer);

  // One round over every sample, on the calling thread (the collection thread, or a benchmark
  // while no thread runs). Returns the number of rows it published.
  unsigned CollectRound();
  // Closes every PDH query. Only while no collection thread runs.
  void ReleaseQueries();

 private:
  std::shared_ptr<Sample> Find(ULONGLONG handle);
  // For Data and Copy: the handle's sample and the round its reader sees (the pinned one while
  // the reader holds the lock, else the latest); *written starts at 0.
  HRESULT ReadableRound(ULONGLONG handle, ULONG* written, std::shared_ptr<Sample>* sample,
                        std::shared_ptr<const Round>* round);
  std::vector<std::shared_ptr<Sample>> AllSamples();
  void ThreadMain(ULONG intervalSeconds);

  StringLoader loader_;
  std::mutex samplesMu_;
  std::map<ULONGLONG, std::shared_ptr<Sample>> samples_;
  ULONGLONG nextHandle_ = 1;

  std::mutex controlMu_;  // Initialize / Terminate
  std::thread thread_;
  HANDLE stopEvent_ = nullptr;  // manual reset
  HANDLE wakeEvent_ = nullptr;  // auto reset: a sample was described
};

}  // namespace dedazud
