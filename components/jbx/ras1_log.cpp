#include "ras1_log.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace jbx {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
}

// Splits at blanks, keeping quoted pieces whole (quotes removed).
std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false, any = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
      if (any) out.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += c;
      any = true;
    }
  }
  if (any) out.push_back(cur);
  return out;
}

#ifndef _WIN32
// One copy of the library per process here: the time it was loaded stands for the start.
const std::filesystem::file_time_type kLoaded = std::filesystem::file_time_type::clock::now();
#endif

// Whether the file exists and was last written before this process started.
bool WrittenBeforeThisProcess(const std::string& name) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) return false;
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return false;
  return CompareFileTime(&data.ftLastWriteTime, &created) < 0;
#else
  std::error_code error;
  const std::filesystem::file_time_type written = std::filesystem::last_write_time(name, error);
  return !error && written < kLoaded;
#endif
}

unsigned ToUnsigned(const std::string& s, unsigned fallback) {
  if (s.empty() || s.size() > 9) return fallback;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return fallback;
  return static_cast<unsigned>(std::strtoul(s.c_str(), nullptr, 10));
}

}  // namespace

LogSpec ParseLogSpec(const std::string& text, const std::string& prefix, const std::string& task,
                     const std::string& utcStart) {
  LogSpec settings;
  std::vector<std::string> tokens = Tokens(text);
  auto substitute = [&](std::string s) {
    ReplaceAll(s, prefix + "(systask)", task);
    ReplaceAll(s, prefix + "(sysutcstart)", utcStart);
    return s;
  };
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    size_t eq = t.find('=');
    std::string key = eq == std::string::npos ? std::string() : Upper(t.substr(0, eq));
    std::string value = eq == std::string::npos ? std::string() : t.substr(eq + 1);
    if (key == "INVENTORY") {
      settings.inventory = substitute(value);
    } else if (key == "LIMIT") {
      std::string v = Upper(value);
      uint64_t unit = 1024 * 1024;
      if (!v.empty() && v.back() == 'K') {
        unit = 1024;
        v.pop_back();
      }
      settings.limitBytes = static_cast<uint64_t>(ToUnsigned(v, 0)) * unit;
    } else if (key == "MAXFILES") {
      settings.maxFiles = std::max(1u, ToUnsigned(value, settings.maxFiles));
    } else if (key == "COUNT") {
      settings.count = ToUnsigned(value, 0);
    } else if (key == "PRESERVE") {
      settings.preserve = ToUnsigned(value, 0);
    } else if (settings.file.empty() && key.empty()) {
      settings.file = substitute(t);
    }
  }
  return settings;
}

std::string SegmentName(const LogSpec& settings, unsigned n) {
  size_t slash = settings.file.find_last_of("/\\");
  size_t mark = settings.file.rfind("-.");
  if (settings.limitBytes == 0 || mark == std::string::npos ||
      (slash != std::string::npos && mark < slash))
    return settings.file;
  return settings.file.substr(0, mark + 1) + std::to_string(n) + settings.file.substr(mark + 1);
}

#ifdef _WIN32
bool AppendFile::Open(const std::string& name, bool truncate) {
  Close();
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (truncate) {
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
  }
  // Append access only (no FILE_WRITE_DATA): every write goes to the end of the file; read access
  // for the lock below.
  HANDLE h = CreateFileA(name.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE, share, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool AppendFile::Append(const std::string& data) {
  if (!isOpen()) return false;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  // Where an append is not one step (Wine finds the end, then writes there), two handles could
  // write at the same place; a lock on a byte far beyond any end serialises every writer of the file.
  OVERLAPPED at = {};
  at.Offset = 0xFFFFFFFF;
  at.OffsetHigh = 0x7FFFFFFF;
  const bool locked = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
  bool ok = true;
  for (size_t done = 0; ok && done < data.size();) {
    DWORD wrote = 0;
    ok = WriteFile(h, data.data() + done, static_cast<DWORD>(data.size() - done), &wrote, nullptr) && wrote > 0;
    done += wrote;
  }
  if (locked) UnlockFileEx(h, 0, 1, 0, &at);
  return ok;
}

void AppendFile::Close() {
  if (isOpen()) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}
#else
bool AppendFile::Open(const std::string& name, bool truncate) {
  Close();
  // O_APPEND: each write lands whole at the end of a local file.
  int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0), 0644);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool AppendFile::Append(const std::string& data) {
  if (!isOpen()) return false;
  for (size_t done = 0; done < data.size();) {
    ssize_t n = ::write(static_cast<int>(handle_), data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void AppendFile::Close() {
  if (isOpen()) ::close(static_cast<int>(handle_));
  handle_ = -1;
}
#endif

RotatingLog::RotatingLog(const LogSpec& settings)
    : settings_(settings), rotating_(SegmentName(settings, 1) != settings.file) {
  PruneOldStarts();
  Open(1);
}

RotatingLog::~RotatingLog() = default;

bool RotatingLog::Open(unsigned n) {
  file_.Close();
  segment_ = n;
  written_ = 0;
  currentName_ = SegmentName(settings_, n);
  if (currentName_.empty()) return false;
  // A rotating file starts afresh when the trace wraps round to it, or when an earlier run left
  // it. Otherwise it is appended to: the counter service traces through a second copy of this
  // library in the same process, into the same files, and neither copy may cut or overwrite the
  // other's lines. A single file is always appended to.
  const bool wrapped = std::find(opened_.begin(), opened_.end(), n) != opened_.end();
  const bool afresh = rotating_ && (wrapped || WrittenBeforeThisProcess(currentName_));
  if (!wrapped) opened_.push_back(n);
  if (!file_.Open(currentName_, afresh)) return false;
  RecordInInventory(currentName_);
  return true;
}

bool RotatingLog::Write(const std::string& line) {
  if (!file_.isOpen()) return false;
  if (rotating_ && written_ + line.size() > settings_.limitBytes && written_ > 0) {
    unsigned next = segment_ + 1;
    if (next > settings_.maxFiles) next = std::min(settings_.preserve, settings_.maxFiles - 1) + 1;
    if (!Open(next)) return false;
  }
  if (!file_.Append(line)) return false;
  written_ += line.size();
  return true;
}

// Inventory lines: "<start> <file>", one per trace file, where <start> is the settings' own
// file pattern after substitution, which differs from start to start.
void RotatingLog::RecordInInventory(const std::string& name) {
  if (settings_.inventory.empty()) return;
  std::ifstream in(settings_.inventory);
  std::string line, entry = settings_.file + "\t" + name;
  while (std::getline(in, line))
    if (line == entry) return;
  in.close();
  std::ofstream out(settings_.inventory, std::ios::app);
  out << entry << "\n";
}

void RotatingLog::PruneOldStarts() {
  if (settings_.inventory.empty() || settings_.count == 0) return;
  std::ifstream in(settings_.inventory);
  if (!in) return;
  std::vector<std::pair<std::string, std::string>> entries;
  std::vector<std::string> starts;
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string start = line.substr(0, tab);
    entries.emplace_back(start, line.substr(tab + 1));
    if (std::find(starts.begin(), starts.end(), start) == starts.end()) starts.push_back(start);
  }
  in.close();
  starts.erase(std::remove(starts.begin(), starts.end(), settings_.file), starts.end());
  // This start counts as one of COUNT.
  size_t keep = settings_.count > 0 ? settings_.count - 1 : 0;
  if (starts.size() <= keep) return;
  std::vector<std::string> dropped(starts.begin(), starts.end() - keep);
  std::ofstream out(settings_.inventory, std::ios::trunc);
  for (const auto& e : entries) {
    if (std::find(dropped.begin(), dropped.end(), e.first) != dropped.end())
      std::remove(e.second.c_str());
    else
      out << e.first << "\t" << e.second << "\n";
  }
}

}  // namespace jbx
