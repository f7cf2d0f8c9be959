// Definitions of one table's classes (see table_pattern.h). Each generated unit pxrexNNb.cpp
// includes this header and expands QMX_DEFINE_TABLE once, so the trace knows the unit by name.
#pragma once

#include "qmx_tables.h"
#include "qmxtrace.h"

// Agent construction and destruction per variation.
#define QMX_AGENT_CTOR_PLAIN
#define QMX_AGENT_DTOR_PLAIN
#define QMX_AGENT_CTOR_SERVER_STATUS    \
  pServerData = nullptr;                \
  g_pServerStatusRequest = this;        \
  g_pRbsRowHolder = &RbsRowHolder::Instance();
#define QMX_AGENT_DTOR_SERVER_STATUS g_pServerStatusRequest = nullptr;

#define QMX_BUFFER_DEF_SOURCE_COUNTER_SERVICE(stem) SampleBfr qmx_##stem##_SampleBfr(0, 1);
#define QMX_BUFFER_DEF_SOURCE_OWN_COUNTERS(stem)
#define QMX_BUFFER_DEF_SOURCE_SERVER_STATUS(stem)
#define QMX_BUFFER_DEF_SOURCE_SERVICE_MANAGER(stem)
#define QMX_BUFFER_DEF_SOURCE_STORAGE_GROUPS(stem)
#define QMX_BUFFER_DEF_SOURCE_MAILBOX_JOB(stem)
#define QMX_BUFFER_DEF_SOURCE_PUBLIC_FOLDER_JOB(stem)
#define QMX_BUFFER_DEF_SOURCE_REACHABILITY_JOB(stem)
#define QMX_BUFFER_DEF_SOURCE_ROLE_SERVICES(stem)
#define QMX_BUFFER_DEF_SOURCE_TOPOLOGY_JOB(stem)
#define QMX_BUFFER_DEF_SOURCE_CLUSTER_STATE(stem)
#define QMX_BUFFER_DEF_SOURCE_NLB_STATUS(stem)
#define QMX_BUFFER_DEF_SOURCE_AVAILABILITY_GROUP(stem)
#define QMX_BUFFER_DEF_SOURCE_NONE(stem)

#define QMX_DEFINE_TABLE(number, stem, NAME, variation, source)                                   \
  qmx_##stem##_manager* p_qmx_##stem##_manager = nullptr;                                        \
  namespace {                                                                                    \
  std::unique_ptr<qmx_##stem##_manager> qmx_##stem##_manager_owner;                              \
  }                                                                                              \
  QMX_BUFFER_DEF_##source(stem)                                                                  \
                                                                                                 \
  unsigned long qmx_##stem##_init() {                                                            \
    QMX_ENTRY_NAMED("qmx_" #stem "_init");                                                       \
    /* A second load (tests) registers the same manager again. */                                \
    if (!qmx_##stem##_manager_owner)                                                             \
      qmx_##stem##_manager_owner.reset(new (std::nothrow) qmx_##stem##_manager("QMX", #NAME));   \
    p_qmx_##stem##_manager = qmx_##stem##_manager_owner.get();                                   \
    if (!p_qmx_##stem##_manager) QMX_RETURN(static_cast<unsigned long>(PXR_NO_MEMORY));         \
    QMX_RETURN(TableManager::RegisterWithManager(p_qmx_##stem##_manager));                       \
  }                                                                                              \
                                                                                                 \
  unsigned long EventArrived_qmx_##stem(char* rows, int count) {                                 \
    QMX_ENTRY_NAMED("EventArrived_qmx_" #stem);                                                  \
    qmx_##stem##_manager* m = p_qmx_##stem##_manager;                                            \
    if (!m) QMX_RETURN(0UL);                                                                     \
    unsigned long result = 0;                                                                    \
    m->lock();                                                                                   \
    VortaListIter it(m->requests());                                                             \
    for (vorta* r = it.Next(); r; r = it.Next()) {                                               \
      vorta::UseHandle(r->handle);                                                               \
      r->AddData(rows, count);                                                                   \
      unsigned long d = vorta::Dispatch();                                                       \
      if (d) result = d;                                                                         \
      r->rowCount = 0;                                                                           \
      vorta::Drop();                                                                             \
    }                                                                                            \
    m->unlock();                                                                                 \
    QMX_RETURN(result);                                                                          \
  }                                                                                              \
                                                                                                 \
  qmx_##stem##_manager::qmx_##stem##_manager(const char* application, const char* table)         \
      : TableManager(application, table) {}                                                      \
  qmx_##stem##_manager::~qmx_##stem##_manager() {}                                               \
  vorta* qmx_##stem##_manager::CreateRequest(RequestDetail* detail, ContextInfo* context) {       \
    QMX_ENTRY_NAMED("qmx_" #stem "_manager::CreateRequest");                                     \
    return AddRequest(new (std::nothrow) qmx_##stem##_agent(detail, context, this));             \
  }                                                                                              \
                                                                                                 \
  const qmx::TableLayout& qmx_##stem##_base::Layout() {                                          \
    static const qmx::TableLayout& layout = *qmx::TableLayoutByNumber(number);                   \
    return layout;                                                                               \
  }                                                                                              \
  qmx_##stem##_base::qmx_##stem##_base(RequestDetail* detail, ContextInfo* context,              \
                                       TableManager* manager)                                    \
      : vorta(detail, context, manager) {                                                        \
    QMX_ENTRY_NAMED("qmx_" #stem "_base::qmx_" #stem "_base");                                   \
    rowSize = Layout().rowSize;                                                                  \
    allocStep = Layout().step;                                                                   \
  }                                                                                              \
  qmx_##stem##_base::~qmx_##stem##_base() {}                                                     \
                                                                                                 \
  int qmx_##stem##_base::GetAttributeCount() { return Layout().attributeCount(); }              \
                                                                                                 \
  unsigned long qmx_##stem##_base::GetAttributeInfo(AttributeInfo* info, int index) {            \
    const qmx::TableLayout& t = Layout();                                                        \
    if (!info || index < 0 || index >= t.attributeCount())                                       \
      return static_cast<unsigned long>(PXR_BAD_INDEX);                                          \
    const qmx::TableAttribute& a = t.attributes[static_cast<size_t>(index)];                    \
    info->name = a.name.c_str();                                                                 \
    info->offset = a.offset;                                                                     \
    info->width = a.width;                                                                       \
    info->type = a.type;                                                                         \
    return 0;                                                                                    \
  }                                                                                              \
                                                                                                 \
  int qmx_##stem##_base::TestAttribute(char* row, char* name, _IntfOper oper, char* value) {     \
    const qmx::TableLayout& t = Layout();                                                        \
    int i = row ? t.Find(name) : -1;                                                             \
    if (i < 0) return 0;                                                                         \
    const qmx::TableAttribute& a = t.attributes[static_cast<size_t>(i)];                        \
    char* field = row + a.offset;                                                                \
    switch (a.type) {                                                                            \
      case qmx::TYPE_TEXT:                                                                       \
        return IsException(oper, field, a.width, value);                                         \
      case qmx::TYPE_UTF8:                                                                       \
        return IsException(oper, field, a.width, DTYPE_UTF8, value);                             \
      case qmx::TYPE_INT32: {                                                                    \
        int32_t v;                                                                               \
        std::memcpy(&v, field, sizeof v);                                                        \
        return IsException(oper, static_cast<long>(v), value);                                   \
      }                                                                                          \
      case qmx::TYPE_INT64: {                                                                    \
        long long v;                                                                             \
        std::memcpy(&v, field, sizeof v);                                                        \
        return IsException(oper, v, value);                                                      \
      }                                                                                          \
    }                                                                                            \
    return 0;                                                                                    \
  }                                                                                              \
                                                                                                 \
  unsigned long qmx_##stem##_base::AddData(char* rows, int count) {                              \
    QMX_ENTRY_NAMED("qmx_" #stem "_base::AddData");                                              \
    if (count < 1 || !rows) QMX_RETURN(0UL);                                                     \
    const size_t size = static_cast<size_t>(Layout().rowSize);                                   \
    unsigned long status = 0;                                                                    \
    for (int i = 0; i < count && status == 0; ++i) {                                             \
      char* row = rows + static_cast<size_t>(i) * size;                                          \
      if (CheckForException(row)) {                                                              \
        QMX_FLOW("Passing row %d to InsertRow().", i);                                           \
        status = static_cast<unsigned long>(InsertRow(row));                                     \
      }                                                                                          \
    }                                                                                            \
    QMX_RETURN(status);                                                                          \
  }                                                                                              \
                                                                                                 \
  void qmx_##stem##_base::PrintSelf() {                                                          \
    QMX_ENTRY_NAMED("qmx_" #stem "_base::PrintSelf");                                            \
    if (!qmx_trace.On(RAS1_STATE)) return;                                                       \
    const qmx::TableLayout& t = Layout();                                                        \
    QMX_STATE("qmx_" #stem "_base @%p <%u,%u>\n", static_cast<void*>(this),                      \
              static_cast<unsigned>(requestNumber), static_cast<unsigned>(handle));              \
    QMX_STATE("\t::appl=%s,table=%s,interval=%d,samptype=%d\n",                                  \
              manager ? manager->application() : "", manager ? manager->table() : "",            \
              interval * 1000, sampleType);                                                      \
    DumpThresholds();                                                                            \
    QMX_STATE("\t_data {\n");                                                                    \
    QMX_STATE("\t\tcount=%d, allocated=%d, allocSize=%d\n", rowCount, rowsAllocated, allocStep); \
    for (int r = 0; rowData && r < rowCount; ++r) {                                              \
      const char* row = rowData + static_cast<size_t>(r) * static_cast<size_t>(rowSize);         \
      QMX_STATE("\t\t{\n");                                                                      \
      for (const qmx::TableAttribute& a : t.attributes) {                                        \
        const char* f = row + a.offset;                                                          \
        if (a.type == qmx::TYPE_INT32) {                                                         \
          int32_t v;                                                                             \
          std::memcpy(&v, f, sizeof v);                                                          \
          QMX_STATE("\t\t%s=%d\n", a.name.c_str(), static_cast<int>(v));                         \
        } else if (a.type == qmx::TYPE_INT64) {                                                  \
          long long v;                                                                           \
          std::memcpy(&v, f, sizeof v);                                                          \
          QMX_STATE("\t\t%s=%lld\n", a.name.c_str(), v);                                         \
        } else {                                                                                 \
          QMX_STATE("\t\t%s=\"%.*s\"\n", a.name.c_str(), static_cast<int>(a.width), f);          \
        }                                                                                        \
      }                                                                                          \
      QMX_STATE("\t\t}\n");                                                                      \
    }                                                                                            \
    QMX_STATE("}\n");                                                                            \
  }                                                                                              \
                                                                                                 \
  qmx_##stem##_agent::qmx_##stem##_agent(RequestDetail* detail, ContextInfo* context,            \
                                         TableManager* manager)                                  \
      : qmx_##stem##_base(detail, context, manager) {                                            \
    QMX_AGENT_CTOR_##variation                                                                   \
    TakeSampleConstructor();                                                                     \
  }                                                                                              \
  qmx_##stem##_agent::~qmx_##stem##_agent() {                                                    \
    TakeSampleDestructor();                                                                      \
    QMX_AGENT_DTOR_##variation                                                                   \
  }
