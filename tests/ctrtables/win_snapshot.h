// A counter snapshot for the PDH stand-in in a temporary file named by QMX_PDH_SNAPSHOT for this
// process; each Write replaces it whole, so a reader never sees half of it.
#pragma once

#include <windows.h>

#include <string>

class CounterSnapshot {
 public:
  CounterSnapshot() {
    char dir[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "qct", 0, name);
    path_ = name;
    SetEnvironmentVariableA("QMX_PDH_SNAPSHOT", path_.c_str());
  }
  ~CounterSnapshot() {
    SetEnvironmentVariableA("QMX_PDH_SNAPSHOT", nullptr);
    DeleteFileA(path_.c_str());
  }
  CounterSnapshot(const CounterSnapshot&) = delete;
  CounterSnapshot& operator=(const CounterSnapshot&) = delete;

  bool Write(const std::string& text) {
    std::string tmp = path_ + ".new";
    HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    CloseHandle(h);
    return ok && done == text.size() && MoveFileExA(tmp.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  // Points the stand-in at another file (the committed demo snapshot).
  static void Use(const std::string& path) { SetEnvironmentVariableA("QMX_PDH_SNAPSHOT", path.c_str()); }

 private:
  std::string path_;
};

// One snapshot line: object, instance, counter, value.
inline std::string Line(const std::string& object, const std::string& instance, const std::string& counter,
                        const std::string& value) {
  return object + "\t" + instance + "\t" + counter + "\t" + value + "\n";
}
