// The agent's side of the counter service in a test: the service created into the agent's
// pDuzovev as HqMain creates it, tables bound to their definitions as the loader binds them, and
// the service's own rows read past the agent.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../counter_service/service_fixture.h"
#include "pxr.h"
#include "qmxcommon.h"
#include "table_catalogue.h"
#include "zrtcoi.h"
#include "zrtglobals.h"

namespace ctrtest {

// COM (multithreaded) on this thread, DEDAZUD.DLL registered, created into pDuzovev, initialised.
inline void StartAgentCounterService() {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  ASSERT_EQ(cstest::RegisterService(), S_OK);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(L"" QMX_DUZOVEV_PROGID, &clsid), S_OK);
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDuzovev, reinterpret_cast<void**>(&pDuzovev)), S_OK);
  ASSERT_EQ(pDuzovev->Initialize(5, 0, 0), S_OK);
}

// The service ended and released before COM is uninitialised.
inline void StopAgentCounterService() {
  if (pDuzovev) {
    pDuzovev->Terminate();
    pDuzovev->Release();
    pDuzovev = nullptr;
  }
  CoUninitialize();
}

// Binds one table as the loader does: buffer sized from the definition, described to the
// service, registered with the framework.
inline SampleBfr* BindCounterTable(int number, int definitionId) {
  const qmx::TableEntry* e = qmx::FindTableByNumber(number);
  EXPECT_TRUE(e && e->buffer);
  if (!e || !e->buffer) return nullptr;
  char scratch[4096];
  EXPECT_EQ(InitializeBfr(e->buffer, e->layout->bufferName.c_str(), definitionId, scratch, sizeof scratch), 1);
  char origin[65] = {0};
  ReturnLocalHost(origin);
  ZrtStartInterface(e->buffer, static_cast<ULONG>(definitionId), 240, "_ORIGIN_", origin, 64, 1);
  EXPECT_EQ(e->buffer->bCtrObject, 1) << number;
  if (!pxr::FindTable(e->layout->name)) EXPECT_EQ(e->init(), 0u);
  return e->buffer;
}

// The service's own rows of its latest round (at most 64), before the table's corrections.
inline std::vector<char> ServiceRows(SampleBfr* b) {
  std::vector<char> bytes(static_cast<size_t>(b->nRowSize) * 64);
  ULONG written = 0;
  HRESULT hr = pDuzovev->SampleCopy(b->hSample, static_cast<ULONG>(bytes.size()), &written,
                                    reinterpret_cast<BYTE*>(bytes.data()));
  bytes.resize(SUCCEEDED(hr) ? written : 0);
  return bytes;
}

// The sample number of the service's latest round (0 before the first).
inline int32_t ServiceRound(SampleBfr* b) {
  std::vector<char> raw = ServiceRows(b);
  int32_t round = 0;
  if (raw.size() >= 68) std::memcpy(&round, raw.data() + 64, 4);
  return round;
}

}  // namespace ctrtest
