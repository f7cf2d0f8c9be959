// The mailbox statistics tool's parts that need no operating system: its command line, the
// management-shell scripts it runs, the reader of what those scripts write, the size units and
// the details files it writes.
//
// What a script writes (UTF-8, one record per line, fields separated by a tab; the script turns
// tabs and line ends inside a value into blanks):
//   M <name> <storage group> <database> <items> <size> <quota> <last logon> <address>
//   P <name> <storage group> <database> <items> <size> <last access>
//   E <number of records before it>
// Numbers are decimal; sizes in bytes. An empty number means "no statistics" (0); an empty quota
// means no limit. Times are the server's local time as yyyyMMddHHmmss, or empty (never). The end
// record comes last: without it the run did not finish.
//
// Details files (CRLF lines, fields separated by ";"):
//   mailboxes       # Mailbox Details - Total Mailboxes:'<N>' ...
//                   <name>;<storage group>;<database>;<items>;<size MB>;<quota in tenths of MB>;<last logon>;<address>
//   public folders  # Public Folder Details - Total Public Folders:'<N>' ...
//                   <name>;<storage group>;<database>;<items>;<size MB, two decimals>;<last access>
// MB are 1,048,576 bytes, cut toward zero; a quota of 0 means no limit. Times are row time
// stamps (years since 1900 in three digits, month, day, hour, minute, second, "000"), empty for
// never. Texts: ";" becomes U+FF1B, a "#" that would begin a line U+FF03, control characters
// blanks, bytes that are not UTF-8 "?"; then cut to kMaxTextBytes at a character boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmx {
namespace mbstat {

enum class Mode { kMailboxes, kPublicFolders };

// One entry per mode and per Exchange release: the command line words, the script parts.
struct ModeEntry {
  Mode mode;
  const char* option;       // "-mailboxdetails"
  const char* const* body;  // the script lines between the common start and end
  char tag;                 // record type letter
  size_t fields;            // fields of its record, the type letter included
};
struct ReleaseEntry {
  const char* version;  // command line word: "2007", "2010"
  const char* snapin;   // the Exchange management shell's snap-in of that release
};
const std::vector<ModeEntry>& Modes();
const std::vector<ReleaseEntry>& Releases();
// The script lines every mode's script begins and ends with (null-terminated).
const char* const* ScriptStart();
const char* const* ScriptEnd();

constexpr unsigned kDefaultTimeoutSeconds = 3600;
constexpr unsigned kMaxTimeoutSeconds = 86400;

struct Arguments {
  const ModeEntry* mode = nullptr;
  const ReleaseEntry* release = nullptr;
  std::string server;
  std::string file;
  unsigned timeoutSeconds = kDefaultTimeoutSeconds;
};

extern const char kUsage[];

// [-timeout <seconds>] -mailboxdetails|-publicfolderdetails <2007|2010> <server> <file>. False
// with a one-line reason for anything else (an unknown release such as "N/A" included).
bool ParseArguments(const std::vector<std::string>& args, Arguments* out, std::string* error);

// A PowerShell single-quoted literal of UTF-8 text: every single quotation mark (the four
// PowerShell accepts as one) doubled.
std::string PowerShellLiteral(const std::string& utf8);

// The script of a run, in UTF-8: the common start (snap-in, preferences, output file), the mode's
// body, the common end (end record). The server must be a host name.
std::string BuildScript(const ModeEntry& mode, const ReleaseEntry& release, const std::string& server,
                        const std::string& recordsPathUtf8);

std::string Base64(const std::string& bytes);

// "PowerShell.exe -NoLogo -NoProfile -NonInteractive -EncodedCommand <base64>": the script
// travels UTF-16LE in base64, so no quoting of the command line can change it and no script file
// or execution policy is involved.
std::string ShellCommandLine(const std::string& scriptUtf16le);

struct MailboxRecord {
  std::string name, storageGroup, database;
  uint64_t items = 0;
  uint64_t sizeBytes = 0;
  bool unlimited = true;
  uint64_t quotaBytes = 0;
  std::string lastLogon;  // yyyyMMddHHmmss or empty
  std::string address;
};

struct FolderRecord {
  std::string name, storageGroup, database;
  uint64_t items = 0;
  uint64_t sizeBytes = 0;
  std::string lastAccess;  // yyyyMMddHHmmss or empty
};

constexpr size_t kMaxRecordLine = 65536;
constexpr size_t kMaxRecords = 1000000;

// Reads what a script wrote, fed in chunks of any size. The first fault ends the reading: a line
// of another record type or field count, a number or time out of shape, a line longer than
// kMaxRecordLine, more records than the bound, anything after the end record, a missing end
// record or one with another count.
class RecordReader {
 public:
  explicit RecordReader(const ModeEntry& mode, size_t maxRecords = kMaxRecords)
      : mode_(mode), maxRecords_(maxRecords) {}
  void Feed(const char* data, size_t size);
  // True when the whole output was read in shape; otherwise *error says why, naming the line.
  bool Finish(std::string* error);
  const std::vector<MailboxRecord>& mailboxes() const { return mailboxes_; }
  const std::vector<FolderRecord>& folders() const { return folders_; }

 private:
  void Line(const std::string& line);
  void Fail(const std::string& why);

  const ModeEntry& mode_;
  const size_t maxRecords_;
  std::string partial_;
  bool ended_ = false;
  size_t lineNo_ = 0;
  std::string error_;
  std::vector<MailboxRecord> mailboxes_;
  std::vector<FolderRecord> folders_;
};

// Size units of the details files, saturated at the tables' 32-bit range.
int32_t Saturated32(uint64_t value);
int32_t WholeMegabytes(uint64_t bytes);
int32_t TenthsOfMegabyte(uint64_t bytes);
// "12.34": megabytes with two decimals, cut toward zero.
std::string MegabytesTwoDecimals(uint64_t bytes);

// yyyyMMddHHmmss as a row time stamp ("20111109142533" gives "1111109142533000"); empty for an
// empty time or a year outside 1900 to 2899.
std::string RowTime(const std::string& time);

constexpr size_t kMaxTextBytes = 240;
// A text made fit for a details field (see the top of this file). first: the line's first field.
std::string DetailsText(const std::string& text, bool first);

std::string MailboxDetailsText(const std::vector<MailboxRecord>& records);
std::string PublicFolderDetailsText(const std::vector<FolderRecord>& records);

}  // namespace mbstat
}  // namespace qmx
