// The counter service's COM interface, as the agent calls it. Slot order after IUnknown is fixed.
#pragma once

#ifdef _WIN32
#include <objbase.h>
#include <unknwn.h>

// {9A9001B0-343A-41EC-8924-5F5B0232D686}
static const IID IID_IDuzovev = {0x9A9001B0, 0x343A, 0x41EC, {0x89, 0x24, 0x5F, 0x5B, 0x02, 0x32, 0xD6, 0x86}};
// The class registered under the ProgID "Orvel.QMXSRV.DUZOVEV1".
// {6F1C2D3E-4B5A-4C7D-9E8F-0A1B2C3D4E5F}
static const CLSID CLSID_Duzovev = {0x6F1C2D3E, 0x4B5A, 0x4C7D, {0x9E, 0x8F, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};

#define QMX_DUZOVEV_PROGID "Orvel.QMXSRV.DUZOVEV1"

enum : ULONG { DUZOVEV_LOCK = 1, DUZOVEV_UNLOCK = 2 };

struct IDuzovev : public IUnknown {
  // 3: sampling interval in seconds (at least 5), then two zeros.
  virtual HRESULT STDMETHODCALLTYPE Initialize(ULONG interval, ULONG reserved1, ULONG reserved2) = 0;
  // 4: definition id, row-header definition id (240), three zeros, flag (1); out: sample handle.
  virtual HRESULT STDMETHODCALLTYPE DescribeSampleI(ULONG definitionId, ULONG headerId, ULONG r1,
                                                    ULONG r2, ULONG r3, ULONG flag,
                                                    ULONGLONG* sample) = 0;
  // 5: the fixed value of one header column for every row (the origin, "_ORIGIN_").
  virtual HRESULT STDMETHODCALLTYPE DescribeSampleFixedData(ULONGLONG sample, const char* column,
                                                            const char* value, ULONG width) = 0;
  // 6: not used by the agent.
  virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
  // 7: DUZOVEV_LOCK or DUZOVEV_UNLOCK.
  virtual HRESULT STDMETHODCALLTYPE SampleLock(ULONGLONG sample, ULONG operation) = 0;
  // 8: rows of the latest complete round.
  virtual HRESULT STDMETHODCALLTYPE SampleRows(ULONGLONG sample, ULONG* rows) = 0;
  // 9: copies the latest round; the caller holds the lock.
  virtual HRESULT STDMETHODCALLTYPE SampleData(ULONGLONG sample, ULONG bufferSize, ULONG* written,
                                               BYTE* buffer) = 0;
  // 10: locks, copies the latest round and unlocks; fails when the buffer is too small.
  virtual HRESULT STDMETHODCALLTYPE SampleCopy(ULONGLONG sample, ULONG bufferSize, ULONG* written,
                                               BYTE* buffer) = 0;
  // 11: not used by the agent.
  virtual HRESULT STDMETHODCALLTYPE Reserved11() = 0;
  // 12: stops collecting and releases every query.
  virtual HRESULT STDMETHODCALLTYPE Terminate() = 0;
};
#endif
