// The counter-backed tables' sources on Windows: the counter service, the Exchange release and
// levels from the registry, and the cluster continuous replication test.
#include <windows.h>

#include "counter_table_unit.h"
#include "earegenv.h"
#include "qmxcommon.h"
#include "qmxctrtables.h"
#include "zrtcoi.h"

bool IsCCREnv() {
  QMX_ENTRY();
  RegKey key;
  bool ccr = act_regopenkeyread(HKEY_LOCAL_MACHINE, "Cluster\\Nodes", key) != 0;
  if (ccr) {
    QMX_FLOW("IsCCREnv : Machine belongs to a CCR environment.");
    act_regclosekey(key);
  } else {
    QMX_FLOW("IsCCREnv : Machine is not a CCR environment.");
  }
  QMX_RETURN(ccr);
}

namespace qmx {

namespace {

uint32_t Fetch(SampleBfr* bfr, void*) { return ZrtTalloInterface(bfr); }

ExchangeCodes RegistryCodes(void*) {
  const ExchangeLevels l = GetExchangeLevels();
  ExchangeCodes c;
  c.release = l.release;
  c.level2003 = l.level2003;
  c.level2007 = l.level2007;
  c.level2010 = l.level2010;
  return c;
}

bool Ccr(void*) { return IsCCREnv(); }

}  // namespace

unsigned long CounterTableSample(vorta& request, int number, SampleBfr& bfr) {
  const CounterSampleSource source = {&Fetch, &RegistryCodes, &Ccr, nullptr};
  return SampleCounterTable(request, number, bfr, source);
}

unsigned long CounterTableSampleWithCodes(vorta& request, int number, SampleBfr& bfr,
                                          const ExchangeCodes& codes) {
  struct Fixed {
    static ExchangeCodes Codes(void* arg) { return *static_cast<const ExchangeCodes*>(arg); }
    static uint32_t Fetch(SampleBfr* b, void*) { return ZrtTalloInterface(b); }
    static bool Ccr(void*) { return IsCCREnv(); }
  };
  const CounterSampleSource source = {&Fixed::Fetch, &Fixed::Codes, &Fixed::Ccr,
                                      const_cast<ExchangeCodes*>(&codes)};
  return SampleCounterTable(request, number, bfr, source);
}

}  // namespace qmx
