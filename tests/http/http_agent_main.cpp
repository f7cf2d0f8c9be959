// A test agent: the two test tables served by the framework until standard input ends or says
// "quit". The end-to-end tests start it (under Wine for the Windows build) and talk HTTP to it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "pxr.h"
#include "test_tables.h"

namespace {
int Loader() {
  http_test::RegisterTestTables();
  return 0;
}
}  // namespace

int main() {
  if (const char* d = std::getenv("QMXHT_B_DELAY_MS")) http_test::gTableBDelayMs = std::atoi(d);
  OPQ_RegisterAgentLoader(Loader);
  std::thread stopper([] {
    char line[64];
    while (std::fgets(line, sizeof line, stdin))
      if (std::strncmp(line, "quit", 4) == 0) break;
    OPQ_Shutdown(1);
  });
  char name[] = "qmx_agent", empty[] = "";
  char* argv[] = {name, empty, nullptr};
  int rc = pxrmain(1, argv);
  stopper.join();
  std::fprintf(stderr, "http_agent: pxrmain returned %d\n", rc);
  return rc;
}
