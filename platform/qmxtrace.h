// The agent's side of tracing: one unit block per source file and one RAII guard per function.
//
//   int HqMain(...) {
//     QMX_ENTRY();                 // entry event now, exit event when the scope ends
//     QMX_FLOW("HqMain: Entry");   // written only when the flow bit is on
//     QMX_RETURN(rc);              // exit event with the value
//   }
#pragma once

#include <cstdint>

#include "jbx.h"

namespace {
// __BASE_FILE__ names the source file being compiled, not this header, so every unit gets its own block.
[[maybe_unused]] RAS1_UnitBlock qmx_unit_block = {
    __BASE_FILE__, sizeof(__BASE_FILE__) - 1, __DATE__, sizeof(__DATE__) - 1,
    __TIME__,      sizeof(__TIME__) - 1,      "QMX610", 6,
    &RAS1_Generation};
}  // namespace

class QmxTrace {
 public:
  explicit QmxTrace(RAS1_EntryBlock& eb) : eb_(eb), level_(RAS1_Level(&eb)) {
    if (level_ & RAS1_EVENT) RAS1_Event(&eb_, eb_.line, RAS1_EV_ENTRY);
  }
  ~QmxTrace() {
    if (!exited_ && (level_ & RAS1_EVENT)) RAS1_Event(&eb_, eb_.line, RAS1_EV_EXIT);
  }
  QmxTrace(const QmxTrace&) = delete;
  QmxTrace& operator=(const QmxTrace&) = delete;

  // Read again at every line: a long-running function sees a level change at once.
  bool On(uint32_t bits) const { return (RAS1_Level(&eb_) & bits) != 0; }
  uint32_t level() const { return RAS1_Level(&eb_); }
  RAS1_EntryBlock* block() { return &eb_; }

  template <class T>
  T Exit(T value, int line) {
    if (level_ & RAS1_EVENT) RAS1_Event(&eb_, line, RAS1_EV_EXIT_VALUE, static_cast<int>(value));
    exited_ = true;
    return value;
  }

 private:
  RAS1_EntryBlock& eb_;
  uint32_t level_;
  bool exited_ = false;
};

#define QMX_ENTRY_NAMED(name)                                                              \
  static RAS1_EntryBlock qmx_entry_block = {&qmx_unit_block, name, sizeof(name) - 1,       \
                                            __LINE__, &RAS1_Generation, 0, 0};             \
  QmxTrace qmx_trace(qmx_entry_block)
#define QMX_ENTRY() QMX_ENTRY_NAMED(__func__)

#define QMX_TRACE_IF(bits, ...)                                                            \
  do {                                                                                     \
    if (qmx_trace.On(bits)) RAS1_Printf(qmx_trace.block(), __LINE__, __VA_ARGS__);         \
  } while (0)
#define QMX_FLOW(...) QMX_TRACE_IF(RAS1_FLOW, __VA_ARGS__)
#define QMX_STATE(...) QMX_TRACE_IF(RAS1_STATE, __VA_ARGS__)
#define QMX_DETAIL(...) QMX_TRACE_IF(RAS1_STATE, __VA_ARGS__)
#define QMX_ERROR(...) QMX_TRACE_IF(RAS1_ERROR, __VA_ARGS__)
// Lines guarded by no bit are always written.
#define QMX_ALWAYS(...) RAS1_Printf(qmx_trace.block(), __LINE__, __VA_ARGS__)
#define QMX_RETURN(value) return qmx_trace.Exit((value), __LINE__)
