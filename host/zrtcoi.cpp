#include "zrtcoi.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "qmxtrace.h"
#include "zrtmsg.h"

IDuzovev* pDuzovev = nullptr;
volatile LONG bCtrServiceInitialized = 0;

namespace {

// "0x" and eight lower-case hexadecimal digits.
std::string ErrorText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
  return text;
}

void Complain(QmxTrace& qmx_trace, const char* what, const char* traceFormat, HRESULT hr) {
  std::fprintf(stderr, "%s%s (%ld)\n", what, ErrorText(hr).c_str(), static_cast<long>(hr));
  QMX_ERROR(traceFormat, static_cast<int>(hr), static_cast<unsigned>(hr));
}

}  // namespace

void ZrtStartInterface(SampleBfr* bfr, ULONG definitionId, ULONG headerId, const char* columnName,
                       const char* columnValue, ULONG columnWidth, ULONG flag) {
  QMX_ENTRY();
  if (!pDuzovev) {
    bfr->bCtrObject = 0;
    bfr->Allocate(0);
    std::fprintf(stderr, "Interface is not initialized.  Unable to process.\n");
    QMX_ERROR("Interface is not initialized.  Unable to process.");
    return;
  }
  ULONGLONG sample = 0;
  HRESULT hr = pDuzovev->DescribeSampleI(definitionId, headerId, 0, 0, 0, flag, &sample);
  if (FAILED(hr) && hr != E_ACCESSDENIED) {
    bfr->bCtrObject = 0;
    bfr->Allocate(0);
    std::string text = ErrorText(hr);
    std::fprintf(stderr,
                 "Unable to describe the sample for this report.  DescribeSampleI() returned: %s (%ld)\n",
                 text.c_str(), static_cast<long>(hr));
    QMX_ERROR("Unable to describe the sample for this report.  DescribeSampleI() returned: %s [%0.8x]",
              text.c_str(), static_cast<unsigned>(hr));
    return;
  }
  if (sample == 0) {
    std::fprintf(stderr, "Sample is not initialized.  Unable to process.\n");
    QMX_ERROR("Sample is not initialized.  Unable to process.");
    return;
  }
  if (hr == S_OK) {
    bfr->bCtrObject = 1;
  } else {
    bfr->bCtrObject = 0;
    bfr->Allocate(0);
  }
  bfr->hSample = sample;
  if (columnValue) {
    // The first blank-delimited word, at most the column width.
    size_t start = std::strspn(columnValue, " ");
    size_t len = std::strcspn(columnValue + start, " ");
    if (len > columnWidth) len = columnWidth;
    std::string word(columnValue + start, len);
    bfr->SetSysName(word.c_str());
  }
  hr = pDuzovev->DescribeSampleFixedData(sample, columnName, columnValue, columnWidth);
  if (FAILED(hr)) {
    std::string text = ErrorText(hr);
    std::fprintf(stderr,
                 "WARNING:  Sample description may be incomplete.  DescribeSampleFixedData() returned: %s (%ld)\n",
                 text.c_str(), static_cast<long>(hr));
    QMX_ERROR("WARNING:  Sample description may be incomplete.  DescribeSampleFixedData() returned: %s [%0.8x]",
              text.c_str(), static_cast<unsigned>(hr));
  }
}

ULONG ZrtTalloInterface(SampleBfr* bfr) {
  QMX_ENTRY();
  if (!pDuzovev) {
    std::fprintf(stderr, "Interface is not initialized.  Unable to process.\n");
    QMX_ERROR("Interface is not initialized.  Unable to process.");
    QMX_RETURN(bfr->ulResult);
  }
  if (!bfr->bCtrObject) QMX_RETURN(bfr->ulResult);

  ULONG bytes = 0;
  if (bfr->pBuffer) {
    HRESULT hr = pDuzovev->SampleCopy(bfr->hSample, bfr->nBufferSize, &bytes,
                                      reinterpret_cast<BYTE*>(bfr->pBuffer.get()));
    bfr->ulResult = static_cast<ULONG>(hr);
    if (SUCCEEDED(hr)) {
      bfr->nBufferUsed = bytes;
      bfr->nRowsUsed = bfr->nRowSize ? bytes / bfr->nRowSize : 0;
      QMX_RETURN(bfr->ulResult);
    }
  }

  // Locked path: the buffer is missing or too small for the sample.
  HRESULT hr = pDuzovev->SampleLock(bfr->hSample, DUZOVEV_LOCK);
  bfr->ulResult = static_cast<ULONG>(hr);
  if (FAILED(hr)) {
    Complain(qmx_trace, "Unable to lock sample.  SampleLock() returned: ",
             "Unable to lock sample.  SampleLock() returned: %d [%0.8x]", hr);
    QMX_RETURN(bfr->ulResult);
  }
  ULONG rows = 0;
  hr = pDuzovev->SampleRows(bfr->hSample, &rows);
  bfr->ulResult = static_cast<ULONG>(hr);
  if (FAILED(hr)) {
    Complain(qmx_trace, "Unable to determine number of rows in sample.  SampleRows() returned: ",
             "Unable to determine number of rows in sample.  SampleRows() returned: %d [%0.8x]", hr);
  } else {
    if (rows > bfr->nRowsInBuffer) bfr->Allocate(static_cast<long long>(bfr->nRowSize) * rows);
    if (bfr->pBuffer) {
      hr = pDuzovev->SampleData(bfr->hSample, bfr->nBufferSize, &bytes,
                                reinterpret_cast<BYTE*>(bfr->pBuffer.get()));
      bfr->ulResult = static_cast<ULONG>(hr);
      if (FAILED(hr)) {
        Complain(qmx_trace, "Unable to collect sample data.  SampleData() returned: ",
                 "Unable to collect sample data.  SampleData() returned: %d [%0.8x]", hr);
      } else {
        bfr->nRowsUsed = rows;
        bfr->nBufferUsed = bytes;
      }
    }
  }
  hr = pDuzovev->SampleLock(bfr->hSample, DUZOVEV_UNLOCK);
  if (FAILED(hr))
    Complain(qmx_trace, "Unable to unlock sample.  SampleLock() returned: ",
             "Unable to unlock sample.  SampleLock() returned: %d [%0.8x]", hr);
  QMX_RETURN(bfr->ulResult);
}

HRESULT ZrtDescribeSampleFixedData(ULONGLONG sample, const char* columnName, const char* value,
                                   ULONG width) {
  QMX_ENTRY();
  if (!pDuzovev) QMX_RETURN(E_POINTER);
  QMX_RETURN(pDuzovev->DescribeSampleFixedData(sample, columnName, value, width));
}

bool RegIt() {
  QMX_ENTRY();
  char name[64];
  LoadResourceString(5046, name, sizeof name);
  // From the agent's own folder only: by bare name the search order could run a library planted
  // in another folder, in the service's account.
  std::string path(MAX_PATH, '\0');
  DWORD length = GetModuleFileNameA(nullptr, &path[0], static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  path = path.substr(0, path.find_last_of('\\') + 1) + name;
  QMX_FLOW("Attempting to register DLL: %s", path.c_str());
  // The library stays loaded: the service object lives in it.
  HMODULE lib = path.size() > std::strlen(name) ? LoadLibraryA(path.c_str()) : nullptr;
  if (!lib) {
    Message0(10106);
    QMX_RETURN(false);
  }
  using RegisterFn = HRESULT(STDAPICALLTYPE*)();
  auto reg = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(lib, "DllRegisterServer")));
  if (!reg) {
    Message0(10107);
    QMX_RETURN(false);
  }
  reg();
  QMX_RETURN(true);
}

CLSID GetClassId() {
  QMX_ENTRY();
  char progIdA[64];
  LoadResourceString(5047, progIdA, sizeof progIdA);
  wchar_t progId[64] = {0};
  MultiByteToWideChar(CP_ACP, 0, progIdA, -1, progId, 64);
  QMX_FLOW("GetClassId: Retrieving CLSID from ProgID.");
  CLSID clsid = CLSID_NULL;
  HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (SUCCEEDED(hr)) {
    QMX_FLOW("CLSIDFromProgID() successful.");
  } else if (!RegIt()) {
    QMX_FLOW("DLL re-registration failed.");
    clsid = CLSID_NULL;
  } else {
    QMX_FLOW("DLL re-registration successful.");
    hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) {
      QMX_FLOW("Exhausted all retry attempts.");
      clsid = CLSID_NULL;
    }
  }
  QMX_FLOW("ProgID: %s", progIdA);
  QMX_FLOW("CLSID: {%.8lX-%.4X-%.4X-%.2X%.2X-%.2X%.2X%.2X%.2X%.2X%.2X}", clsid.Data1, clsid.Data2,
           clsid.Data3, clsid.Data4[0], clsid.Data4[1], clsid.Data4[2], clsid.Data4[3],
           clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
  return clsid;
}
