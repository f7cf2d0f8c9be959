// The table catalogue as data: one entry per table, with its row layout worked out from the
// attribute list of catalogue.def. Needs no operating system and no framework.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmx {

enum HeaderOrder { HEADER_STANDARD, HEADER_TIME_FIRST };
enum TableVariation { PLAIN, SERVER_STATUS };
enum TableSource {
  SOURCE_COUNTER_SERVICE,     // rows from the counter service through the table's SampleBfr
  SOURCE_OWN_COUNTERS,        // performance counters read by the agent itself
  SOURCE_SERVER_STATUS,
  SOURCE_SERVICE_MANAGER,
  SOURCE_STORAGE_GROUPS,
  SOURCE_MAILBOX_JOB,
  SOURCE_PUBLIC_FOLDER_JOB,
  SOURCE_REACHABILITY_JOB,
  SOURCE_ROLE_SERVICES,
  SOURCE_TOPOLOGY_JOB,
  SOURCE_CLUSTER_STATE,
  SOURCE_NLB_STATUS,
  SOURCE_AVAILABILITY_GROUP,
  SOURCE_NONE,                // no rows at all
};

// Attribute type codes as the framework knows them.
enum : uint16_t { TYPE_INT32 = 3, TYPE_TEXT = 9, TYPE_UTF8 = 12, TYPE_INT64 = 13 };

// Where the table's own attributes start: the row header is 88 bytes.
constexpr int kRowHeaderSize = 88;

struct TableAttribute {
  std::string name;   // lower case, as GetAttributeInfo reports it
  std::string upper;  // as the framework names it in conditions
  uint16_t offset = 0;
  uint16_t width = 0;
  uint16_t type = 0;
};

struct TableLayout {
  int number = 0;              // 1 to 68
  const char* stem = "";       // "msedb"
  const char* name = "";       // "MSEDB"
  const char* group = "";      // loader's group title
  int step = 1;                // allocation step
  HeaderOrder header = HEADER_STANDARD;
  TableVariation variation = PLAIN;
  TableSource source = SOURCE_NONE;
  int definitionId = 0;        // 0: none
  int alternateId = 0;         // 0: none
  std::string bufferName;      // "QMX.MSEDB"
  std::vector<TableAttribute> attributes;  // the four header attributes first
  int rowSize = 0;             // end of the last attribute rounded up to 4

  int attributeCount() const { return static_cast<int>(attributes.size()); }
  // Index of the attribute whose upper-case name is exactly `upper`, or -1.
  int Find(const char* upper) const;

  // Open-addressing index over `upper`, built with the layout: hash and attribute index
  // (-1: empty). The hash spares most string comparisons.
  struct Slot {
    uint32_t hash;
    int32_t index;
  };
  std::vector<Slot> slots_;
};

// All 68 tables in number order; built once, on first use.
const std::vector<TableLayout>& TableLayouts();
const TableLayout* TableLayoutByNumber(int number);
const TableLayout* TableLayoutByStem(const char* stem);
const TableLayout* TableLayoutByName(const char* name);

// Reads an attribute list in the catalogue's notation ("dbname utf8 60, cachehit, lscntim int64")
// into attributes packed from `offset`. False with a reason on anything it does not understand.
bool ParseAttributeList(const char* text, int offset, std::vector<TableAttribute>* out,
                        std::string* error);

// Builds a layout from its parts (used for the catalogue and by tests); false when the attribute
// list cannot be read or does not fit 16-bit offsets.
bool BuildTableLayout(TableLayout* layout, const char* attributes, std::string* error);

}  // namespace qmx
