// A counter snapshot in a temporary file, named by QMX_PDH_SNAPSHOT for this process, replaced
// atomically so that a reader never sees half of it.
#pragma once

#include <windows.h>

#include <string>

class SnapshotFile {
 public:
  SnapshotFile() {
    wchar_t dir[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"qps", 0, name);
    path_ = name;
    SetEnvironmentVariableW(L"QMX_PDH_SNAPSHOT", path_.c_str());
  }
  ~SnapshotFile() {
    SetEnvironmentVariableW(L"QMX_PDH_SNAPSHOT", nullptr);
    DeleteFileW(path_.c_str());
  }
  SnapshotFile(const SnapshotFile&) = delete;
  SnapshotFile& operator=(const SnapshotFile&) = delete;

  bool Write(const std::string& text) {
    std::wstring tmp = path_ + L".new";
    HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    CloseHandle(h);
    return ok && done == text.size() && MoveFileExW(tmp.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};
