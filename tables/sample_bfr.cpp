// SampleBfr: storage, the named mutex and the text dump.
#include "sample_bfr.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>

#ifdef _WIN32
#include <windows.h>
#endif

#include "qmxtrace.h"

namespace {
const char kEyeBall[] = "ZrtSampleBfr";

void CopyField(char* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  if (!text) return;
  size_t n = strnlen(text, width);
  // The terminator goes along when it fits.
  std::memcpy(field, text, n < width ? n + 1 : width);
}
}  // namespace

SampleBfr::SampleBfr(uint32_t rowSize, uint32_t rowCount)
    : nVersion(3),
      hSample(0),
      hMutex(nullptr),
      nBufferSize(0),
      nRowSize(rowSize),
      nBufferUsed(0),
      nRowsInBuffer(0),
      nRowsUsed(0),
      ulResult(0),
      bCtrObject(0) {
  QMX_ENTRY_NAMED("SampleBfr::SampleBfr");
  CopyField(szEyeBall, sizeof szEyeBall, kEyeBall);
  std::memset(szSysName, 0, sizeof szSysName);
  std::memset(szTblName, 0, sizeof szTblName);
  if (rowSize == 0) rowCount = 0;
  Allocate(static_cast<long long>(rowSize) * rowCount);
}

SampleBfr::~SampleBfr() { Reset(); }

void SampleBfr::ClearSizes() {
  nBufferSize = 0;
  nBufferUsed = 0;
  nRowsInBuffer = 0;
  nRowsUsed = 0;
}

void SampleBfr::Allocate(long long bytes) {
  QMX_ENTRY_NAMED("SampleBfr::Allocate");
  pBuffer.reset();
  ClearSizes();
  if (bytes < 1) return;
  if (nRowSize == 0) nRowSize = bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
  unsigned long long rows = static_cast<unsigned long long>(bytes) / nRowSize;
  if (static_cast<unsigned long long>(bytes) % nRowSize) ++rows;
  unsigned long long total = rows * nRowSize;
  // Sizes are 32-bit fields: a request beyond them cannot be held.
  if (total <= UINT32_MAX) pBuffer.reset(new (std::nothrow) char[static_cast<size_t>(total)]());
  if (!pBuffer) {
    std::cerr << "Exception raised: " << "Memory allocation failure!" << std::endl;
    nRowSize = 0;
    return;
  }
  nBufferSize = static_cast<uint32_t>(total);
  nRowsInBuffer = static_cast<uint32_t>(rows);
}

void SampleBfr::SetTableName(const char* name) { CopyField(szTblName, sizeof szTblName, name); }

void SampleBfr::SetSysName(const char* name) { CopyField(szSysName, sizeof szSysName, name); }

#ifdef _WIN32

int SampleBfr::InitMutex(const char* tableId) {
  QMX_ENTRY_NAMED("SampleBfr::InitMutex");
  char name[128];
  std::snprintf(name, sizeof name, "%08X.%s.%s", static_cast<unsigned>(GetCurrentProcessId()),
                tableId ? tableId : "", szEyeBall);
  HANDLE h = CreateMutexA(nullptr, TRUE, name);
  DWORD error = GetLastError();
  if (h && error == ERROR_ALREADY_EXISTS) {
    // Someone else's mutex: keep no handle to it.
    CloseHandle(h);
    std::cerr << "Mutex " << name << " already exists." << std::endl;
    QMX_RETURN(0);
  }
  if (!h) {
    if (error == ERROR_INVALID_HANDLE)
      std::cerr << "Invalid handle " << static_cast<void*>(h) << " returned for " << name << std::endl;
    else
      std::cerr << "Unable to create mutex.  Error code: " << error << std::endl;
    QMX_RETURN(0);
  }
  hMutex = h;
  Release(h);
  QMX_RETURN(1);
}

void* SampleBfr::Wait() {
  QMX_ENTRY_NAMED("SampleBfr::Wait");
  if (!hMutex) {
    std::cerr << "No serialization handle established for this resource." << std::endl;
    return nullptr;
  }
  DWORD r = WaitForSingleObject(static_cast<HANDLE>(hMutex), 5000);
  switch (r) {
    case WAIT_OBJECT_0:
      return hMutex;
    case WAIT_TIMEOUT:
      std::cerr << "Timed out waiting for resource." << std::endl;
      std::cerr << "Serialization failed." << std::endl;
      return nullptr;
    case WAIT_ABANDONED:
      // The wait made us the owner; the caller gets no handle to release, so give it back.
      ReleaseMutex(static_cast<HANDLE>(hMutex));
      std::cerr << "Resourse's owning thread terminated without releasing the resource." << std::endl;
      std::cerr << "Serialization failed." << std::endl;
      return nullptr;
    case WAIT_FAILED:
      std::cerr << "Wait for resource failed.  Extended error code from GetLastError(): "
                << GetLastError() << std::endl;
      std::cerr << "Serialization failed." << std::endl;
      return nullptr;
    default:
      return nullptr;
  }
}

int SampleBfr::Release(void* handle) {
  QMX_ENTRY_NAMED("SampleBfr::Release");
  if (!handle || handle != hMutex) {
    std::cout << "Invalid mutex handle: " << handle << std::endl;
    QMX_RETURN(0);
  }
  if (!ReleaseMutex(static_cast<HANDLE>(handle))) {
    DWORD error = GetLastError();
    std::cout << "Unable to release mutex with handle: " << handle << " Error code: " << error
              << std::endl;
    QMX_RETURN(0);
  }
  QMX_RETURN(1);
}

#endif

void SampleBfr::Reset() {
  QMX_ENTRY_NAMED("SampleBfr::Reset");
  pBuffer.reset();
#ifdef _WIN32
  if (hMutex && !CloseHandle(static_cast<HANDLE>(hMutex))) {
    DWORD error = GetLastError();
    std::cerr << "Unable to close Mutex Handle: " << hMutex << " GetLastError() code: " << error
              << std::endl;
  }
#endif  // the host build has no named mutexes; the storage side is the same
  hMutex = nullptr;
  hSample = 0;
  nRowSize = 0;
  ClearSizes();
  ulResult = 0;
  std::memset(szSysName, 0, sizeof szSysName);
}

std::ostream& operator<<(std::ostream& out, const SampleBfr& b) {
  char sample[16], result[16];
  std::snprintf(sample, sizeof sample, "0x%08x", static_cast<unsigned>(b.hSample & 0xFFFFFFFFu));
  std::snprintf(result, sizeof result, "0x%08x", static_cast<unsigned>(b.ulResult));
  // The names need not be terminated within their fields.
  out << "\n"
      << "\tszEyeBall....: " << std::string(b.szEyeBall, strnlen(b.szEyeBall, sizeof b.szEyeBall))
      << "\tnVersion.....: " << b.nVersion << "\thSample......: " << sample
      << "\thMutex.......: " << b.hMutex << "\tnBufferSize..: " << b.nBufferSize
      << "\tnRowSize.....: " << b.nRowSize << "\tnBufferUsed..: " << b.nBufferUsed
      << "\tnRowsInBuffer: " << b.nRowsInBuffer << "\tnRowsUsed....: " << b.nRowsUsed
      << "\tpBuffer......: " << static_cast<const void*>(b.pBuffer.get())
      << "\tulResult.....: " << result << "\tbCtrObject...: " << b.bCtrObject
      << "\tszSysName....: " << std::string(b.szSysName, strnlen(b.szSysName, sizeof b.szSysName))
      << "\tszTblName....: " << std::string(b.szTblName, strnlen(b.szTblName, sizeof b.szTblName))
      << "\n";
  return out;
}
