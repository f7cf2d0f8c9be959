// Not a test: reports the time of one topology round, one MSEDAG sample and one MSESGRPD sample
// (the 2007 server EXUM01: three storage groups, five databases on the test drives) against a
// running test directory. Run by hand:
//   tests/directory/fixture.sh start /tmp/qmxdir; tests/directory/drives.sh start /tmp/qmxdrives
//   wine build/win/test_bin/bench_directory.exe [rounds]
//   tests/directory/drives.sh stop /tmp/qmxdrives; tests/directory/fixture.sh stop /tmp/qmxdir
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "hvl.h"
#include "jbx.h"
#include "pxr.h"
#include "qmx_tables.h"
#include "qmxactdir.h"

namespace {

double Now() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

template <class F>
void Report(const char* what, int rounds, F f) {
  double best = 1e9, total = 0;
  for (int i = 0; i < rounds; ++i) {
    double t0 = Now();
    f();
    double t = Now() - t0;
    total += t;
    if (t < best) best = t;
  }
  std::printf("%-28s %3d rounds  mean %8.2f ms  best %8.2f ms\n", what, rounds, 1000 * total / rounds,
              1000 * best);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (rounds < 1) rounds = 1;
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::string dir = std::string(temp) + "qmx_bench_directory";
  CreateDirectoryA(dir.c_str(), nullptr);
  char* token = nullptr;
  int32_t length = 0;
  CRY_Encrypt("Rd-2026.secret", 14, &token, &length);
  BSS1_PutEnv("QMX_AD_SERVER=127.0.0.2");
  BSS1_PutEnv("QMX_AD_BIND=simple");
  BSS1_PutEnv("QMX_AD_USER=CN=qmxreader,CN=Users,DC=qmxtest,DC=local");
  BSS1_PutEnv((std::string("QMX_AD_PASSWORD=") + (token ? token : "")).c_str());
  CRY_Free(token);
  BSS1_PutEnv("QMX_EXCH_DOMAIN=qmxtest");
  BSS1_PutEnv("QMX_EXCH_SERVER=EXMB02");
  BSS1_PutEnv(("VORTA_LOG_PATH=" + dir).c_str());
  HKEY key;
  RegCreateKeyA(HKEY_LOCAL_MACHINE, "Cluster", &key);
  RegCloseKey(key);

  int servers = 0;
  Report("topology round", rounds, [&] { servers = TopologyRound(dir); });
  pxr::ResetForTests();
  qmx_msedag_init();
  unsigned long status = 0;
  auto request = pxr::Request::Open("MSEDAG", {}, &status);
  int rows = 0;
  if (request) Report("MSEDAG sample", rounds, [&] {
      request->Sample();
      rows = request->rowCount();
    });
  request.reset();
  std::printf("servers %d, MSEDAG rows %d\n", servers, rows);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Cluster");

  // Exchange 2007 with the mailbox role, and the key of the growth values; each made here is
  // removed again.
  const char* const kKeys[] = {"SOFTWARE\\Microsoft\\Exchange", "SOFTWARE\\Orvel"};
  bool made[2];
  for (int i = 0; i < 2; ++i) {
    made[i] = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeys[i], 0, KEY_READ, &key) != 0;
    if (!made[i]) RegCloseKey(key);
  }
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Exchange\\Setup", &key) == 0) {
    DWORD major = 8;
    RegSetValueExA(key, "MsiProductMajor", 0, REG_DWORD, reinterpret_cast<BYTE*>(&major), sizeof major);
    RegCloseKey(key);
  }
  for (const char* k : {"SOFTWARE\\Microsoft\\Exchange\\v8.0\\MailboxRole",
                        "SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment"})
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, k, &key) == 0) RegCloseKey(key);
  BSS1_PutEnv("QMX_EXCH_SERVER=EXUM01");
  qmx_msesgrpd_init();
  request = pxr::Request::Open("MSESGRPD", {}, &status);
  int groups = 0;
  if (request) Report("MSESGRPD sample", rounds, [&] {
      request->Sample();
      groups = request->rowCount();
    });
  request.reset();
  std::printf("MSESGRPD rows %d\n", groups);
  for (int i = 0; i < 2; ++i)
    if (made[i]) RegDeleteTreeA(HKEY_LOCAL_MACHINE, kKeys[i]);
  DeleteFileA((dir + "\\topology_details.log").c_str());
  RemoveDirectoryA(dir.c_str());
  return servers > 0 && rows > 0 && groups > 0 ? 0 : 1;
}
