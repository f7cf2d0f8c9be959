// DEDAZUD.DLL: the counter service as an in-process COM server, ProgID "Orvel.QMXSRV.DUZOVEV1".
// The object is a shell around the Collector; it is registered with ThreadingModel "Both" so that
// it lives in its creator's apartment and the agent's framework threads may call it directly.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "collector.h"
#include "qmxtrace.h"
#include "zrtsrv.h"

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_objects{0};  // live service objects
std::atomic<long> g_locks{0};    // IClassFactory::LockServer

class Duzovev final : public IDuzovev {
 public:
  Duzovev() { ++g_objects; }
  ~Duzovev() { --g_objects; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDuzovev)) {
      *ppv = static_cast<IDuzovev*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;  // the Collector stops its thread and closes its queries
    return n;
  }

  HRESULT STDMETHODCALLTYPE Initialize(ULONG interval, ULONG, ULONG) override {
    return core_.Initialize(interval);
  }
  HRESULT STDMETHODCALLTYPE DescribeSampleI(ULONG definitionId, ULONG headerId, ULONG, ULONG, ULONG,
                                            ULONG, ULONGLONG* sample) override {
    return core_.DescribeSample(definitionId, headerId, sample);
  }
  HRESULT STDMETHODCALLTYPE DescribeSampleFixedData(ULONGLONG sample, const char* column,
                                                    const char* value, ULONG width) override {
    return core_.DescribeFixedData(sample, column, value, width);
  }
  HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SampleLock(ULONGLONG sample, ULONG operation) override {
    return core_.Lock(sample, operation);
  }
  HRESULT STDMETHODCALLTYPE SampleRows(ULONGLONG sample, ULONG* rows) override {
    return core_.Rows(sample, rows);
  }
  HRESULT STDMETHODCALLTYPE SampleData(ULONGLONG sample, ULONG size, ULONG* written, BYTE* buffer) override {
    return core_.Data(sample, size, written, buffer);
  }
  HRESULT STDMETHODCALLTYPE SampleCopy(ULONGLONG sample, ULONG size, ULONG* written, BYTE* buffer) override {
    return core_.Copy(sample, size, written, buffer);
  }
  HRESULT STDMETHODCALLTYPE Reserved11() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Terminate() override { return core_.Terminate(); }

 private:
  std::atomic<ULONG> refs_{1};
  dedazud::Collector core_;
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static; only LockServer keeps the DLL.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    QMX_ENTRY_NAMED("Factory::CreateInstance");
    if (!ppv) QMX_RETURN(E_POINTER);
    *ppv = nullptr;
    if (outer) QMX_RETURN(CLASS_E_NOAGGREGATION);
    Duzovev* obj = new (std::nothrow) Duzovev();
    if (!obj) QMX_RETURN(E_OUTOFMEMORY);
    HRESULT hr = obj->QueryInterface(riid, ppv);
    obj->Release();
    QMX_RETURN(hr);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) ++g_locks;
    else --g_locks;
    return S_OK;
  }
};

Factory g_factory;

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() {
    if (h_) RegCloseKey(h_);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  LONG Create(HKEY parent, const std::wstring& path) {
    return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h_, nullptr);
  }
  LONG Set(const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(h_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

 private:
  HKEY h_ = nullptr;
};

std::wstring ClsidText() {
  wchar_t buf[64];
  StringFromGUID2(CLSID_Duzovev, buf, 64);
  return buf;
}

struct ComValue {
  const wchar_t* key;
  const wchar_t* name;  // empty: the key's default value
  const wchar_t* data;
};
const ComValue kRegistration[] = {
#define QMX_COM_VALUE(key, name, data) {L"" key, L"" name, L"" data},
#include "registration.def"
#undef QMX_COM_VALUE
};

// A registration text with its placeholders filled in.
std::wstring Expand(std::wstring text, const std::wstring& path) {
  const std::pair<const wchar_t*, std::wstring> fills[] = {
      {L"{CLSID}", ClsidText()}, {L"{PROGID}", L"" QMX_DUZOVEV_PROGID}, {L"{PATH}", path}};
  for (const auto& [mark, value] : fills)
    for (size_t at = text.find(mark); at != std::wstring::npos; at = text.find(mark, at + value.size()))
      text.replace(at, wcslen(mark), value);
  return text;
}

// The registration's top keys: those that lie below no other key of it.
std::vector<std::wstring> TopKeys() {
  std::vector<std::wstring> tops;
  for (const ComValue& v : kRegistration) {
    bool below = false;
    for (const ComValue& other : kRegistration)
      below = below || std::wstring(v.key).rfind(std::wstring(other.key) + L"\\", 0) == 0;
    if (!below && std::find(tops.begin(), tops.end(), v.key) == tops.end()) tops.push_back(v.key);
  }
  return tops;
}

LONG WriteKey(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  RegKey key;
  LONG rc = key.Create(HKEY_CLASSES_ROOT, path);
  return rc != ERROR_SUCCESS ? rc : key.Set(name, value);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  QMX_ENTRY();
  if (!ppv) QMX_RETURN(E_POINTER);
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_Duzovev)) QMX_RETURN(CLASS_E_CLASSNOTAVAILABLE);
  QMX_RETURN(g_factory.QueryInterface(riid, ppv));
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  QMX_ENTRY();
  QMX_RETURN(g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE);
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  QMX_ENTRY();
  wchar_t path[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) QMX_RETURN(HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_FILENAME_EXCED_RANGE));
  LONG rc = ERROR_SUCCESS;
  for (const ComValue& v : kRegistration) {
    rc = WriteKey(Expand(v.key, path), *v.name ? v.name : nullptr, Expand(v.data, path));
    if (rc != ERROR_SUCCESS) break;
  }
  if (rc != ERROR_SUCCESS) {
    QMX_ERROR("DllRegisterServer: registry write failed with %ld", rc);
    QMX_RETURN(HRESULT_FROM_WIN32(rc));
  }
  QMX_FLOW("DllRegisterServer: registered %ls", path);
  QMX_RETURN(S_OK);
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  QMX_ENTRY();
  for (const std::wstring& top : TopKeys()) {
    LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, Expand(top, L"").c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) QMX_RETURN(HRESULT_FROM_WIN32(rc));
  }
  QMX_RETURN(S_OK);
}
