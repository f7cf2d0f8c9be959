// Counter set definitions: five strings per definition (header, sizes, offsets, scales, types)
// in the executable's string table, and the row header description at 240 to 242.
#pragma once

#include <string>
#include <vector>

namespace qmx {

enum CounterFieldType { CS_INTEGER = 2, CS_TEXT = 3, CS_UTF8 = 4 };

struct CounterField {
  std::string name;       // performance counter name, or "_INSTANCE_"
  int size = 0;           // bytes
  int offset = 0;         // from the row start
  double scale = 0;       // factor applied before storing; 0 for text
  std::string scaleText;  // the factor as written
  int type = 0;           // CounterFieldType
  bool isInstance() const { return name == "_INSTANCE_"; }
};

struct CounterSetDefinition {
  int fieldCount = 0;   // leading count, which governs
  int initialRows = 0;
  int thirdNumber = 0;
  std::string object;   // performance object
  int innerCount = 0;   // the count repeated after "("
  int rowSize = 0;
  std::vector<CounterField> fields;
  bool multiInstance() const { return !fields.empty() && fields.front().isInstance(); }
};

// Full reading of the five strings of one definition. Never throws; on malformed input returns
// false with a reason and leaves *out partly filled.
bool ParseCounterSet(const std::string strings[5], CounterSetDefinition* out, std::string* error);

// Checks the rules every shipped definition keeps: offsets from 88 without gaps, the last field
// inside the row, integers of 4 or 8 bytes with a scale, text only for the instance name and
// with scale 0, at least one initial row. False with the first broken rule.
bool CheckCounterSet(const CounterSetDefinition& definition, std::string* error);

// The agent's own two-number read at table loading: initial rows from string N (second number)
// and row size from string N+1 (first number); 0 for what cannot be read.
void ReadRowsAndRowSize(const char* header, const char* sizes, int* initialRows, int* rowSize);

}  // namespace qmx
