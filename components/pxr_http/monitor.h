// The monitoring side's core: the sampling scheduler behind /metrics and the answers of every
// endpoint, independent of the socket server that carries them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "monitor_format.h"

namespace pxr_http {

struct HttpAnswer {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

struct MonitorOptions {
  std::chrono::milliseconds interval{60000};  // between sampling rounds
  int workers = 4;                            // sampling threads
  std::string token;                          // bearer token; empty: none asked for
  size_t maxConditions = 32;
  // How long a rows request waits for a table that another sample holds before it gives up.
  std::chrono::milliseconds busyWait{30000};
};

// Help texts and scale factors registered by the table loader.
MetricHelp AttributeHelp(const std::string& table, const std::string& attribute);
void SetHelp(const char* table, const char* attribute, MetricHelp help);

class Monitor {
 public:
  explicit Monitor(MonitorOptions options);
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // The scheduler: a round right away, then one every interval, until stopped. Without timed
  // rounds only the sampling threads start, and rounds come from RunRound.
  void StartScheduler(bool timedRounds = true);
  void StopScheduler();
  // Queues every registered table that is not still busy.
  void RunRound();
  // Until no table is queued or being sampled; false on timeout.
  bool WaitIdle(std::chrono::milliseconds timeout);

  HttpAnswer Handle(const std::string& method, const std::string& target,
                    const std::string& authorization);
  std::string Exposition();
  std::vector<SampleStats> Stats();

 private:
  struct Slot;
  std::shared_ptr<Slot> SlotFor(const std::string& table);
  void SampleTable(const std::string& table, Slot& slot);
  void Worker();
  void Ticker();
  bool Layout(TableManager* manager, Slot& slot, TableLayout* layout, std::string* error);
  HttpAnswer ListTables();
  HttpAnswer Rows(const std::string& table, const std::string& query);
  bool Authorized(const std::string& authorization) const;

  MonitorOptions options_;
  std::mutex slotsMutex_;
  std::map<std::string, std::shared_ptr<Slot>> slots_;

  std::mutex queueMutex_;
  std::condition_variable queueCv_;   // work arrives or stop
  std::condition_variable idleCv_;    // inFlight reaches 0
  std::condition_variable tickCv_;    // stop for the ticker
  std::deque<std::pair<std::string, std::shared_ptr<Slot>>> queue_;
  int inFlight_ = 0;
  // The exposition is built again only when a sample ended or the tables changed.
  std::atomic<uint64_t> generation_{1};
  std::mutex expositionMutex_;
  uint64_t expositionGeneration_ = 0;
  std::vector<TableManager*> expositionTables_;
  std::string exposition_;
  bool stopping_ = false;
  bool started_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace pxr_http
