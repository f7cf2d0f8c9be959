// The script machinery: writing a built-in script into the log directory (CreateScript), running
// it and condensing its output file (RunProcess), and the status operations built on it.
//
// Every run is bounded by ScriptRunBoundMs(): the larger of 120 s and QMX_INTERVAL. A script
// that is still running then has its whole process tree ended; the run counts as failed.
#pragma once

#include <windows.h>

#include <string>

#include "qmxprocess.h"
#include "qmxscripts_portable.h"

using RunEnd = qmx::RunEnd;

// Runs a command line in a job of its own and waits for it at most boundMs; beyond that the
// whole process tree is ended (qmx::RunBounded), and traces how it went. With pipeOutput the
// program is started directly and its standard output read to its end, of which the first
// maxOutput bytes are kept; without, the line runs through the command interpreter. The trace
// names the command by `shown` when given (a command line may carry a secret).
RunEnd RunBounded(const std::string& commandLine, DWORD boundMs, std::string* pipeOutput,
                  size_t maxOutput = SIZE_MAX, const std::string* shown = nullptr);

// RunBounded with output, as a code: 0 ended, 1 not started, 2 ended after the bound.
int RunCommandBounded(const std::string& commandLine, const std::string& shown, DWORD boundMs,
                      size_t maxOutput, std::string* output);

// The store-status script lock, a critical section created by main. While none is set the store
// script is not run (its existing output is read).
void SetScriptLock(CRITICAL_SECTION* lock);

// The larger of 120 s and the sampling interval QMX_INTERVAL, in milliseconds.
DWORD ScriptRunBoundMs();

// The mailbox details script is rewritten once after every start; tests start again here.
void ResetScriptUpgradeFlag();

// Writes <directory>\<name><extension> when it is missing, names another server, or (mailbox
// details) once per start; gives the script and output paths. 0, or 99 when the server name is
// empty or not a host name, the directory is unusable or the file cannot be written.
int CreateScript(const char* scriptName, const char* directory, const char* serverName,
                 std::string* scriptPath, std::string* outputPath);

// Runs the script (the store script only when its output is not fresh and the script lock is
// free) and condenses its output file into *result. 0, or 99 with an empty result when the run
// failed, did not end within boundMs, or the output cannot be read.
int RunProcess(const char* scriptName, const std::string& scriptPath, const std::string& outputPath,
               std::string* result, DWORD boundMs);
int RunProcess(const char* scriptName, const std::string& scriptPath, const std::string& outputPath,
               std::string* result);

// The condensed store status text ("Storage Group=..;Mailbox Store=..;Status=0;..."). 0, or 99
// with an empty text (no mailbox role on 2010, script not written or run).
int CheckMailboxStoreStatus(std::string* result, const char* directory, const char* serverName);
// Release 3 only (otherwise 0 with an empty text): the condensed clustered server text.
int CheckClusteredMailboxServerStatus(std::string* result, const char* directory,
                                      const char* serverName);
// Release 3 only: runs the load-balancing script; its output "nlbStatus.log" is read by the
// table itself, the text stays empty.
int GetNLBStatus(std::string* result, const char* directory, const char* serverName);
