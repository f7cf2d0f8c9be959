// Points the trace library at this agent's own rotating log file: rewrites JBX_RAS1, JBX_RAS1_LOG and
// JBX_VARPREFIX before the tables are registered. Needs no operating system beyond the environment.
#pragma once

#include <string>

// The process-wide texts the functions below read and update.
struct Ras1EnvTexts {
  std::string traceValue;       // JBX_RAS1
  std::string logValue;         // JBX_RAS1_LOG
  std::string varPrefix = "$";  // JBX_VARPREFIX
  std::string pathName;         // directory part of the log file
  std::string baseName;         // file name stem
  std::string separator = "/";  // between directory and file
  std::string limit = "1";
  std::string maxFiles = "10";
  std::string count = "03";
};

Ras1EnvTexts& Ras1Env();
// Back to the initial values (tests start each case from them).
void ResetRas1Env();

// Reads the three variables (each only when set) and runs setTaskLogEnvVariables.
void setJbxRas1EnvironmentVariable(const char* unused);
void setTaskLogEnvVariables();
// Derives directory, base name, separator and LIMIT/MAXFILES/COUNT; returns the log directory.
std::string getLogPath();
// Sets name=value in the environment (the text stays allocated for the life of the process).
void setVar(const char* name, const std::string& value);

// The new JBX_RAS1_LOG value for a log directory, from the texts.
std::string BuildRas1LogValue(const Ras1EnvTexts& texts, const std::string& logDirectory);
