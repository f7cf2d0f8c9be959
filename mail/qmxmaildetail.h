// The mailbox and public folder details: the two background cycles that have the statistics tool
// qmxmbstat.exe (in the parent folder of the log directory) write the details files, the threads
// that run them, and the reading of the public folder file for its table.
#pragma once

#include "qmxmaildetail_portable.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>

#include "qmxtrace.h"

// The mailbox cycle: waits for QMX_MAILBOX_RUNTIME when it holds a time of day, then runs the tool
// every QMX_MBX_INFO_INTERVAL seconds. 0 when the interval, the server or the log directory is
// missing (or the interval is not a whole number of at least 1 second); 1 once the agent stops.
int GetMailBoxDetailex(void* context);

// The public folder cycle: runs the tool every QMX_MBX_INFO_INTERVAL seconds, at most every 300.
// 0 when the interval is missing or below 1; 1 once the agent stops.
int GetPublicFolderDetailsEx(void* context);

// The records of this release's public folder file, and the count of its line 1 as decimal text.
// false when there is no file for the release or it cannot be read.
bool ReadPublicFolderDetails(std::string* countText, std::vector<qmx::PublicFolderRecord>* records);

// The trace lines of one record, after the rule line.
void TracePublicFolderRecord(QmxTrace& qmx_trace, const char* rule, const qmx::PublicFolderRecord& r);

// A whole details file, read while the tool may replace it; false when it cannot be opened.
bool ReadDetailsFile(const std::string& path, std::string* text);

// Runs the statistics tool and waits at most boundMs; beyond that the tool and everything it
// started are ended. true when it ran to its end.
bool RunDetailsTool(const std::string& commandLine, DWORD boundMs);
// How long a cycle lets the tool run: its interval, at least 120 s.
DWORD DetailsToolBoundMs(long intervalSeconds);

// The clock of the first-run wait (the local time); tests put theirs in, null restores the system's.
using LocalClock = void (*)(SYSTEMTIME* now);
void SetDetailsClock(LocalClock clock);

// The thread bodies (thread parameter ignored).
unsigned __stdcall MailBoxInfoThread(void* unused);
unsigned __stdcall PublicFolderDetailThread(void* unused);

#endif
