// The shipped counter set definitions as text: the strings the executable's string table holds.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qmx {

constexpr int kRowHeaderStringId = 240;  // 240 to 242: the row header description

// Ids of the 63 definitions (first string of each), ascending.
const std::vector<int>& CounterSetIds();

// The five strings of definition `id` (header, sizes, offsets, scales, types), or the three
// strings of the row header for 240. False, with *out emptied, for any other id.
bool CounterSetStrings(int id, std::vector<std::string>* out);

// Every string id the definitions occupy with its text, ascending: 240 to 242, then N to N+4 of
// each definition.
std::vector<std::pair<int, std::string>> CounterSetResourceStrings();

// The table whose layout definition `id` takes (1041 takes table 57's), 0 for 986, -1 when `id`
// is no definition.
int CounterSetLayoutTable(int id);

}  // namespace qmx
