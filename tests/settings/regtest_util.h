// Test helpers over the real registry (HKLM): trees that remove themselves, value set/get.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "test_env.h"

namespace regtest {

inline std::string UniqueName(const char* stem) {
  static int n = 0;
  return std::string(stem) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount64()) + "-" + std::to_string(++n);
}

inline bool KeyExists(const std::string& path) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// Creates HKLM\path; on destruction removes the part of it that did not exist before.
class ScopedTree {
 public:
  explicit ScopedTree(const std::string& path) : path_(path) {
    size_t p = 0;
    while (p != std::string::npos) {
      p = path.find('\\', p + 1);
      std::string prefix = path.substr(0, p);
      if (!KeyExists(prefix)) {
        firstMade_ = prefix;
        break;
      }
    }
    HKEY h = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                        nullptr) == ERROR_SUCCESS)
      RegCloseKey(h);
  }
  ~ScopedTree() {
    if (firstMade_.empty()) return;
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, firstMade_.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, firstMade_.c_str());
  }
  ScopedTree(const ScopedTree&) = delete;
  ScopedTree& operator=(const ScopedTree&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string firstMade_;
};

inline bool SetValue(const std::string& path, const char* name, DWORD type, const void* data,
                     DWORD size) {
  HKEY h = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                      nullptr) != ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExA(h, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(h);
  return rc == ERROR_SUCCESS;
}

inline bool SetString(const std::string& path, const char* name, const std::string& value,
                      DWORD type = REG_SZ) {
  return SetValue(path, name, type, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

inline bool SetDword(const std::string& path, const char* name, DWORD value) {
  return SetValue(path, name, REG_DWORD, &value, sizeof value);
}

// The value's text, or "<missing>".
inline std::string GetString(const std::string& path, const char* name) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
    return "<missing>";
  DWORD size = 0, type = 0;
  LONG rc = RegQueryValueExA(h, name, nullptr, &type, nullptr, &size);
  std::string out = "<missing>";
  if (rc == ERROR_SUCCESS) {
    std::vector<char> buf(size + 1, '\0');
    if (RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) ==
        ERROR_SUCCESS)
      out.assign(buf.data());
  }
  RegCloseKey(h);
  return out;
}

inline DWORD GetType(const std::string& path, const char* name) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return 0;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(h, name, nullptr, &type, nullptr, nullptr);
  RegCloseKey(h);
  return rc == ERROR_SUCCESS ? type : 0;
}

inline DWORD ValueCount(const std::string& path) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return 0;
  DWORD values = 0;
  RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(h);
  return values;
}

using qmxtest::Env;
using qmxtest::SetEnv;

}  // namespace regtest
