// Directory access: every read of the directory goes through this layer.
//
// A DirectorySession initialises COM on the calling thread for one operation and uninitialises it
// at its end; no directory object outlives the call that made it. Binds name the server of
// QMX_AD_SERVER when it is set (serverless otherwise) and use the identity of QMX_AD_BIND,
// QMX_AD_USER and QMX_AD_PASSWORD (the agent's own, securely, by default).
//
// Two routes read objects. On Windows IADs::Get/GetEx and container enumeration answer; where
// the ADSI provider answers "not implemented" (or cannot find a property in its cache), the same
// values are read through IDirectorySearch instead: a base-scope search of the one object, a
// one-level search for a container's children. The switch is chosen from the error, traced once
// per process, and gives the same values.
#pragma once

#include "qmxactdir_portable.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>

namespace qmx::ad {

// One attribute as read: its values as text (strings, distinguished names) or integers.
struct Value {
  std::wstring name;
  bool integer = false;          // integers fill `numbers`, everything else `texts`
  bool known = true;             // false: a syntax the layer does not read
  std::vector<std::wstring> texts;
  std::vector<long long> numbers;
  size_t count() const { return integer ? numbers.size() : texts.size(); }
  // The first value as an integer: an integer value, or a text that spells a whole decimal number.
  bool FirstInteger(long long* out) const;
};

// One search row: its columns in the order the directory gave them. A failed column read ends
// the row; columnError then holds its code.
struct Row {
  std::vector<Value> columns;
  HRESULT columnError = S_OK;
  bool badParameterEnd = false;  // the column walk ended with E_ADS_BAD_PARAMETER
  const Value* Find(const wchar_t* name) const;  // exact spelling of the attribute name
};

enum class Prefs { Standard, Paged };

// Where a search stopped.
enum class Step { None, Com, OpenRootDSE, ReadContext, BindSearch, Preferences, Execute, FirstRow };

struct SearchResult {
  HRESULT hr = S_OK;
  Step failed = Step::None;
  std::vector<Row> rows;
};

// A child of a container.
struct Child {
  std::wstring dn;         // distinguished name (as the directory spells it)
  std::wstring rdn;        // "CN=DB01"
  std::wstring className;  // most specific class
};

class DirectorySession {
 public:
  DirectorySession();   // CoInitialize and the QMX_AD_* settings
  ~DirectorySession();  // CoUninitialize
  DirectorySession(const DirectorySession&) = delete;
  DirectorySession& operator=(const DirectorySession&) = delete;

  HRESULT comResult() const { return com_; }

  // "LDAP://" [server "/"] dn; dn "rootDSE" for the root.
  std::wstring Path(const std::wstring& dn) const;
  // Binds the object for the interface with the session's identity.
  HRESULT Bind(const std::wstring& dn, REFIID iid, void** out) const;

  // A naming context of the root DSE ("configurationNamingContext", "defaultNamingContext").
  HRESULT NamingContext(const wchar_t* attribute, std::wstring* out, Step* failed = nullptr) const;

  // The search sequence under the configuration naming context (or under `baseDn` when given),
  // subtree scope. attributes null: all attributes.
  SearchResult Search(Prefs prefs, const std::wstring& filter,
                      const std::vector<std::wstring>* attributes,
                      const std::wstring* baseDn = nullptr) const;

  // The values of attributes of one object (IADs::Get, GetEx for `multi`), with the second route.
  // An attribute the object does not carry is left out of *out. The result is the bind's or the
  // search's code.
  HRESULT Read(const std::wstring& dn, const std::vector<std::wstring>& attributes,
               std::vector<Value>* out) const;

  // The children of a container, in the directory's order.
  HRESULT Children(const std::wstring& dn, std::vector<Child>* out) const;

  // The distinguished name of a directory path ("LDAP://server/DN" or "LDAP://DN").
  static std::wstring DnOfPath(const std::wstring& path);

 private:
  HRESULT SearchAt(const std::wstring& baseDn, int scope, const std::wstring& filter,
                   const std::vector<std::wstring>* attributes, Prefs prefs,
                   SearchResult* result) const;
  HRESULT ReadBySearch(const std::wstring& dn, const std::vector<std::wstring>& attributes,
                       std::vector<Value>* out) const;
  HRESULT ChildrenBySearch(const std::wstring& dn, std::vector<Child>* out) const;

  HRESULT com_;
  bool comOwned_ = false;
  std::wstring server_;
  std::wstring user_;
  std::wstring password_;
  DWORD flags_;
};

// Traces a failed directory call: "HResult: 0x%x, Return Code: %s, Msg: %s".
void TraceAdsError(const char* function, HRESULT hr);

}  // namespace qmx::ad

// The distinguished name of the first object the filter matches under the configuration naming
// context, written into out (size bytes). 0 on success (out untouched when nothing matched),
// S_ADS_NOMORE_COLUMNS when the object has no distinguished name, a negative code on failure.
long getRequiredClassDN(void* context, const char* filter, char* out, size_t size = 512);

// The Exchange servers and their role texts; *count is the number of records.
std::vector<ServerRoleRecord> GetServerRolesActiveDirectoryData(void* context, int* count);

// Writes "topology_details.log" in `directory` from the records: a temporary file in the same
// folder replaces the old one in one step. 0 or a Win32 error code.
DWORD WriteTopologyFile(const std::string& directory, const std::vector<ServerRoleRecord>& records);

// One topology round: the servers, then the file when there is at least one. Returns the count.
int TopologyRound(const std::string& directory);

// The topology loop of the topology thread; returns 0 only when collection is not configured.
int GetRoleBasedActiveDirectoryDataEx(void* context);

// The topology thread's body (thread parameter ignored).
unsigned __stdcall TopologyThread(void* unused);

#endif
