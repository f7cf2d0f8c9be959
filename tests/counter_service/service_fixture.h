// The counter service as the agent sees it: registered DEDAZUD.DLL from bin/ (the shipped folder),
// created by ProgID with CLSCTX_ALL, fed by a snapshot file through the PDH stand-in.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "counter_set.h"
#include "counter_set_strings.h"
#include "snapshot_file.h"
#include "zrtsrv.h"

namespace cstest {

inline std::wstring ExeDir() {
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring e(exe);
  return e.substr(0, e.find_last_of(L'\\'));
}
// The shipped DLL, from bin/ beside the tests' own folder, as a full path without "..".
inline std::wstring DllPath() {
  std::wstring relative = ExeDir() + L"\\..\\bin\\DEDAZUD.DLL";
  wchar_t full[MAX_PATH];
  DWORD n = GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::wstring(full) : relative;
}

// Registers through the DLL's own entry, once per process.
inline HRESULT RegisterService() {
  static HRESULT hr = [] {
    HMODULE m = LoadLibraryW(DllPath().c_str());
    if (!m) return HRESULT_FROM_WIN32(GetLastError());
    auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(m, "DllRegisterServer")));
    return reg ? reg() : E_FAIL;
  }();
  return hr;
}

template <class T>
struct Com {
  T* p = nullptr;
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() { reset(); }
  void reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T* operator->() const { return p; }
};

inline HRESULT CreateService(Com<IDuzovev>* out) {
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"" QMX_DUZOVEV_PROGID, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDuzovev, reinterpret_cast<void**>(&out->p));
}

inline qmx::CounterSetDefinition Definition(int id) {
  std::vector<std::string> v;
  qmx::CounterSetDefinition def;
  std::string error;
  if (!qmx::CounterSetStrings(id, &v) || v.size() != 5) {
    ADD_FAILURE() << "no definition " << id;
    return def;
  }
  std::string five[5] = {v[0], v[1], v[2], v[3], v[4]};
  if (!qmx::ParseCounterSet(five, &def, &error)) ADD_FAILURE() << id << ": " << error;
  return def;
}

// The row header the service fills: origin 0..63, sample number at 64, row number at 68, time
// stamp 72..87 (strings 240 to 242).
struct Row {
  const uint8_t* p;
  int32_t I32(int off) const {
    int32_t v;
    memcpy(&v, p + off, 4);
    return v;
  }
  int64_t I64(int off) const {
    int64_t v;
    memcpy(&v, p + off, 8);
    return v;
  }
  std::string Bytes(int off, int width) const { return std::string(reinterpret_cast<const char*>(p + off), width); }
  int32_t sampleNo() const { return I32(64); }
  int32_t rowNo() const { return I32(68); }
  std::string timestamp() const { return Bytes(72, 16); }
};

struct Fetch {
  HRESULT hr = E_FAIL;
  ULONG rows = 0;
  std::vector<uint8_t> bytes;
  int rowSize = 0;
  Row row(size_t r) const { return Row{bytes.data() + r * rowSize}; }
  int32_t sampleNo() const { return rows ? row(0).sampleNo() : 0; }
};

inline Fetch CopyRows(IDuzovev* svc, ULONGLONG h, int rowSize, ULONG capacityRows = 64) {
  Fetch f;
  f.rowSize = rowSize;
  f.bytes.assign(static_cast<size_t>(rowSize) * capacityRows, 0);
  ULONG written = 0;
  f.hr = svc->SampleCopy(h, static_cast<ULONG>(f.bytes.size()), &written, f.bytes.data());
  f.bytes.resize(SUCCEEDED(f.hr) ? written : 0);
  f.rows = written / rowSize;
  return f;
}

inline bool WaitFor(const std::function<bool()>& pred, DWORD timeoutMs) {
  ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (pred()) return true;
    if (GetTickCount64() > end) return false;
    Sleep(50);
  }
}

inline std::string Padded(const std::string& s, size_t width, char pad) {
  std::string out = s.substr(0, width);
  out.resize(width, pad);
  return out;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(RegisterService(), S_OK);
    ASSERT_EQ(CreateService(&svc), S_OK);
  }
  void TearDown() override {
    if (svc.p) svc->Terminate();
    svc.reset();
    CoUninitialize();
  }
  ULONGLONG Describe(int id, const std::string& origin = "EXHUB01") {
    ULONGLONG h = 0;
    EXPECT_EQ(svc->DescribeSampleI(id, 240, 0, 0, 0, 1, &h), S_OK) << id;
    EXPECT_NE(h, 0u);
    std::string o = Padded(origin, 64, ' ');
    EXPECT_EQ(svc->DescribeSampleFixedData(h, "_ORIGIN_", o.c_str(), 64), S_OK);
    return h;
  }

  SnapshotFile snap;
  Com<IDuzovev> svc;
};

}  // namespace cstest
