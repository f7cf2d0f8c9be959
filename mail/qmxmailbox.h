// The mail reachability test: the cycle of the reachability thread, the mail tool runs, the
// directory look-ups of the sender's and the targets' mailboxes, and the results file.
#pragma once

#include <string>
#include <vector>

#include "qmxmailbox_portable.h"

#ifdef _WIN32
#include <windows.h>

// The mail tool's path: the log directory's parent, "\qmxews.exe".
std::string MailToolPath(const std::string& logDirectory);

// The home server of the mailbox with that mail address, followed by its DNS domain
// ("...cn=EXCH01.CORP.EXAMPLE"); empty when the directory has none. Mode 1 only.
std::string GetActiveDirectoryUserData(const std::string& address, int mode);

// The sender's mail address (the "mail" of the user QMX_EXCH_USERID under CN=Users). 0 and the
// address, or the failing status.
long GetUserEmailFromAD(std::string* mail);

// One target: up to threshold / 30 s runs of the mail tool, 30 s apart, until a reply counts.
// *result holds the target's record(s) as ";"-joined fields. Returns 0.
int CheckEmailResponse(const std::string& target, const char* threshold, const char* password,
                       std::string* result);

// Every target of QMX_EMAIL_ADDRESSES in order; *result the joined records. Returns 0.
int TestReachability(const char* password, std::string* result);

// One cycle's records; *count their number as decimal text (when given).
std::vector<qmx::reach::ReachRecord> GetEmailResponseTime(std::string* count);

// Replaces "MailBox_Reachability_Results.log" in `directory` in one step (temporary file, then
// move). 0 or a Win32 error code.
DWORD WriteReachabilityFile(const std::string& directory,
                            const std::vector<qmx::reach::ReachRecord>& records);

// The whole text of a results file, opened so that the cycle can replace it meanwhile (the
// reader keeps the old file's text). False when it cannot be opened.
bool ReadResultsText(const std::string& path, std::string* text);

// The cycle loop; returns 0 only when the interval or the server name is not set.
int RunReachability(void* context);

// The reachability thread's body (thread parameter ignored).
unsigned __stdcall ReachabilityThread(void* unused);

// The waits of the cycle (between attempts and between cycles) and the bound of one tool run.
// Tests replace them so that nothing waits for real; a wait that answers false ends the cycle
// loop, which the agent's own wait never does.
struct ReachabilityWaits {
  bool (*wait)(DWORD ms) = nullptr;  // null: Sleep
  DWORD toolBoundMs = 0;             // 0: the threshold plus one attempt spacing
};
void SetReachabilityWaits(const ReachabilityWaits& waits);

#endif
