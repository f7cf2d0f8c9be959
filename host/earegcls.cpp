// Registry key class.
#include "earegcls.h"

#include <cstring>

#include "qmxtrace.h"

namespace {

constexpr REGSAM kViewBits = KEY_WOW64_32KEY | KEY_WOW64_64KEY;

void StripSlashes(std::string& s) {
  size_t b = s.find_first_not_of('\\');
  if (b == std::string::npos) {
    s.clear();
    return;
  }
  size_t e = s.find_last_not_of('\\');
  s = s.substr(b, e - b + 1);
}

bool CopyText(const std::string& text, char* out, size_t size) {
  if (!out) return true;
  if (size == 0) return false;
  size_t n = text.size() < size ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
  return n == text.size();
}

bool IsLocalRoot(HKEY root) {
  return root == HKEY_CLASSES_ROOT || root == HKEY_CURRENT_USER || root == HKEY_LOCAL_MACHINE ||
         root == HKEY_USERS;
}

}  // namespace

CRegistry::CRegistry() = default;

CRegistry::CRegistry(const char* machine, HKEY root, const char* subkey, bool create) {
  if ((machine && *machine) || root) Open(machine, root, subkey, create);
}

CRegistry::~CRegistry() = default;

CRegistry::CRegistry(const CRegistry& other) { CopyFrom(other); }

CRegistry& CRegistry::operator=(const CRegistry& other) {
  if (this == &other) return *this;
  current_.reset();
  remoteRoot_.reset();
  CopyFrom(other);
  return *this;
}

void CRegistry::CopyFrom(const CRegistry& other) {
  path_ = other.path_;
  class_ = other.class_;
  root_ = other.root_;
  machine_ = other.machine_;
  attributesSet_ = other.attributesSet_;
  keepOpen_ = other.keepOpen_;
  access_ = other.access_;
  options_ = other.options_;
  haveSecurity_ = other.haveSecurity_;
  security_ = other.security_;
  lastOperation_ = "Copy";
  ResetEnumeration();
  // An empty subkey gives a new handle to the same key (the same value for a predefined root).
  if (other.remoteRoot_) {
    LONG rc = RegOpenKeyExA(other.remoteRoot_.get(), "", 0, access_, remoteRoot_.put());
    if (rc != ERROR_SUCCESS) {
      Fail("RegOpenKeyEx", rc);
      root_ = nullptr;
      path_.clear();
      return;
    }
  }
  if (other.current_) {
    LONG rc = RegOpenKeyExA(other.current_.get(), "", 0, access_, current_.put());
    if (rc != ERROR_SUCCESS) {
      Fail("RegOpenKeyEx", rc);
      remoteRoot_.reset();
      root_ = nullptr;
      path_.clear();
    }
  }
}

HKEY CRegistry::RootHandle() const { return remoteRoot_ ? remoteRoot_.get() : root_; }

uint32_t CRegistry::Fail(const char* api, LONG rc) {
  lastApi_ = api;
  lastWin32_ = static_cast<DWORD>(rc);
  return kWin32Failure;
}

void CRegistry::ResetEnumeration() {
  enumKind_ = 0;
  enumDescending_ = false;
  enumDone_ = false;
  enumIndex_ = 0;
}

uint32_t CRegistry::OpenPath(const std::string& path, bool create, RegKey& out) {
  HKEY root = RootHandle();
  LONG rc;
  if (create && !path.empty()) {
    lastApi_ = "RegCreateKeyEx";
    SECURITY_ATTRIBUTES sa = security_;
    rc = RegCreateKeyExA(root, path.c_str(), 0, class_.empty() ? nullptr : &class_[0], options_,
                         access_, haveSecurity_ ? &sa : nullptr, out.put(), &disposition_);
  } else {
    lastApi_ = "RegOpenKeyEx";
    rc = RegOpenKeyExA(root, path.c_str(), 0, access_, out.put());
  }
  lastWin32_ = static_cast<DWORD>(rc);
  return rc == ERROR_SUCCESS ? kOk : kWin32Failure;
}

uint32_t CRegistry::Open(const char* machine, HKEY root, const char* subkey, bool create) {
  QMX_ENTRY_NAMED("CRegistry::Open");
  lastOperation_ = "Open";
  if (current_ || remoteRoot_) QMX_RETURN(keepOpen_ ? kKeepOpenObject : kAlreadyOpen);
  if (!root) root = HKEY_LOCAL_MACHINE;
  if (machine && *machine) {
    if ((root != HKEY_LOCAL_MACHINE && root != HKEY_USERS) || std::strlen(machine) > kMaxMachine)
      QMX_RETURN(kBadRootOrPath);
    LONG rc = RegConnectRegistryA(machine, root, remoteRoot_.put());
    if (rc != ERROR_SUCCESS) QMX_RETURN(Fail("RegConnectRegistry", rc));
    machine_ = machine;
  } else {
    if (!IsLocalRoot(root)) QMX_RETURN(kBadRootOrPath);
    machine_.clear();
  }
  root_ = root;
  path_.clear();
  ResetEnumeration();
  // The root itself is the first current key.
  LONG rc = RegOpenKeyExA(RootHandle(), "", 0, access_, current_.put());
  if (rc != ERROR_SUCCESS) {
    uint32_t r = Fail("RegOpenKeyEx", rc);
    remoteRoot_.reset();
    root_ = nullptr;
    machine_.clear();
    QMX_RETURN(r);
  }
  if (subkey && *subkey) {
    uint32_t r = Position(subkey, create);
    lastOperation_ = "Open";
    if (r != kOk) {
      current_.reset();
      remoteRoot_.reset();
      root_ = nullptr;
      machine_.clear();
      path_.clear();
      QMX_RETURN(r);
    }
  }
  QMX_RETURN(kOk);
}

uint32_t CRegistry::Position(const char* path, bool create) {
  QMX_ENTRY_NAMED("CRegistry::Position");
  lastOperation_ = "Position";
  if (!current_) QMX_RETURN(kNoKeyOpen);
  if (!path || !*path) QMX_RETURN(kBadRootOrPath);
  std::string target;
  if (path[0] == '\\') {
    target = path;
  } else if (std::strcmp(path, "..") == 0) {
    if (path_.empty()) QMX_RETURN(kBadRootOrPath);
    size_t p = path_.rfind('\\');
    target = p == std::string::npos ? std::string() : path_.substr(0, p);
  } else {
    target = path_.empty() ? std::string(path) : path_ + "\\" + path;
  }
  StripSlashes(target);
  if (target.size() >= kMaxPath) {
    lastApi_ = "Position";
    lastWin32_ = ERROR_FILENAME_EXCED_RANGE;
    QMX_RETURN(kWin32Failure);
  }
  RegKey key;
  uint32_t r = target.empty() ? (RegOpenKeyExA(RootHandle(), "", 0, access_, key.put()) ==
                                         ERROR_SUCCESS
                                     ? kOk
                                     : kWin32Failure)
                              : OpenPath(target, create, key);
  if (r != kOk) QMX_RETURN(r);
  current_ = std::move(key);  // closes the previous key unless it was a predefined root
  path_ = target;
  ResetEnumeration();
  QMX_RETURN(kOk);
}

uint32_t CRegistry::Close() {
  QMX_ENTRY_NAMED("CRegistry::Close");
  lastOperation_ = "Close";
  if (keepOpen_) QMX_RETURN(kOk);
  if (!current_ && !remoteRoot_) QMX_RETURN(kNothingToClose);
  current_.reset();
  remoteRoot_.reset();
  root_ = nullptr;
  path_.clear();
  machine_.clear();
  disposition_ = 0;
  ResetEnumeration();
  QMX_RETURN(kOk);
}

uint32_t CRegistry::GetValue(const char* name, void* buffer, DWORD* type, DWORD* size) {
  QMX_ENTRY_NAMED("CRegistry::GetValue");
  lastOperation_ = "GetValue";
  if (!current_) QMX_RETURN(kNoKeyOpen);
  LONG rc = RegQueryValueExA(current_.get(), name, nullptr, type, static_cast<BYTE*>(buffer), size);
  lastApi_ = "RegQueryValueEx";
  lastWin32_ = static_cast<DWORD>(rc);
  if (rc == ERROR_SUCCESS) QMX_RETURN(kOk);
  if (rc == ERROR_FILE_NOT_FOUND) QMX_RETURN(kValueNotFound);
  QMX_RETURN(kWin32Failure);
}

uint32_t CRegistry::PutValue(const char* name, const char* text) {
  QMX_ENTRY_NAMED("CRegistry::PutValue");
  if (!text) text = "";
  QMX_RETURN(PutValue(name, text, REG_EXPAND_SZ, static_cast<DWORD>(std::strlen(text) + 1)));
}

uint32_t CRegistry::PutValue(const char* name, const void* data, DWORD type, DWORD size) {
  QMX_ENTRY_NAMED("CRegistry::PutValue");
  lastOperation_ = "PutValue";
  if (!current_) QMX_RETURN(kNoKeyOpen);
  LONG rc = RegSetValueExA(current_.get(), name, 0, type, static_cast<const BYTE*>(data), size);
  if (rc != ERROR_SUCCESS) QMX_RETURN(Fail("RegSetValueEx", rc));
  lastApi_ = "RegSetValueEx";
  lastWin32_ = 0;
  QMX_RETURN(kOk);
}

uint32_t CRegistry::DeleteValue(const char* name) {
  QMX_ENTRY_NAMED("CRegistry::DeleteValue");
  lastOperation_ = "DeleteValue";
  if (!current_) QMX_RETURN(kNoKeyOpen);
  LONG rc = RegDeleteValueA(current_.get(), name);
  lastApi_ = "RegDeleteValue";
  lastWin32_ = static_cast<DWORD>(rc);
  if (rc == ERROR_SUCCESS) QMX_RETURN(kOk);
  if (rc == ERROR_FILE_NOT_FOUND) QMX_RETURN(kValueNotFound);
  QMX_RETURN(kWin32Failure);
}

uint32_t CRegistry::DeleteTree(const std::string& path, bool keepValued) {
  RegKey key;
  LONG rc = RegOpenKeyExA(RootHandle(), path.c_str(), 0, KEY_READ | (access_ & kViewBits), key.put());
  if (rc == ERROR_FILE_NOT_FOUND) {
    lastApi_ = "RegOpenKeyEx";
    lastWin32_ = static_cast<DWORD>(rc);
    return kKeyNotFound;
  }
  if (rc != ERROR_SUCCESS) return Fail("RegOpenKeyEx", rc);
  DWORD subKeys = 0, values = 0;
  rc = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                        nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return Fail("RegQueryInfoKey", rc);
  // Descending, so that deleting an entry does not shift the ones still to come.
  for (DWORD i = subKeys; i-- > 0;) {
    char name[256];
    DWORD nameLen = sizeof name;
    rc = RegEnumKeyExA(key.get(), i, name, &nameLen, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) continue;
    if (rc == ERROR_MORE_DATA) return kBufferTooSmall;
    if (rc != ERROR_SUCCESS) return Fail("RegEnumKeyEx", rc);
    std::string child = path + "\\" + std::string(name, nameLen);
    if (child.size() >= kMaxPath) return kBufferTooSmall;
    uint32_t r = DeleteTree(child, keepValued);
    if (r != kOk && r != kHasSubkeys && r != kKeyNotFound) return r;
  }
  rc = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                        nullptr, nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return Fail("RegQueryInfoKey", rc);
  if (subKeys > 0 || (keepValued && values > 0)) return kHasSubkeys;
  key.reset();
  rc = RegDeleteKeyExA(RootHandle(), path.c_str(), access_ & kViewBits, 0);
  if (rc != ERROR_SUCCESS) return Fail("RegDeleteKeyEx", rc);
  lastApi_ = "RegDeleteKeyEx";
  lastWin32_ = 0;
  return kOk;
}

uint32_t CRegistry::DeleteKey(const char* path, bool keepValued) {
  QMX_ENTRY_NAMED("CRegistry::DeleteKey");
  lastOperation_ = "DeleteKey";
  if (!current_) QMX_RETURN(kNoKeyOpen);
  if (!path || !*path) QMX_RETURN(kBadRootOrPath);
  std::string target =
      path[0] == '\\' || path_.empty() ? std::string(path) : path_ + "\\" + path;
  StripSlashes(target);
  if (target.empty()) QMX_RETURN(kBadRootOrPath);
  if (target.size() >= kMaxPath) QMX_RETURN(kBufferTooSmall);
  uint32_t r = DeleteTree(target, keepValued);
  if (r != kOk) QMX_RETURN(r);
  // When the current key went with the tree, the object moves to the parent of what was deleted.
  if (path_ == target || path_.compare(0, target.size() + 1, target + "\\") == 0) {
    size_t p = target.rfind('\\');
    std::string parent = p == std::string::npos ? std::string() : target.substr(0, p);
    RegKey key;
    LONG rc = RegOpenKeyExA(RootHandle(), parent.c_str(), 0, access_, key.put());
    if (rc != ERROR_SUCCESS) {
      Fail("RegOpenKeyEx", rc);
      QMX_RETURN(kRepositionFailed);
    }
    current_ = std::move(key);
    path_ = parent;
    ResetEnumeration();
  }
  QMX_RETURN(kOk);
}

uint32_t CRegistry::StepEnumeration(int kind, bool descending) {
  if (enumKind_ != 0 && enumKind_ != kind) return kOtherEnumeration;
  if (enumKind_ == 0) {
    enumKind_ = kind;
    enumDescending_ = descending;
    enumDone_ = false;
    enumIndex_ = 0;
    if (descending) {
      DWORD subKeys = 0, values = 0;
      LONG rc = RegQueryInfoKeyA(current_.get(), nullptr, nullptr, nullptr, &subKeys, nullptr,
                                 nullptr, &values, nullptr, nullptr, nullptr, nullptr);
      if (rc != ERROR_SUCCESS) {
        ResetEnumeration();
        return Fail("RegQueryInfoKey", rc);
      }
      const DWORD entries = kind == kEnumValues ? values : subKeys;
      if (entries == 0) enumDone_ = true;
      else enumIndex_ = entries - 1;
    }
  }
  if (enumDone_) {
    ResetEnumeration();
    return kNoMoreEntries;
  }
  return kOk;
}

void CRegistry::AdvanceEnumeration() {
  if (enumDescending_) {
    if (enumIndex_ == 0) enumDone_ = true;
    else --enumIndex_;
  } else {
    ++enumIndex_;
  }
}

uint32_t CRegistry::EnumVals(char* name, DWORD* nameSize, BYTE* data, DWORD* dataSize, DWORD* type,
                             DWORD* index, bool descending) {
  QMX_ENTRY_NAMED("CRegistry::EnumVals");
  lastOperation_ = "EnumVals";
  if (!current_) QMX_RETURN(kNoKeyOpen);
  if (!name || !nameSize || !data || !dataSize) QMX_RETURN(kMissingBuffer);
  const uint32_t step = StepEnumeration(kEnumValues, descending);
  if (step != kOk) QMX_RETURN(step);
  std::memset(name, 0, *nameSize);
  std::memset(data, 0, *dataSize);
  DWORD t = 0;
  LONG rc = RegEnumValueA(current_.get(), enumIndex_, name, nameSize, nullptr, &t, data, dataSize);
  lastApi_ = "RegEnumValue";
  lastWin32_ = static_cast<DWORD>(rc);
  if (rc == ERROR_NO_MORE_ITEMS) {
    ResetEnumeration();
    QMX_RETURN(kNoMoreEntries);
  }
  if (rc == ERROR_MORE_DATA) {
    // The entry stays current: a call with larger buffers gets it.
    QMX_ERROR("There is more data from registry entry but the buffer isn't big enough. dwEnumIndex = %d",
              static_cast<int>(enumIndex_));
    QMX_RETURN(kBufferTooSmall);
  }
  if (rc != ERROR_SUCCESS) QMX_RETURN(kWin32Failure);
  if (type) *type = t;
  if (index) *index = enumIndex_;
  AdvanceEnumeration();
  QMX_RETURN(kOk);
}

uint32_t CRegistry::EnumKeys(char* name, DWORD* nameSize, char* cls, DWORD* clsSize,
                             FILETIME* lastWrite, DWORD* index, bool descending) {
  QMX_ENTRY_NAMED("CRegistry::EnumKeys");
  lastOperation_ = "EnumKeys";
  if (!current_) QMX_RETURN(kNoKeyOpen);
  if (!name || !nameSize || (cls && !clsSize)) QMX_RETURN(kMissingBuffer);
  const uint32_t step = StepEnumeration(kEnumSubKeys, descending);
  if (step != kOk) QMX_RETURN(step);
  std::memset(name, 0, *nameSize);
  if (cls) std::memset(cls, 0, *clsSize);
  FILETIME ft{};
  LONG rc = RegEnumKeyExA(current_.get(), enumIndex_, name, nameSize, nullptr, cls,
                          cls ? clsSize : nullptr, &ft);
  lastApi_ = "RegEnumKeyEx";
  lastWin32_ = static_cast<DWORD>(rc);
  if (rc == ERROR_NO_MORE_ITEMS) {
    ResetEnumeration();
    QMX_RETURN(kNoMoreEntries);
  }
  if (rc == ERROR_MORE_DATA) QMX_RETURN(kBufferTooSmall);
  if (rc != ERROR_SUCCESS) QMX_RETURN(kWin32Failure);
  if (lastWrite) *lastWrite = ft;
  if (index) *index = enumIndex_;
  AdvanceEnumeration();
  QMX_RETURN(kOk);
}

uint32_t CRegistry::QueryKey(char* path, DWORD pathSize, RegKeyInfo* info) {
  QMX_ENTRY_NAMED("CRegistry::QueryKey");
  lastOperation_ = "QueryKey";
  if (!current_) QMX_RETURN(kNoKeyOpen);
  if (path && pathSize < kMaxPath) QMX_RETURN(kBufferTooSmall);
  RegKeyInfo k;
  LONG rc = RegQueryInfoKeyA(current_.get(), nullptr, nullptr, nullptr, &k.subKeys, &k.maxSubKeyLen,
                             &k.maxClassLen, &k.values, &k.maxValueNameLen, &k.maxValueLen,
                             &k.securityDescriptorLen, &k.lastWrite);
  if (rc != ERROR_SUCCESS) QMX_RETURN(Fail("RegQueryInfoKey", rc));
  lastApi_ = "RegQueryInfoKey";
  lastWin32_ = 0;
  if (path) CopyText(path_, path, pathSize);
  if (info) *info = k;
  QMX_RETURN(kOk);
}

uint32_t CRegistry::NotifyChange(bool watchSubtree, HANDLE event, DWORD filter) {
  QMX_ENTRY_NAMED("CRegistry::NotifyChange");
  lastOperation_ = "NotifyChange";
  if (!current_) QMX_RETURN(kInvalidHandle);
  LONG rc = RegNotifyChangeKeyValue(current_.get(), watchSubtree ? TRUE : FALSE, filter, event,
                                    event ? TRUE : FALSE);
  lastApi_ = "RegNotifyChangeKeyValue";
  lastWin32_ = static_cast<DWORD>(rc);
  if (rc == ERROR_SUCCESS) QMX_RETURN(kOk);
  if (rc == ERROR_INVALID_HANDLE) QMX_RETURN(kInvalidHandle);
  QMX_RETURN(kWin32Failure);
}

uint32_t CRegistry::Attributes(REGSAM access, DWORD options, const SECURITY_ATTRIBUTES* security,
                               const char* cls) {
  QMX_ENTRY_NAMED("CRegistry::Attributes");
  lastOperation_ = "Attributes";
  access_ = access ? access : KEY_ALL_ACCESS;
  options_ = options;
  class_ = cls ? std::string(cls).substr(0, kMaxClass - 1) : std::string();
  attributesSet_ = true;
  haveSecurity_ = security != nullptr;
  if (security) {
    security_ = *security;
    QMX_RETURN(kSecurityAccepted);
  }
  security_ = SECURITY_ATTRIBUTES{};
  QMX_RETURN(kOk);
}

bool CRegistry::KeyExists(const char* path) {
  QMX_ENTRY_NAMED("CRegistry::KeyExists");
  lastOperation_ = "KeyExists";
  if (!path || !*path) QMX_RETURN(false);
  CRegistry probe;
  // Reading is enough to see a key; the view follows this object's.
  probe.Attributes(KEY_READ | (access_ & kViewBits), 0, nullptr, nullptr);
  if (probe.Open(machine_.empty() ? nullptr : machine_.c_str(), root_ ? root_ : HKEY_LOCAL_MACHINE,
                 nullptr) != kOk)
    QMX_RETURN(false);
  std::string from = path[0] == '\\' ? std::string(path) : "\\" + std::string(path);
  QMX_RETURN(probe.Position(from.c_str()) == kOk);
}

uint32_t CRegistry::GetInfo(bool* isOpen, char* lastOperation, size_t lastOperationSize, char* path,
                            size_t pathSize, char* lastApi, size_t lastApiSize, DWORD* lastWin32,
                            char* machine, size_t machineSize) const {
  QMX_ENTRY_NAMED("CRegistry::GetInfo");
  bool fits = true;
  if (isOpen) *isOpen = static_cast<bool>(current_);
  fits &= CopyText(lastOperation_, lastOperation, lastOperationSize);
  fits &= CopyText(path_, path, pathSize);
  fits &= CopyText(lastApi_, lastApi, lastApiSize);
  if (lastWin32) *lastWin32 = lastWin32_;
  fits &= CopyText(machine_, machine, machineSize);
  QMX_RETURN(fits ? kOk : kBufferTooSmall);
}
