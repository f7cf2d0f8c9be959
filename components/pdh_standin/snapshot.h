// Counter snapshot: the data behind the PDH stand-in (test and demo use only, never on a real server).
//
// UTF-8 text, one counter value per line: object <TAB> instance <TAB> counter <TAB> value.
// The instance is empty for an object without instances. Lines starting with "#" and empty lines
// are ignored; any other line that does not fit is skipped. Names are matched without regard to
// ASCII case, as PDH does. A later line for the same object, instance and counter wins.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace pdhsi {

struct Value {
  double number = 0;
  bool exact = false;     // the text was an integer that fits in 64 bits
  long long integer = 0;  // that integer, kept so that 64-bit counters survive unrounded
};

struct Object {
  std::string name;
  std::vector<std::string> instances;  // named instances in order of first appearance
  std::vector<std::string> counters;   // in order of first appearance
  std::unordered_map<std::string, int> instanceIndex;  // lower-case name -> index + 1 (0: none)
  std::unordered_map<std::string, int> counterIndex;   // lower-case name -> index
  std::unordered_map<uint64_t, Value> values;          // Key(instance slot, counter)

  static uint64_t Key(int instanceSlot, int counter) {
    return (static_cast<uint64_t>(instanceSlot) << 32) | static_cast<uint32_t>(counter);
  }
  // Slot of an instance name: 0 for "" (no instance), index + 1 for a named one, -1 if unknown.
  int InstanceSlot(const std::string& instance) const;
  int CounterSlot(const std::string& counter) const;  // -1 if unknown
  bool HasNoInstanceRows() const { return hasNoInstance; }
  bool hasNoInstance = false;  // some line had an empty instance
};

struct Snapshot {
  std::vector<Object> objects;
  std::unordered_map<std::string, int> objectIndex;  // lower-case name -> index
  int skippedLines = 0;

  const Object* Find(const std::string& object) const;
};

std::string Lower(const std::string& text);

// Never throws on bad input; lines that do not fit are counted in skippedLines.
Snapshot ParseSnapshot(const std::string& text);

// "-12", "3.25", "+7", ".5": an optional sign, digits, an optional fraction. Nothing else.
bool ParseNumber(const std::string& text, Value* out);

}  // namespace pdhsi
