// Test helpers for the Windows build: run a program and capture what it writes, find the build's
// binaries, make temporary folders.
#pragma once

#include <windows.h>

#include <string>

namespace qmxtest {

struct ProcessResult {
  DWORD exitCode = 0;
  std::string out;
  std::string err;
  bool timedOut = false;
};

// Directory of the running test executable (build/win/bin), with a trailing backslash.
std::string BinDir();

// Runs "command line" with its standard output and error captured; waits at most timeoutMs.
ProcessResult Run(const std::string& commandLine, DWORD timeoutMs = 60000);

// A fresh folder under the temporary directory.
std::string MakeTempDir(const std::string& stem);

std::string ReadWholeFile(const std::string& path);

}  // namespace qmxtest
