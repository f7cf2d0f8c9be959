// Not a test: reports the time of one topology round and one MSEDAG sample against a running test
// directory. Run by hand:
//   tests/directory/fixture.sh start /tmp/qmxdir
//   wine build/win/bin/bench_directory.exe [rounds]
//   tests/directory/fixture.sh stop /tmp/qmxdir
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
  DeleteFileA((dir + "\\topology_details.log").c_str());
  RemoveDirectoryA(dir.c_str());
  return servers > 0 && rows > 0 ? 0 : 1;
}
