// A counter service for the start-up tests whose Initialize does what the test asks: succeed, fail,
// or throw std::bad_alloc, a standard exception, or something that is no exception class at all.
// Every other call fails. Live() counts the objects not yet released. A release on a thread whose
// COM is no longer initialised is reported on standard error: the library that holds the object
// may be gone by then.
#pragma once

#include <windows.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "zrtsrv.h"

namespace qmxtest {

enum class InitializeOutcome { Succeed, Fail, ThrowBadAlloc, ThrowStandard, ThrowOther };

constexpr char kReleasedWithoutCom[] = "counter service released after COM was uninitialised";

inline LONG& LiveCounterServices() {
  static LONG live = 0;
  return live;
}

class TestCounterService : public IDuzovev {
 public:
  explicit TestCounterService(InitializeOutcome outcome) : outcome_(outcome) {
    InterlockedIncrement(&LiveCounterServices());
  }
  virtual ~TestCounterService() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDuzovev)) {
      *ppv = static_cast<IDuzovev*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) {
      APTTYPE type;
      APTTYPEQUALIFIER qualifier;
      if (CoGetApartmentType(&type, &qualifier) == CO_E_NOTINITIALIZED) {
        std::fprintf(stderr, "%s\n", kReleasedWithoutCom);
        std::fflush(stderr);
      }
      InterlockedDecrement(&LiveCounterServices());
      delete this;
    }
    return static_cast<ULONG>(n);
  }
  HRESULT STDMETHODCALLTYPE Initialize(ULONG, ULONG, ULONG) override {
    switch (outcome_) {
      case InitializeOutcome::ThrowBadAlloc:
        throw std::bad_alloc();
      case InitializeOutcome::ThrowStandard:
        throw std::runtime_error("counter service broke");
      case InitializeOutcome::ThrowOther:
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        throw 42;
      case InitializeOutcome::Succeed:
        return S_OK;
      case InitializeOutcome::Fail:
        break;
    }
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE DescribeSampleI(ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONGLONG*) override {
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE DescribeSampleFixedData(ULONGLONG, const char*, const char*, ULONG) override {
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SampleLock(ULONGLONG, ULONG) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE SampleRows(ULONGLONG, ULONG*) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE SampleData(ULONGLONG, ULONG, ULONG*, BYTE*) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE SampleCopy(ULONGLONG, ULONG, ULONG*, BYTE*) override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE Reserved11() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Terminate() override { return S_OK; }

 private:
  InitializeOutcome outcome_;
  LONG refs_ = 1;
};

// A factory that lives as long as its registration; it is never deleted through Release.
class TestCounterServiceFactory : public IClassFactory {
 public:
  explicit TestCounterServiceFactory(InitializeOutcome outcome) : outcome_(outcome) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer) return CLASS_E_NOAGGREGATION;
    TestCounterService* s = new (std::nothrow) TestCounterService(outcome_);
    if (!s) return E_OUTOFMEMORY;
    HRESULT hr = s->QueryInterface(riid, ppv);
    s->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  InitializeOutcome outcome_;
};

// Registers the counter service's ProgID under its class id, with the server DLL of the test's
// choice (none: only the ProgID, for a class object the test registers itself), and removes the
// registration again: with none the agent registers the real server when it next starts.
class CounterServiceRegistration {
 public:
  explicit CounterServiceRegistration(const std::string& server) {
    Remove();
    Write(QMX_DUZOVEV_PROGID "\\CLSID", kClsid);
    if (!server.empty()) Write(std::string("CLSID\\") + kClsid + "\\InprocServer32", server);
  }
  ~CounterServiceRegistration() { Remove(); }
  CounterServiceRegistration(const CounterServiceRegistration&) = delete;
  CounterServiceRegistration& operator=(const CounterServiceRegistration&) = delete;

 private:
  static constexpr const char* kClsid = "{6F1C2D3E-4B5A-4C7D-9E8F-0A1B2C3D4E5F}";
  static void Write(const std::string& path, const std::string& value) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
      return;
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
  }
  static void Remove() {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, QMX_DUZOVEV_PROGID);
    RegDeleteTreeA(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + kClsid).c_str());
  }
};

}  // namespace qmxtest
