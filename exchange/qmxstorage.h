// Storage groups, stores and log files of this server: what the directory says about them, the
// sizes of their files and the space of the disks under them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One database (store) as built from the directory's record text.
struct DbFileRecord {
  std::string storageGroup;  // "Undefined" on release 5
  std::string name;
  std::string edbPath;       // database file
  std::string stmPath;       // streaming file
  int32_t hardQuota = 0;
  int32_t warningQuota = 0;
  int32_t storageQuota = 0;
  int32_t mailboxes = 0;     // mailbox databases only
  char type = 'M';           // 'M' mailbox, 'P' public folders
  double sizeBytes = 0;      // database and streaming file together
};

// One storage group as table 12 reports it.
struct StorageGroupDetails {
  std::string name;
  double sizeBytes = 0;
  double previousSizeBytes = 0;
  double freeHundredthsPercent = 0;
  double growthPercent = 0;
  int32_t mailboxes = 0;
};

#ifdef _WIN32
// The server's storage groups, joined by ";". 0, or a non-zero code when the search failed.
long GetStorageGroupNames(void* context, const std::string& server, std::string* names);

// The record texts of the server's mailbox and public folder databases. 0 on success, 99 when
// the record text is empty; *code and *message are "0" and "OK" unless a directory step failed.
long GetPrivateStoreActiveDirectoryData(void* context, const std::string& server,
                                        const std::string& storageGroups, std::string* code,
                                        std::string* message, std::string* records, int flag);
long GetPublicStoreActiveDirectoryData(void* context, const std::string& server,
                                       const std::string& storageGroups, std::string* count,
                                       std::string* message, std::string* records);

// One record per database of the record text, sized from the file system; *count is their
// number as decimal text and *summary the database summary text.
std::vector<DbFileRecord> GetNumDBFiles(void* context, const std::string& records,
                                        std::string* count, std::string* summary);

// One record per storage group, with the growth kept in the registry; *count as above.
std::vector<StorageGroupDetails> GetStorGrpDetails(void* context, std::string* count);

// The server's log file paths: entries separated by ";" (release 5 reads them from the mailbox
// databases). 0 on success, 99 when the result is empty.
long GetLogFileActiveDirectoryData(void* context, const std::string& server, std::wstring* result);
long GetLogFileDataFromActiveDirectoryData(void* context, const std::string& server,
                                           std::wstring* result);
#endif
