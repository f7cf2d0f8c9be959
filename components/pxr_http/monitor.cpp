// Sampling scheduler and endpoint answers of the monitoring side.
#include "monitor.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "pxr_monitor.h"
#include "qmxtrace.h"

namespace pxr_http {

namespace {

const char kJson[] = "application/json";
const char kExposition[] = "text/plain; version=0.0.4; charset=utf-8";

struct HelpRegistry {
  std::mutex mutex;
  std::map<std::pair<std::string, std::string>, MetricHelp> texts;
};

HelpRegistry& Help() {
  static HelpRegistry* r = new HelpRegistry();  // read by sampling threads up to process exit
  return *r;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

HttpAnswer JsonAnswer(int status, const Json& json) {
  HttpAnswer a;
  a.status = status;
  a.contentType = kJson;
  a.body = Dump(json);
  return a;
}

HttpAnswer Error(int status, const std::string& message) {
  return JsonAnswer(status, ErrorJson(message));
}

// Compares without stopping at the first difference: the time taken says nothing of the token.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  return diff == 0;
}

double Now() {
  using namespace std::chrono;
  return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

std::string Hex(unsigned long v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08lX", v);
  return buf;
}

}  // namespace

MetricHelp AttributeHelp(const std::string& table, const std::string& attribute) {
  std::lock_guard<std::mutex> lock(Help().mutex);
  auto it = Help().texts.find({table, Lower(attribute)});
  return it == Help().texts.end() ? MetricHelp() : it->second;
}

void SetHelp(const char* table, const char* attribute, MetricHelp help) {
  if (!table || !attribute) return;
  std::lock_guard<std::mutex> lock(Help().mutex);
  Help().texts[{table, Lower(attribute)}] = std::move(help);
}

// Everything the monitor keeps of one table.
struct Monitor::Slot {
  // Held while one of our request objects on the table exists: table code such as the sample
  // buffer of a counter-backed table is not made to serve two samples at once.
  std::timed_mutex sampling;
  std::atomic<bool> queued{false};

  std::mutex data;
  TableManager* describedManager = nullptr;
  TableLayout layout;
  std::string metrics;  // families of the last good sample
  SampleStats stats;
};

Monitor::Monitor(MonitorOptions options) : options_(std::move(options)) {
  if (options_.workers < 1) options_.workers = 1;
  if (options_.interval.count() < 1) options_.interval = std::chrono::milliseconds(1);
}

Monitor::~Monitor() { StopScheduler(); }

std::shared_ptr<Monitor::Slot> Monitor::SlotFor(const std::string& table) {
  std::lock_guard<std::mutex> lock(slotsMutex_);
  std::shared_ptr<Slot>& s = slots_[table];
  if (!s) {
    s = std::make_shared<Slot>();
    s->stats.table = table;
  }
  return s;
}

void Monitor::StartScheduler(bool timedRounds) {
  QMX_ENTRY_NAMED("pxr_http::Monitor::StartScheduler");
  std::lock_guard<std::mutex> lock(queueMutex_);
  if (started_) return;
  started_ = true;
  stopping_ = false;
  for (int i = 0; i < options_.workers; ++i) threads_.emplace_back(&Monitor::Worker, this);
  if (timedRounds) threads_.emplace_back(&Monitor::Ticker, this);
  QMX_FLOW("pxr_http::Monitor::StartScheduler: %d sampling threads, a round every %lld ms",
           options_.workers, static_cast<long long>(options_.interval.count()));
}

void Monitor::StopScheduler() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (!started_) return;
    stopping_ = true;
    queue_.clear();
  }
  queueCv_.notify_all();
  tickCv_.notify_all();
  // A sample in progress is waited for: the table's objects must not outlive the framework.
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  {
    std::lock_guard<std::mutex> lock(slotsMutex_);
    for (auto& s : slots_) s.second->queued = false;
  }
  std::lock_guard<std::mutex> lock(queueMutex_);
  started_ = false;
  inFlight_ = 0;
  idleCv_.notify_all();
}

void Monitor::Ticker() {
  std::unique_lock<std::mutex> lock(queueMutex_);
  while (!stopping_) {
    lock.unlock();
    RunRound();
    lock.lock();
    tickCv_.wait_for(lock, options_.interval, [this] { return stopping_; });
  }
}

void Monitor::RunRound() {
  QMX_ENTRY_NAMED("pxr_http::Monitor::RunRound");
  std::vector<TableManager*> tables = pxr::Tables();
  int queued = 0;
  for (TableManager* m : tables) {
    std::string name = m->table();
    std::shared_ptr<Slot> slot = SlotFor(name);
    if (slot->queued.exchange(true)) {
      std::lock_guard<std::mutex> lock(slot->data);
      ++slot->stats.skippedRounds;
      ++generation_;
      QMX_FLOW("pxr_http::Monitor::RunRound: %s still busy, skipped this round", name.c_str());
      continue;
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (stopping_) {
      slot->queued = false;
      break;
    }
    queue_.emplace_back(name, slot);
    ++inFlight_;
    ++queued;
  }
  if (queued) queueCv_.notify_all();
}

bool Monitor::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  return idleCv_.wait_for(lock, timeout, [this] { return inFlight_ == 0; });
}

void Monitor::Worker() {
  for (;;) {
    std::pair<std::string, std::shared_ptr<Slot>> job;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueCv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    SampleTable(job.first, *job.second);
    job.second->queued = false;
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (--inFlight_ <= 0) {
      inFlight_ = 0;
      idleCv_.notify_all();
    }
  }
}

void Monitor::SampleTable(const std::string& table, Slot& slot) {
  QMX_ENTRY_NAMED("pxr_http::Monitor::SampleTable");
  auto start = std::chrono::steady_clock::now();
  std::string error, metrics;
  int rows = 0;
  TableLayout layout;
  TableManager* manager = nullptr;
  {
    std::lock_guard<std::timed_mutex> hold(slot.sampling);
    try {
      unsigned long status = 0;
      std::unique_ptr<pxr::Request> req = pxr::Request::Open(table, {}, &status);
      if (!req) {
        error = "no request object (status " + Hex(status) + ")";
      } else if (!DescribeRequest(req->object(), &layout)) {
        error = "attribute information incomplete";
      } else if ((status = req->Sample()) != 0) {
        error = "TakeSample returned " + Hex(status);
      } else {
        manager = req->manager();
        rows = req->rowCount();
        metrics = FormatTableMetrics(layout, req->row(0), rows, AttributeHelp);
      }
    } catch (const std::exception& e) {
      error = std::string("exception: ") + e.what();
    } catch (...) {
      error = "exception";
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::lock_guard<std::mutex> lock(slot.data);
  slot.stats.sampled = true;
  slot.stats.durationSeconds = seconds;
  if (error.empty()) {
    slot.metrics = std::move(metrics);
    slot.stats.rows = rows;
    slot.stats.lastSuccess = Now();
    slot.layout = std::move(layout);
    slot.describedManager = manager;
  } else {
    // Old values would pass for current ones: the table's series go until a sample succeeds.
    slot.metrics.clear();
    ++slot.stats.failures;
    QMX_ERROR("pxr_http::Monitor::SampleTable: sample of %s failed: %s", table.c_str(), error.c_str());
  }
  ++generation_;
}

std::vector<SampleStats> Monitor::Stats() {
  std::vector<SampleStats> out;
  for (TableManager* m : pxr::Tables()) {
    std::shared_ptr<Slot> slot = SlotFor(m->table());
    std::lock_guard<std::mutex> lock(slot->data);
    out.push_back(slot->stats);
  }
  return out;
}

std::string Monitor::Exposition() {
  std::vector<TableManager*> tables = pxr::Tables();
  std::lock_guard<std::mutex> cache(expositionMutex_);
  uint64_t generation = generation_.load();
  if (generation == expositionGeneration_ && tables == expositionTables_) return exposition_;
  std::string out;
  std::vector<SampleStats> stats;
  for (TableManager* m : tables) {
    std::shared_ptr<Slot> slot = SlotFor(m->table());
    std::lock_guard<std::mutex> lock(slot->data);
    out += slot->metrics;
    stats.push_back(slot->stats);
  }
  out += FormatSampleStats(stats);
  exposition_ = out;
  expositionGeneration_ = generation;
  expositionTables_ = std::move(tables);
  return out;
}

bool Monitor::Authorized(const std::string& authorization) const {
  if (options_.token.empty()) return true;
  const std::string scheme = "bearer ";
  if (authorization.size() <= scheme.size()) return false;
  if (Lower(authorization.substr(0, scheme.size())) != scheme) return false;
  size_t i = scheme.size();
  while (i < authorization.size() && authorization[i] == ' ') ++i;
  return SameSecret(authorization.substr(i), options_.token);
}

HttpAnswer Monitor::Handle(const std::string& method, const std::string& target,
                           const std::string& authorization) {
  QMX_ENTRY_NAMED("pxr_http::Monitor::Handle");
  if (!Authorized(authorization)) {
    HttpAnswer a = Error(401, "a valid bearer token is required");
    a.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"qmx\"");
    return a;
  }
  if (method != "GET" && method != "HEAD") {
    HttpAnswer a = Error(405, "only GET and HEAD are served");
    a.headers.emplace_back("Allow", "GET, HEAD");
    return a;
  }
  if (target.empty() || target[0] != '/') return Error(400, "the request target must be a path");
  size_t q = target.find('?');
  std::string rawPath = target.substr(0, q);
  std::string query = q == std::string::npos ? std::string() : target.substr(q + 1);
  std::string path;
  if (!PercentDecode(rawPath, false, &path)) return Error(400, "invalid percent-encoding in the path");

  if (path == "/healthz")
    return JsonAnswer(200, Json{{"status", "ok"}, {"tables", pxr::Tables().size()}});
  if (path == "/metrics") {
    HttpAnswer a;
    a.contentType = kExposition;
    a.body = Exposition();
    return a;
  }
  if (path == "/v1/tables") return ListTables();
  const std::string prefix = "/v1/tables/", suffix = "/rows";
  if (path.size() > prefix.size() + suffix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
    std::string name = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (name.find('/') == std::string::npos) return Rows(name, query);
  }
  return Error(404, "no such resource");
}

// The table's layout: asked of a request object once, kept while the same manager serves it.
bool Monitor::Layout(TableManager* manager, Slot& slot, TableLayout* layout, std::string* error) {
  {
    std::lock_guard<std::mutex> lock(slot.data);
    if (slot.describedManager == manager && manager) {
      *layout = slot.layout;
      return true;
    }
  }
  std::unique_lock<std::timed_mutex> hold(slot.sampling, std::defer_lock);
  if (!hold.try_lock_for(options_.busyWait)) {
    *error = "table busy";
    return false;
  }
  unsigned long status = 0;
  std::unique_ptr<pxr::Request> req = pxr::Request::Open(manager->table(), {}, &status);
  if (!req) {
    *error = "no request object (status " + Hex(status) + ")";
    return false;
  }
  if (!DescribeRequest(req->object(), layout)) {
    *error = "attribute information incomplete";
    return false;
  }
  std::lock_guard<std::mutex> lock(slot.data);
  slot.layout = *layout;
  slot.describedManager = manager;
  return true;
}

HttpAnswer Monitor::ListTables() {
  QMX_ENTRY_NAMED("pxr_http::Monitor::ListTables");
  Json tables = Json::array();
  for (TableManager* m : pxr::Tables()) {
    TableLayout layout;
    std::string error;
    std::shared_ptr<Slot> slot = SlotFor(m->table());
    try {
      if (Layout(m, *slot, &layout, &error)) {
        tables.push_back(TableJson(layout));
        continue;
      }
    } catch (const std::exception& e) {
      error = std::string("exception: ") + e.what();
    } catch (...) {
      error = "exception";
    }
    layout.application = m->application();
    layout.table = m->table();
    Json t = TableJson(layout);
    t["error"] = SanitizeUtf8(error);
    tables.push_back(std::move(t));
  }
  return JsonAnswer(200, Json{{"tables", std::move(tables)}});
}

HttpAnswer Monitor::Rows(const std::string& table, const std::string& query) {
  QMX_ENTRY_NAMED("pxr_http::Monitor::Rows");
  std::vector<std::pair<std::string, std::string>> params;
  std::string error;
  if (!ParseQuery(query, &params, &error)) return Error(400, error);
  std::vector<RequestCondition> conditions;
  for (const auto& p : params) {
    if (p.first != "where") return Error(400, "unknown parameter \"" + SanitizeUtf8(p.first) + "\"");
    if (conditions.size() >= options_.maxConditions)
      return Error(400, "more than " + std::to_string(options_.maxConditions) + " conditions");
    RequestCondition c;
    if (!ParseCondition(p.second, &c, &error)) return Error(400, error);
    conditions.push_back(std::move(c));
  }
  if (!pxr::FindTable(table)) return Error(404, "no table \"" + SanitizeUtf8(table) + "\"");

  std::shared_ptr<Slot> slot = SlotFor(table);
  std::unique_lock<std::timed_mutex> hold(slot->sampling, std::defer_lock);
  if (!hold.try_lock_for(options_.busyWait)) {
    HttpAnswer a = Error(503, "table " + table + " is busy with another sample");
    a.headers.emplace_back("Retry-After", "5");
    return a;
  }
  try {
    unsigned long status = 0;
    std::unique_ptr<pxr::Request> req = pxr::Request::Open(table, conditions, &status);
    if (!req) {
      if (status == PXR_NOT_FOUND) return Error(404, "no table \"" + SanitizeUtf8(table) + "\"");
      return Error(500, "table " + table + " gave no request object (status " + Hex(status) + ")");
    }
    TableLayout layout;
    if (!DescribeRequest(req->object(), &layout))
      return Error(500, "table " + table + " gave incomplete attribute information");
    for (const RequestCondition& c : conditions)
      if (!CheckCondition(c, layout, &error)) return Error(400, error);
    status = req->Sample();
    if (status != 0) return Error(500, "sample of " + table + " failed with status " + Hex(status));
    Json rows = Json::array();
    for (int i = 0; i < req->rowCount(); ++i) rows.push_back(RowJson(req->row(i), layout));
    return JsonAnswer(200, Json{{"table", table}, {"rows", std::move(rows)}});
  } catch (const std::exception& e) {
    return Error(500, "sample of " + table + " failed: " + e.what());
  } catch (...) {
    return Error(500, "sample of " + table + " failed");
  }
}

}  // namespace pxr_http

namespace pxr {

void SetAttributeHelp(const char* table, const char* attribute, const char* text) {
  pxr_http::MetricHelp h;
  h.text = text ? text : "";
  pxr_http::SetHelp(table, attribute, std::move(h));
}

void SetCounterHelp(const char* table, const char* attribute, const char* object,
                    const char* counter, const char* scale) {
  pxr_http::MetricHelp h;
  h.text = pxr_http::CounterHelpText(object ? object : "", counter ? counter : "");
  char* end = nullptr;
  double factor = scale && *scale ? std::strtod(scale, &end) : 1;
  if (scale && *scale && (end == scale || *end != '\0' || !(factor > 0))) {
    // Without a usable factor the field is exported as the row holds it, and HELP says so.
    h.text += "; exported as the row holds it, the scale \"" + std::string(scale) + "\" is unusable";
    factor = 1;
  }
  h.scale = factor;
  pxr_http::SetHelp(table, attribute, std::move(h));
}

}  // namespace pxr
