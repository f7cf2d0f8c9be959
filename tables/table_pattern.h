// The class family of one table: qmx_<stem>_manager registers the table with the framework,
// qmx_<stem>_base describes its rows and feeds them into a request, qmx_<stem>_agent adds the
// table's TakeSample. QMX_DECLARE_TABLE gives the declarations (qmx_tables.h expands it for
// every table of catalogue.def); QMX_DEFINE_TABLE the definitions (one generated unit
// pxrexNNb.cpp per table). A collector unit defines only the agent's TakeSample,
// TakeSampleConstructor and TakeSampleDestructor.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "pxr.h"
#include "sample_bfr.h"
#include "table_layout.h"

// The three functions of a collector unit whose constructor and destructor have nothing to do;
// TakeSample returns sampleResult, evaluated inside the agent.
#define QMX_SAMPLE_FUNCTIONS(stem, sampleResult)                         \
  unsigned long qmx_##stem##_agent::TakeSample() {                       \
    QMX_ENTRY_NAMED("qmx_" #stem "_agent::TakeSample");                  \
    QMX_RETURN(sampleResult);                                            \
  }                                                                      \
  QMX_SAMPLE_BRACKETS(stem)

// Constructor and destructor of a collector unit that writes its own TakeSample.
#define QMX_SAMPLE_BRACKETS(stem)                                        \
  void qmx_##stem##_agent::TakeSampleConstructor() {                     \
    QMX_ENTRY_NAMED("qmx_" #stem "_agent::TakeSampleConstructor");       \
  }                                                                      \
  void qmx_##stem##_agent::TakeSampleDestructor() {                      \
    QMX_ENTRY_NAMED("qmx_" #stem "_agent::TakeSampleDestructor");        \
  }

// What the agent of a variation holds besides its base.
#define QMX_AGENT_FIELDS_PLAIN
#define QMX_AGENT_FIELDS_SERVER_STATUS void* pServerData;  // state of the server status collection

// The SampleBfr of the tables the counter service feeds.
#define QMX_BUFFER_DECL_SOURCE_COUNTER_SERVICE(stem) extern SampleBfr qmx_##stem##_SampleBfr;
#define QMX_BUFFER_DECL_SOURCE_OWN_COUNTERS(stem)
#define QMX_BUFFER_DECL_SOURCE_SERVER_STATUS(stem)
#define QMX_BUFFER_DECL_SOURCE_SERVICE_MANAGER(stem)
#define QMX_BUFFER_DECL_SOURCE_STORAGE_GROUPS(stem)
#define QMX_BUFFER_DECL_SOURCE_MAILBOX_JOB(stem)
#define QMX_BUFFER_DECL_SOURCE_PUBLIC_FOLDER_JOB(stem)
#define QMX_BUFFER_DECL_SOURCE_REACHABILITY_JOB(stem)
#define QMX_BUFFER_DECL_SOURCE_ROLE_SERVICES(stem)
#define QMX_BUFFER_DECL_SOURCE_TOPOLOGY_JOB(stem)
#define QMX_BUFFER_DECL_SOURCE_CLUSTER_STATE(stem)
#define QMX_BUFFER_DECL_SOURCE_NLB_STATUS(stem)
#define QMX_BUFFER_DECL_SOURCE_AVAILABILITY_GROUP(stem)
#define QMX_BUFFER_DECL_SOURCE_NONE(stem)

#define QMX_DECLARE_TABLE(number, stem, variation, source)                                   \
  class qmx_##stem##_manager : public TableManager {                                          \
   public:                                                                                    \
    qmx_##stem##_manager(const char* application, const char* table);                         \
    ~qmx_##stem##_manager() override;                                                         \
    vorta* CreateRequest(RequestDetail* detail, ContextInfo* context) override;               \
  };                                                                                          \
  class qmx_##stem##_base : public vorta {                                                    \
   public:                                                                                    \
    qmx_##stem##_base(RequestDetail* detail, ContextInfo* context, TableManager* manager);    \
    void PrintSelf() override;                                                                \
    unsigned long TakeSample() override = 0;                                                  \
    int GetAttributeCount() override;                                                         \
    unsigned long GetAttributeInfo(AttributeInfo* info, int index) override;                  \
    ~qmx_##stem##_base() override;                                                            \
    int TestAttribute(char* row, char* name, _IntfOper oper, char* value) override;           \
    unsigned long AddData(char* rows, int count) override;                                    \
    static const qmx::TableLayout& Layout();                                                  \
  };                                                                                          \
  class qmx_##stem##_agent : public qmx_##stem##_base {                                       \
   public:                                                                                    \
    qmx_##stem##_agent(RequestDetail* detail, ContextInfo* context, TableManager* manager);   \
    unsigned long TakeSample() override;                                                      \
    ~qmx_##stem##_agent() override;                                                           \
    /* Bracket the request's life; written by the table's collector unit. */                  \
    void TakeSampleConstructor();                                                             \
    void TakeSampleDestructor();                                                              \
    QMX_AGENT_FIELDS_##variation                                                              \
  };                                                                                          \
  extern qmx_##stem##_manager* p_qmx_##stem##_manager;                                        \
  unsigned long qmx_##stem##_init();                                                          \
  unsigned long EventArrived_qmx_##stem(char* rows, int count);                               \
  QMX_BUFFER_DECL_##source(stem)

// The rows of table 39 (role-based services), built by the server status collection.
struct RbsRowHolder {
  std::vector<char> rows;  // rowCount rows of 544 bytes
  int rowCount = 0;
  int32_t release = 0;     // Exchange release the rows were built for
  // The process-wide holder, created empty on first use.
  static RbsRowHolder& Instance();
};
