// JBX_RAS1 level grammar, kept apart from the I/O so it can be tested on its own.
//
//   levels := words? clause* ('>' output)?
//   clause := '(' 'UNIT:' prefix words ')'
//   words  := word+      word := ERROR | FLOW | STATE | DETAIL | ENTRY | EXIT | ALL | NONE
//
// Words are case-insensitive and add up. A clause sets the level of every unit whose source file
// name starts with the prefix (case-insensitive); the longest matching prefix wins. An empty or
// missing text means ERROR. Anything not understood makes the whole text ERROR only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace jbx {

struct UnitClause {
  std::string prefix;  // lower case
  uint32_t level;
};

struct LevelSpec {
  uint32_t global = 0x80;
  std::vector<UnitClause> units;
  std::string output;  // text after '>', trimmed; empty when none
  bool valid = true;
  std::string error;   // why the text was not understood
};

LevelSpec ParseLevelSpec(const std::string& text);

// Level for a unit given by its source file path (directories and extension are ignored).
uint32_t LevelForUnit(const LevelSpec& settings, const std::string& filePath);

// The file name of a path without directories and extension, lower case.
std::string UnitName(const std::string& filePath);

}  // namespace jbx
