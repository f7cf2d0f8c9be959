// Table 05 (MSEISPUB): one row per public folder store of this server and a total row, from the
// counter service's "MSExchangeIS Public" instances with the computed store fields.
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include "qmxispagt.h"

QMX_SAMPLE_FUNCTIONS(mseispub, qmx::SampleStoreTable(*this, qmx::PublicStoreTable(), qmx_mseispub_SampleBfr))

#else

// The host build reads no counters, directory or scripts: the requests stay empty.
QMX_SAMPLE_FUNCTIONS(mseispub, 0UL)

#endif
