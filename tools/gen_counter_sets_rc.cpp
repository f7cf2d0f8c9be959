// Writes the string table entries of the counter set definitions (ids 240 to 242 and the five
// strings of each definition) as resource script text: qmx_gen_counter_sets <output.rc>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "counter_set_strings.h"

namespace {

// Resource script quoting: a quote is doubled, a backslash and a line feed are escaped.
std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += "\"\"";
    else if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s output.rc\n", argv[0]);
    return 2;
  }
  std::ostringstream rc;
  rc << "// Counter set definitions and the row header description. Generated: do not edit.\n"
     << "STRINGTABLE\nBEGIN\n";
  for (const auto& s : qmx::CounterSetResourceStrings()) rc << "  " << s.first << " " << Quote(s.second) << "\n";
  rc << "END\n";
  // Only a changed text touches the file, so an unchanged table does not relink everything.
  std::ifstream old(argv[1], std::ios::binary);
  std::ostringstream current;
  current << old.rdbuf();
  if (old && current.str() == rc.str()) return 0;
  old.close();
  std::string tmp = std::string(argv[1]) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << rc.str();
    if (!out) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], tmp.c_str());
      return 1;
    }
  }
  if (std::rename(tmp.c_str(), argv[1]) != 0) {
    std::fprintf(stderr, "%s: cannot replace %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
