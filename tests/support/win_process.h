// Test helpers for the Windows build: run a program and capture what it writes, find the build's
// binaries, make temporary folders.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qmxtest {

struct ProcessResult {
  DWORD exitCode = 0;
  std::string out;
  std::string err;
  bool timedOut = false;
};

// Directory of the running test executable (build/win/test_bin), with a trailing backslash.
std::string BinDir();

// Directory of the shipped binaries (build/win/bin, beside test_bin), with a trailing backslash.
std::string ProductDir();

// Runs "command line" with its standard output and error captured; waits at most timeoutMs.
ProcessResult Run(const std::string& commandLine, DWORD timeoutMs = 60000);

// A fresh folder under the temporary directory.
std::string MakeTempDir(const std::string& stem);

std::string ReadWholeFile(const std::string& path);
// Writes the text as it is (binary), replacing what the file held.
void WriteWholeFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
// The lines of a text, each without its line end ("\n" or "\r\n").
std::vector<std::string> TextLines(const std::string& text);

// Every "*.log" file in a folder, one after the other (a trace log may rotate into several).
std::string ReadLogs(const std::string& dir);

// A folder of this machine's file system as Wine names it ("/a/b" gives "Z:\a\b").
std::string WinePath(const std::string& unixPath);

// Puts a folder first on this process's search path, which child processes inherit, for the
// owner's life (stand-ins in the place of programs Wine lacks).
class SearchPathFirst {
 public:
  explicit SearchPathFirst(const std::string& folder);
  ~SearchPathFirst();
  SearchPathFirst(const SearchPathFirst&) = delete;
  SearchPathFirst& operator=(const SearchPathFirst&) = delete;

 private:
  std::string old_;
};

}  // namespace qmxtest

namespace qmxtest {

// This machine's physical DNS host name, as the agent names its instance key.
std::string HostName();

// An agent environment for one test: a temporary configuration folder and log folder, and this
// host's instance key HKLM\SOFTWARE\Orvel\QMX\Ver610\<host> with the given Environment values.
// The whole instance tree is removed again at the end.
class AgentEnvironment {
 public:
  AgentEnvironment();
  ~AgentEnvironment();
  AgentEnvironment(const AgentEnvironment&) = delete;
  AgentEnvironment& operator=(const AgentEnvironment&) = delete;

  void SetValue(const std::string& name, const std::string& value);
  // Writes "<config>\<host, 15 characters>_ex.cfg".
  void WriteConfig(const std::string& text);
  const std::string& configDir() const { return config_; }
  const std::string& logDir() const { return logs_; }
  std::string instanceKey() const { return "SOFTWARE\\Orvel\\QMX\\Ver610\\" + HostName(); }

 private:
  std::string root_, config_, logs_;
};

}  // namespace qmxtest
