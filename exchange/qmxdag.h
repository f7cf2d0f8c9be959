// Database availability groups and the copies of mailbox databases, read from the directory.
#pragma once

#ifdef _WIN32
#include <cstdint>
#include <string>
#include <vector>

// One copy of a mailbox database on this server.
struct MailboxCopyRecord {
  int32_t replayLag = 0;             // the directory value (seconds)
  int32_t activationPreference = 0;  // 1 = first
  std::string database;
  std::string status;                // "Active" or "Passive"
};

// Name, member count and witness server of the first availability group. 0 on success.
long GetDAGInfo(void* context, std::string* name, int* memberCount, std::string* witness);

// The number of private database copies named after `server` among the children of the
// container `containerDn`: 0 when at least one was counted, else the last result code.
long GetCopyCount(void* context, const std::string& server, const std::wstring& containerDn,
                  int* count);

// The copies of mailbox databases on `server`. *count is the number of records filled.
long GetMailboxCopyStatus(void* context, int* count, const std::string& server,
                          std::vector<MailboxCopyRecord>* records);
#endif
