#include "win_process.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace qmxtest {
namespace {

struct Handle {
  HANDLE h = nullptr;
  ~Handle() {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

void Drain(HANDLE h, std::string* out) {
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out->append(buf, n);
}

}  // namespace

std::string BinDir() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string p = path;
  return p.substr(0, p.find_last_of('\\') + 1);
}

std::string ProductDir() {
  std::string relative = BinDir() + "..\\bin\\";
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(relative.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::string(full) : relative;
}

ProcessResult Run(const std::string& commandLine, DWORD timeoutMs) {
  ProcessResult result;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  Handle outR, outW, errR, errW;
  CreatePipe(&outR.h, &outW.h, &sa, 0);
  CreatePipe(&errR.h, &errW.h, &sa, 0);
  SetHandleInformation(outR.h, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errR.h, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = outW.h;
  si.hStdError = errW.h;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi = {};
  std::string cmd = commandLine;
  if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    result.exitCode = GetLastError();
    result.err = "CreateProcess failed";
    return result;
  }
  CloseHandle(outW.h);
  outW.h = nullptr;
  CloseHandle(errW.h);
  errW.h = nullptr;
  std::thread t1(Drain, outR.h, &result.out), t2(Drain, errR.h, &result.err);
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_TIMEOUT) {
    result.timedOut = true;
    TerminateProcess(pi.hProcess, 9999);
    WaitForSingleObject(pi.hProcess, 5000);
  }
  GetExitCodeProcess(pi.hProcess, &result.exitCode);
  t1.join();
  t2.join();
  // Text-mode output ends its lines with CR LF; tests compare with plain line feeds.
  for (std::string* s : {&result.out, &result.err}) {
    std::string plain;
    for (size_t i = 0; i < s->size(); ++i)
      if (!((*s)[i] == '\r' && i + 1 < s->size() && (*s)[i + 1] == '\n')) plain += (*s)[i];
    *s = plain;
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return result;
}

std::string MakeTempDir(const std::string& stem) {
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  std::string dir = std::string(tmp) + stem + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount());
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string WinePath(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

SearchPathFirst::SearchPathFirst(const std::string& folder) {
  std::vector<char> path(32768, '\0');
  GetEnvironmentVariableA("PATH", path.data(), static_cast<DWORD>(path.size()));
  old_ = path.data();
  SetEnvironmentVariableA("PATH", (folder + ";" + old_).c_str());
}

SearchPathFirst::~SearchPathFirst() { SetEnvironmentVariableA("PATH", old_.c_str()); }

std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
  }
  return lines;
}

std::string ReadLogs(const std::string& dir) {
  std::string all;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*.log").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return all;
  do all += ReadWholeFile(dir + "\\" + fd.cFileName);
  while (FindNextFileA(h, &fd));
  FindClose(h);
  return all;
}

}  // namespace qmxtest

namespace qmxtest {

std::string HostName() {
  char name[256] = {0};
  DWORD size = sizeof name;
  GetComputerNameExA(ComputerNamePhysicalDnsHostname, name, &size);
  return name;
}

AgentEnvironment::AgentEnvironment() {
  root_ = MakeTempDir("qmxenv");
  config_ = root_ + "\\config";
  logs_ = root_ + "\\logs";
  CreateDirectoryA(config_.c_str(), nullptr);
  CreateDirectoryA(logs_.c_str(), nullptr);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, instanceKey().c_str());
  SetValue("VORTA_SIT_PATH", config_);
  SetValue("VORTA_LOG_PATH", logs_);
}

AgentEnvironment::~AgentEnvironment() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, instanceKey().c_str()); }

void AgentEnvironment::SetValue(const std::string& name, const std::string& value) {
  HKEY key;
  std::string path = instanceKey() + "\\Environment";
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
}

void AgentEnvironment::WriteConfig(const std::string& text) {
  std::string path = config_ + "\\" + HostName().substr(0, 15) + "_ex.cfg";
  std::ofstream out(path, std::ios::binary);
  out << text;
}

}  // namespace qmxtest
