// What the test programs in the place of outside programs share (stand-ins, test tools): a data
// folder, named by an environment variable, into which they append how they were called and what
// was wrong, and from which they take what a test prepared.
#pragma once

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace qmxtool {

// The data folder; empty until the program sets it.
inline std::string& Data() {
  static std::string folder;
  return folder;
}

// The name errors are written under on standard error.
inline std::string& Name() {
  static std::string name = "test tool";
  return name;
}

inline std::string ReadAll(const std::string& path, bool* exists = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (exists) *exists = static_cast<bool>(in);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Appends one line to a file of the data folder.
inline void Append(const char* file, const std::string& text) {
  if (Data().empty()) return;
  std::ofstream out(Data() + "\\" + file, std::ios::binary | std::ios::app);
  out << text << "\n";
}

// Records why in errors.log and ends with the code.
[[noreturn]] inline void Fail(int code, const std::string& why) {
  Append("errors.log", why);
  std::fprintf(stderr, "%s: %s\n", Name().c_str(), why.c_str());
  ExitProcess(code);
}

// The command line after the program name (quoted or not), separators included.
inline std::string ArgumentsAfterProgram() {
  std::string line = GetCommandLineA();
  size_t i = 0;
  if (!line.empty() && line[0] == '"') {
    i = line.find('"', 1);
    i = i == std::string::npos ? line.size() : i + 1;
  } else {
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
  }
  return line.substr(i);
}

}  // namespace qmxtool
