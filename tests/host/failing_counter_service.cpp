// A counter service whose Initialize fails, for the start-up test of that path. Only
// DllGetClassObject is needed: the test writes the registration itself.
#include <windows.h>

#include <new>

#include "zrtsrv.h"

namespace {

class FailingService : public IDuzovev {
 public:
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
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  HRESULT STDMETHODCALLTYPE Initialize(ULONG, ULONG, ULONG) override { return E_FAIL; }
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
  LONG refs_ = 1;
};

class Factory : public IClassFactory {
 public:
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
    FailingService* s = new (std::nothrow) FailingService();
    if (!s) return E_OUTOFMEMORY;
    HRESULT hr = s->QueryInterface(riid, ppv);
    s->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory factory;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID riid, void** ppv) {
  return factory.QueryInterface(riid, ppv);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
