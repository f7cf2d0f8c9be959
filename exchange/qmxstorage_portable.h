// The parts of the storage layer that need no operating system: which directory objects are this
// server's storage groups and databases, the database record text (built and read), the database
// summary text, the storage group figures and the persisted growth value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qmxstorage.h"

namespace qmx::storage {

// The ";" walk of the record, summary and history texts: each step yields the text up to the
// next ";" (or the rest), and the walk ends after the step that found none. "" gives nothing;
// "a;" gives "a" and "".
std::vector<std::string> Tokens(const std::string& text);

// A directory value as a field of a ";"-joined text: every ";" becomes "_" (the texts have no
// escape, and a ";" inside a name would shift every field after it).
std::string FieldText(const std::string& value);

// The value of the first relative name of a distinguished name without its "CN=" (any case),
// blanks trimmed: the owning server of "CN=EX01,CN=Servers,...". Empty without "CN=".
std::string OwningServer(const std::string& dn);
// The distinguished name of a directory path ("LDAP://host/DN", "LDAP://DN" or a DN).
std::string DnOfAdsPath(const std::string& path);
// The relative names of a distinguished name, unescaped, in order ("CN=A\,B,CN=C" gives
// "CN=A,B" and "CN=C").
std::vector<std::string> RelativeNames(const std::string& dn);
// The "CN=" value of the component after an object's own in its path (its container): the
// storage group of a 2007 database. Empty when there is none.
std::string ParentName(const std::string& adsPath);
// True when a distinguished name has the component "CN=<server>" (any case): the object lies
// under that server. Whole components only, so EX1 does not take EX10's objects.
bool UnderServer(const std::string& dn, const std::string& server);
// True when the path has a component "CN=InformationStore": the place of a 2007 storage
// group's database, under a server.
bool UnderInformationStore(const std::string& adsPath);

// What the directory says of one storage group.
struct StorageGroupObject {
  std::string name;
  std::string dn;
  std::string baseName;  // msExchESEParamBaseName
};

// The names of the server's storage groups, in the directory's order. Releases 1 and 3 leave
// out recovery groups (base name "R00").
std::vector<std::string> ServerStorageGroups(const std::vector<StorageGroupObject>& groups,
                                             const std::string& server, int release);

// What the directory says of one database (integer attributes as the decimal text read).
struct DatabaseObject {
  std::string adsPath;
  std::string name;
  std::string edbFile;
  std::string slvFile;
  std::string hardQuota;
  std::string warningQuota;
  std::string storageQuota;
  std::string owningServer;  // msExchOwningServer as read
  int32_t mailboxes = 0;     // homeMDBBL values
};

// The record text of the server's databases of one type ('M' mailbox, 'P' public folders).
// Owning server equal to `server` (any case). Release 5: the server's name as the group, only
// objects outside a server's information store and one object per database name (Exchange 2010
// keeps its databases in the administrative group's Databases container; a 2007 object left
// under an old storage group would count a database twice). Other releases: the group is the
// container in the path, and objects under "CN=POLICIES" are left out. `groups` (mailbox, for
// releases 1 and 3): a database counts only when its group is listed, and every listed group
// without a mailbox database is appended as "<group>;;;;;;;;M".
std::string DatabaseRecordText(const std::vector<DatabaseObject>& objects, const std::string& server,
                               int release, char type, const std::vector<std::string>* groups);

// The record text read back: 8 fields a record when any field is "P", else 9; the group of
// release 5 becomes "Undefined". A record whose type field is not the expected "M" or "P" (a
// field missing or one too many before it) is left out, traced. Sizes are left 0.
std::vector<DbFileRecord> ParseRecordText(const std::string& text, int release);

// Free and total megabytes of a drive ("M:"); false when the drive could not be read.
using DriveSpaceQuery = std::function<bool(const std::string& drive, double* freeMB, double* totalMB)>;

// The drive of a path: its first two characters when they are a letter and ":", else empty.
std::string DriveOf(const std::string& path);

// The database summary text: per distinct database name (in order of first appearance) the name,
// the summed sizes of its records, and the free and total megabytes of the drives of its files
// not yet counted earlier in this call. Records without a database name (the entry of a group
// without a database) have no entry.
std::string SummaryText(const std::vector<DbFileRecord>& records, const DriveSpaceQuery& space);

// The storage groups of the records, in order of first appearance (mailbox records first): size
// (the database and streaming files of its databases), mailboxes (of its mailbox databases) and
// free space: free / total megabytes x 10000 over the distinct drives of its files, -1 when none
// could be read. Previous size and growth are left 0.
std::vector<StorageGroupDetails> GroupFigures(const std::vector<DbFileRecord>& mailbox,
                                              const std::vector<DbFileRecord>& pub,
                                              const DriveSpaceQuery& space);

// Growth in percent since the previous size: 0 unless the previous size is above 0 and the size
// exceeds it by more than 1 byte.
double Growth(double size, double previous);

// The persisted growth value of a storage group. One line per owner (an agent instance and the
// server it watches): "size;growth;time;owner" with the 24-character time. Two instances on one
// host (two clustered servers, or two agents) keep their own lines in the one value; a line
// without an owner (written before owners were kept) stands in for a missing line of ours.
// The previous size of `owner`: the first field of its line when that line holds a time (":"),
// else 0; a field that is not a finite, non-negative number gives 0.
double PreviousSize(const std::string& stored, const std::string& owner);
// The value with the line of `owner` replaced (first) and the other owners' lines kept while the
// value stays within maxChars; lines without an owner are dropped.
std::string PersistedValue(const std::string& stored, const std::string& owner, double size,
                           double growth, const std::string& time24, size_t maxChars = 1000);
// An owner text fit for a line: ";", line ends and NULs become "_", cut to 160 characters.
std::string OwnerText(const std::string& text);

}  // namespace qmx::storage

namespace qmx::storage {
// A figure of a row: truncated toward zero, held within 32 bits; not a number gives -1.
int32_t RowFigure(double value);
}  // namespace qmx::storage
