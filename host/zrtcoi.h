// The agent's side of the counter service: describing a table's sample and fetching its rows.
#pragma once

#include <windows.h>

#include "sample_bfr.h"
#include "zrtsrv.h"

// One per process, set by HqMain before any table exists and released at teardown.
extern IDuzovev* pDuzovev;
extern volatile LONG bCtrServiceInitialized;

void ZrtStartInterface(SampleBfr* bfr, ULONG definitionId, ULONG headerId, const char* columnName,
                       const char* columnValue, ULONG columnWidth, ULONG flag);
ULONG ZrtTalloInterface(SampleBfr* bfr);
HRESULT ZrtDescribeSampleFixedData(ULONGLONG sample, const char* columnName, const char* value,
                                   ULONG width);
CLSID GetClassId();
bool RegIt();
