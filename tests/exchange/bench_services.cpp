// Figures, not a test: one MSESERVR sample and one MSESRVCD sample against the real service
// control manager with every Exchange service of the current lists installed (the mailbox
// role's services running). Run by hand: bench_services [samples]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "exchange_services.h"
#include "pxr.h"
#include "qmx09agt.h"
#include "qmxcommon.h"
#include "qmxservices_portable.h"

namespace {

double MillisecondsPerSample(const char* table, int samples, int* rows) {
  unsigned long status = 1;
  auto request = pxr::Request::Open(table, {}, &status);
  if (!request) return -1;
  request->Sample();  // the first sample caches what later ones reuse
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < samples; ++i) request->Sample();
  auto end = std::chrono::steady_clock::now();
  *rows = request->rowCount();
  return std::chrono::duration<double, std::milli>(end - start).count() / samples;
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  if (!qmxtest::ExchangeKeys::Clean()) {
    std::fprintf(stderr, "this machine has Exchange keys of its own\n");
    return 1;
  }
  std::freopen("NUL", "w", stderr);  // each sample writes its start line there
  qmxtest::ExchangeKeys keys;
  keys.Release(5, "C:\\Exchange");
  keys.Role("MailboxRole");
  qmxtest::ExchangeServices services;
  std::set<std::string> names;
  for (auto list : {qmx::ServiceList::STATE, qmx::ServiceList::DETAIL})
    for (const qmx::ServiceInfo* s : qmx::Services(qmx::ServiceFamily::CURRENT, list)) names.insert(s->name);
  for (const std::string& n : names)
    if (!services.Install(n)) {
      std::printf("cannot install %s\n", n.c_str());
      return 1;
    }
  for (const char* n : {"MSExchangeADTopology", "MSExchangeMailboxAssistants", "MSExchangeMailSubmission",
                        "MSExchangeRepl", "MSExchangeSearch", "MSExchangeSA", "W3Svc", "MSExchangeIS"})
    if (!services.Start(n)) {
      std::printf("cannot start %s\n", n);
      return 1;
    }
  qmx_mseservr_init();
  qmx_msesrvcd_init();
  int rows9 = 0, rows11 = 0;
  double ms9 = MillisecondsPerSample("MSESERVR", samples, &rows9);
  double ms11 = MillisecondsPerSample("MSESRVCD", samples, &rows11);
  std::printf("%zu services installed, %d samples each\n", names.size(), samples);
  std::printf("MSESERVR: %.2f ms per sample (%d row)\n", ms9, rows9);
  std::printf("MSESRVCD: %.2f ms per sample (%d rows)\n", ms11, rows11);
  return 0;
}
