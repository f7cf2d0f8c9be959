// Table 04 (MSEISPRI): one row per mailbox store of this server and a total row, from the counter
// service's "MSExchangeIS Mailbox" instances with the computed store fields.
#include "qmx_tables.h"
#include "qmxtrace.h"

#ifdef _WIN32
#include "qmxispagt.h"

QMX_SAMPLE_FUNCTIONS(mseispri, qmx::SampleStoreTable(*this, qmx::PrivateStoreTable(), qmx_mseispri_SampleBfr))

#else

// The host build reads no counters, directory or scripts: the requests stay empty.
QMX_SAMPLE_FUNCTIONS(mseispri, 0UL)

#endif
