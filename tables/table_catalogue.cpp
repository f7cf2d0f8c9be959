// The catalogue lookup over the generated table units.
#include "table_catalogue.h"

#include <cstring>

#include "qmx_tables.h"

#define QMX_BUFFER_ADDR_SOURCE_COUNTER_SERVICE(stem) &qmx_##stem##_SampleBfr
#define QMX_BUFFER_ADDR_SOURCE_OWN_COUNTERS(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_SERVER_STATUS(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_SERVICE_MANAGER(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_STORAGE_GROUPS(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_MAILBOX_JOB(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_PUBLIC_FOLDER_JOB(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_REACHABILITY_JOB(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_ROLE_SERVICES(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_TOPOLOGY_JOB(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_CLUSTER_STATE(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_NLB_STATUS(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_AVAILABILITY_GROUP(stem) nullptr
#define QMX_BUFFER_ADDR_SOURCE_NONE(stem) nullptr

qmx_mseservr_agent* g_pServerStatusRequest = nullptr;
RbsRowHolder* g_pRbsRowHolder = nullptr;

RbsRowHolder& RbsRowHolder::Instance() {
  static RbsRowHolder holder;
  return holder;
}

namespace qmx {
namespace {

struct Hooks {
  int number;
  unsigned long (*init)();
  unsigned long (*eventArrived)(char*, int);
  SampleBfr* buffer;
};

}  // namespace

const std::vector<TableEntry>& TableCatalogue() {
  static const std::vector<TableEntry> all = [] {
    static const Hooks kHooks[] = {
#define QMX_TABLE(number, stem, NAME, group, step, header, variation, source, definition, alternate, \
                  attributes)                                                                       \
  {number, &qmx_##stem##_init, &EventArrived_qmx_##stem, QMX_BUFFER_ADDR_##source(stem)},
#include "catalogue.def"
#undef QMX_TABLE
    };
    std::vector<TableEntry> v;
    for (const Hooks& h : kHooks) v.push_back({TableLayoutByNumber(h.number), h.init, h.eventArrived, h.buffer});
    return v;
  }();
  return all;
}

const TableEntry* FindTableByNumber(int number) {
  for (const TableEntry& e : TableCatalogue())
    if (e.layout && e.layout->number == number) return &e;
  return nullptr;
}

const TableEntry* FindTableByStem(const char* stem) {
  if (!stem) return nullptr;
  for (const TableEntry& e : TableCatalogue())
    if (e.layout && std::strcmp(e.layout->stem, stem) == 0) return &e;
  return nullptr;
}

const TableEntry* FindTableByName(const char* name) {
  if (!name) return nullptr;
  for (const TableEntry& e : TableCatalogue())
    if (e.layout && std::strcmp(e.layout->name, name) == 0) return &e;
  return nullptr;
}

}  // namespace qmx
