// Time of one store status call (CheckMailboxStoreStatus) on an Exchange 2010 registry written for
// the run: with a fresh output file (parsed only) and with the script run through the
// PowerShell.exe stand-in. Run by hand under Wine (not by ctest):
//   wine build/win/bin/qmxscripts_bench.exe [calls] [stores]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../settings/regtest_util.h"
#include "qmxcommon.h"
#include "qmxscripts.h"
#include "win_process.h"

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

double MsPerCall(int calls, const std::string& logs, std::string* text) {
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&a);
  for (int i = 0; i < calls; ++i)
    if (CheckMailboxStoreStatus(text, logs.c_str(), "SRV1") != 0) std::fprintf(stderr, "call %d failed\n", i);
  QueryPerformanceCounter(&b);
  return 1000.0 * static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart) / calls;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int stores = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
  const char* v14 = "SOFTWARE\\Microsoft\\ExchangeServer\\v14";
  if (regtest::KeyExists(v14) || regtest::KeyExists("SOFTWARE\\Microsoft\\Exchange")) {
    std::fprintf(stderr, "this machine has Exchange keys of its own\n");
    return 1;
  }
  std::string root = qmxtest::MakeTempDir("qmxscripts-bench");
  std::string logs = root + "\\logs", data = root + "\\standin", install = root + "\\ex\\";
  for (const std::string& d : {logs, data, root + "\\ex", install + "Bin"}) CreateDirectoryA(d.c_str(), nullptr);
  WriteFile(install + "Bin\\ExShell.psc1", "<PSConsoleFile/>");
  std::string objects;
  for (int i = 0; i < stores; ++i)
    objects += "\r\nObjectClass      : {top, msExchMDB, msExchPrivateMDB}\r\nStorageGroupName : \r\n"
               "Name             : DB" + std::to_string(i) + "\r\nMounted          : True\r\n";
  WriteFile(data + "\\get-mailboxdatabase.txt", objects);

  std::string standins = QMX_STANDIN_DIR;
  for (char& c : standins)
    if (c == '/') c = '\\';
  char path[32768] = {0};
  GetEnvironmentVariableA("PATH", path, sizeof path);
  SetEnvironmentVariableA("PATH", ("Z:" + standins + ";" + path).c_str());
  SetEnvironmentVariableA("QMX_STANDIN_DATA", data.c_str());
  SetEnvironmentVariableA("JBX_RAS1", "NONE");
  CRITICAL_SECTION lock;
  InitializeCriticalSection(&lock);
  SetScriptLock(&lock);

  double fresh = 0, run = 0;
  std::string text;
  {
    regtest::ScopedTree setup(std::string(v14) + "\\Setup");
    regtest::ScopedTree role(std::string(v14) + "\\MailboxRole");
    regtest::SetDword(setup.path(), "MsiProductMajor", 14);
    regtest::SetString(setup.path(), "MsiInstallPath", install);
    qmxtest::SetEnv("QMX_INTERVAL", "0");
    run = MsPerCall(calls, logs, &text);  // stale output: the script runs every time
    qmxtest::SetEnv("QMX_INTERVAL", "600");
    fresh = MsPerCall(calls * 10, logs, &text);  // fresh output: parsed only
  }
  SetScriptLock(nullptr);
  DeleteCriticalSection(&lock);
  std::printf("store status, %d stores, %zu bytes of condensed text\n", stores, text.size());
  std::printf("  fresh output (parse only): %9.3f ms per call (%d calls)\n", fresh, calls * 10);
  std::printf("  script run via stand-in:   %9.3f ms per call (%d calls)\n", run, calls);
  return 0;
}
