// The parts of the mailbox and public folder details that need no operating system: reading the
// details files the statistics tool writes, the command lines that start it, the first-run wait of
// the mailbox cycle and the interval rules of both cycles.
//
// Details files (text, lines end with LF or CRLF; fields separated by ";"):
//   MailBox_Details.log             line 1 carries the mailbox count after its first apostrophe
//                                   ("# Mailbox Details - Number of Mailboxes '2'"); every line
//                                   whose first non-blank character is not "#" is a data line:
//                                   name;storage group;store;items;size;max size;last logon;address
//   PublicFolderDetails20xx.log     line 1 carries the folder count between its first two
//                                   apostrophes ("Public Folder Details - Number of Folders '2'");
//                                   the next lines are data lines:
//                                   name;storage group;store;items;size (decimal);last access
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmx {

// The count on line 1: the decimal number after the first apostrophe (up to the second one for
// public folders). 0 when there is none; saturated to the 32-bit range.
int32_t DeclaredCount(const std::string& firstLine);

// A decimal integer field: leading blanks, a sign and digits; anything after the digits is ignored,
// no digits give 0, a value beyond 32 bits is saturated.
int32_t DecimalField(const std::string& field);
// A decimal number field times 100, truncated toward zero ("12.345" gives 1234), exactly (no
// floating point) and saturated to 32 bits.
int32_t HundredthsField(const std::string& field);

// The first four fields of both files.
struct DetailsRecord {
  std::string name, storageGroup, store;  // empty storage group or store: "Undefined"
  int32_t items = 0;
};

struct MailboxRecord : DetailsRecord {
  int32_t size = 0;
  int32_t maxSize = 0;       // the file's value divided by 10, toward zero
  std::string lastLogon;     // exactly 16 characters: cut, or padded with blanks
  std::string address;
};

struct PublicFolderRecord : DetailsRecord {
  int32_t sizeHundredths = 0;
  std::string lastAccess;    // at most 16 characters
};

// Text fields of both tables: an empty storage group or store reads "Undefined".
std::string DefinedOr(const std::string& field);

// The mailbox rows of a whole file: at most the declared count, and never more than the data lines
// present (a count of 2000000000 or -5 reserves nothing).
std::vector<MailboxRecord> ParseMailboxDetails(const std::string& text);

// The public folder records of a whole file: up to the declared count of the lines after line 1,
// fewer when the file ends first. *declared receives the count of line 1.
std::vector<PublicFolderRecord> ParsePublicFolderDetails(const std::string& text, int32_t* declared);

// Exchange release code: 5 gives "2010", 3 "2007", anything else "N/A".
const char* ReleaseText(int release);
// "PublicFolderDetails2010.log" for release 5, "PublicFolderDetails2007.log" for 3, else empty.
std::string PublicFolderFileName(int release);
constexpr const char* kMailboxDetailsFile = "MailBox_Details.log";

// The folder of the statistics tool: the log directory up to its last backslash (or slash).
std::string ToolDirectory(const std::string& logPath);
// "\"<tool folder>\qmxmbstat.exe\" <option> <release text> <server> \"<details file>\"".
std::string DetailsCommandLine(const std::string& logPath, const char* option, int release,
                               const std::string& server, const std::string& detailsFile);

// The interval of a cycle in seconds, or -1 when the setting is missing, not a whole decimal
// number or below 1 (the cycle then does not run). Kept below 2^32 milliseconds.
long CycleInterval(const char* setting);
// The public folder cycle runs at most every 300 seconds.
long PublicFolderInterval(long interval);

// QMX_MAILBOX_RUNTIME: "HH:MM" with two digits each, hour 00 to 23, minute 00 to 59. false for
// anything else ("24:00", "7:5", "ab:cd", "23:60").
bool ParseRunTime(const char* text, int* hour, int* minute);

// Seconds from a local time of day to the next time the clock shows hour:minute, counted in whole
// minutes (the seconds of now do not count): 0 within the start minute, never a day or more.
long SecondsUntil(int hour, int minute, int nowHour, int nowMinute);

}  // namespace qmx
