// Registry key class with a current position in the tree: move up and down, enumerate, delete
// whole subtrees. Also the owning key handle used by the small key wrappers (earegenv.h).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "qmxhandle.h"

// Sole owner of one registry key handle; predefined roots (HKEY_LOCAL_MACHINE, ...) are never
// closed, so a RegKey may hold one without harm.
using RegKey = qmx::UniqueRegKey;

// Counts and sizes of the current key (RegQueryInfoKeyA).
struct RegKeyInfo {
  DWORD subKeys = 0;
  DWORD maxSubKeyLen = 0;
  DWORD maxClassLen = 0;
  DWORD values = 0;
  DWORD maxValueNameLen = 0;
  DWORD maxValueLen = 0;
  DWORD securityDescriptorLen = 0;
  FILETIME lastWrite{};
};

// Ownership: the object owns its current key and, for a remote registry, its root; both are
// RegKey members, so every path (failure, destruction, reassignment) closes them exactly once.
// A copy never shares a handle: it opens its own handle to the same key (RegOpenKeyExA with an
// empty subkey, or reconnects the remote registry), so the two objects close independently.
class CRegistry {
 public:
  enum Result : uint32_t {
    kOk = 0,
    kAlreadyOpen = 1,
    kNothingToClose = 2,
    kNoKeyOpen = 3,
    kBufferTooSmall = 4,
    kBadRootOrPath = 5,
    kKeyNotFound = 6,
    kValueNotFound = 7,
    kWin32Failure = 8,
    kNoMoreEntries = 9,
    kOtherEnumeration = 10,
    kMissingBuffer = 13,
    kKeepOpenObject = 15,
    kInvalidHandle = 16,
    kHasSubkeys = 17,
    kRepositionFailed = 18,
    kSecurityAccepted = 999,
  };
  static constexpr size_t kMaxPath = 1024;
  static constexpr size_t kMaxClass = 512;
  static constexpr size_t kMaxMachine = 32;

  CRegistry();
  // Opens at once when a machine name or a root is given (see Open).
  CRegistry(const char* machine, HKEY root, const char* subkey, bool create = false);
  virtual ~CRegistry();
  // Copies the position and the attributes with handles of its own; enumeration starts afresh.
  CRegistry(const CRegistry& other);
  CRegistry& operator=(const CRegistry& other);

  // root 0 means HKEY_LOCAL_MACHINE; a machine name connects to that machine's registry
  // (HKEY_LOCAL_MACHINE or HKEY_USERS only).
  uint32_t Open(const char* machine, HKEY root, const char* subkey, bool create = false);
  // "\..." from the root, ".." to the parent, anything else below the current key.
  uint32_t Position(const char* path, bool create = false);
  uint32_t Close();

  uint32_t GetValue(const char* name, void* buffer, DWORD* type, DWORD* size);
  // Stores the text as REG_EXPAND_SZ, terminator included.
  uint32_t PutValue(const char* name, const char* text);
  uint32_t PutValue(const char* name, const void* data, DWORD type, DWORD size);
  uint32_t DeleteValue(const char* name);
  // Deletes path (below the current key, or from the root with a leading "\") and its subtree.
  // With keepValued, keys that hold values stay (result 17), and so do their ancestors.
  uint32_t DeleteKey(const char* path, bool keepValued);

  // The first call starts an enumeration (ascending from 0 or descending from the last entry),
  // the next ones continue it; 9 ends it. Sizes are in/out as for RegEnumValueA/RegEnumKeyExA.
  uint32_t EnumVals(char* name, DWORD* nameSize, BYTE* data, DWORD* dataSize, DWORD* type,
                    DWORD* index, bool descending);
  uint32_t EnumKeys(char* name, DWORD* nameSize, char* cls, DWORD* clsSize, FILETIME* lastWrite,
                    DWORD* index, bool descending);
  // path receives the current path (pathSize at least kMaxPath).
  uint32_t QueryKey(char* path, DWORD pathSize, RegKeyInfo* info);
  // Asynchronous when an event is given.
  uint32_t NotifyChange(bool watchSubtree, HANDLE event, DWORD filter);
  // Creation attributes for later Open/Position calls with the create flag.
  uint32_t Attributes(REGSAM access, DWORD options, const SECURITY_ATTRIBUTES* security,
                      const char* cls);
  // Whether path (from the root; a leading "\" is allowed) exists, through a second object.
  bool KeyExists(const char* path);
  // Any buffer may be null; 4 when one given is too short (it then holds a cut copy).
  uint32_t GetInfo(bool* isOpen, char* lastOperation, size_t lastOperationSize, char* path,
                   size_t pathSize, char* lastApi, size_t lastApiSize, DWORD* lastWin32,
                   char* machine, size_t machineSize) const;

  // With keep-open set, Close leaves the handles open (the destructor still closes them).
  void SetKeepOpen(bool on) { keepOpen_ = on; }

  bool IsOpen() const { return static_cast<bool>(current_); }
  HKEY Key() const { return current_.get(); }
  const std::string& CurrentPath() const { return path_; }
  DWORD LastWin32() const { return lastWin32_; }
  const char* LastOperation() const { return lastOperation_; }
  const char* LastApi() const { return lastApi_; }
  DWORD Disposition() const { return disposition_; }

 private:
  HKEY RootHandle() const;
  uint32_t Fail(const char* api, LONG rc);
  uint32_t OpenPath(const std::string& path, bool create, RegKey& out);
  uint32_t DeleteTree(const std::string& path, bool keepValued);
  void ResetEnumeration();
  enum { kEnumValues = 1, kEnumSubKeys = 2 };  // what enumKind_ holds while one runs
  // Starts an enumeration of this kind on its first call. kOk while an entry is left to read;
  // kNoMoreEntries (the enumeration reset) when none is; kOtherEnumeration during the other kind.
  uint32_t StepEnumeration(int kind, bool descending);
  // After an entry was read: the next index in the enumeration's direction.
  void AdvanceEnumeration();
  void CopyFrom(const CRegistry& other);

  std::string path_;           // current path below the root, no leading "\"
  std::string class_;          // class text for created keys
  RegKey current_;             // current key; may hold the (predefined) root itself
  RegKey remoteRoot_;          // connected remote root, empty for the local registry
  HKEY root_ = nullptr;        // predefined root the paths hang from
  std::string machine_;
  bool attributesSet_ = false;
  int enumKind_ = 0;           // 0 none, kEnumValues or kEnumSubKeys
  bool enumDescending_ = false;
  bool enumDone_ = false;      // descending enumeration passed index 0
  bool keepOpen_ = false;
  DWORD enumIndex_ = 0;
  const char* lastApi_ = "";
  DWORD lastWin32_ = 0;
  DWORD disposition_ = 0;
  const char* lastOperation_ = "";
  REGSAM access_ = KEY_ALL_ACCESS;
  DWORD options_ = 0;
  bool haveSecurity_ = false;
  SECURITY_ATTRIBUTES security_{};
};
