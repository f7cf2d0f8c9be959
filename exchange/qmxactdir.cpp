// Directory access through ADSI (see qmxactdir.h for the two read routes).
//
// On a Windows server every read takes the first route: IADs::Get/GetEx on the bound object and
// IADsContainer enumeration. The second route (IDirectorySearch) is taken where the provider lacks
// the first, as Wine's does for GetEx, Get on ordinary objects and container enumeration.
#include "qmxactdir.h"

#include <activeds.h>
#include <process.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "jbx.h"
#include "qmxcommon.h"
#include "qmxprocess.h"
#include "qmxdecrypt.h"
#include "qmxschedule.h"
#include "qmxtrace.h"
#include "win_text.h"

namespace qmx::ad {
namespace {

// ---- Owners of what ADSI hands out --------------------------------------------------------------

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& s) : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return b_; }
  BSTR* put() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::wstring str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

 private:
  BSTR b_ = nullptr;
};

class Variant {
 public:
  Variant() { VariantInit(&v_); }
  ~Variant() { VariantClear(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &v_; }
  VARIANT* put() {
    VariantClear(&v_);
    return &v_;
  }

 private:
  VARIANT v_;
};

// A search handle, closed through its interface.
class SearchHandle {
 public:
  explicit SearchHandle(IDirectorySearch* search) : search_(search) {}
  ~SearchHandle() {
    if (h_) search_->CloseSearchHandle(h_);
  }
  SearchHandle(const SearchHandle&) = delete;
  SearchHandle& operator=(const SearchHandle&) = delete;
  ADS_SEARCH_HANDLE get() const { return h_; }
  ADS_SEARCH_HANDLE* put() { return &h_; }

 private:
  IDirectorySearch* search_;
  ADS_SEARCH_HANDLE h_ = nullptr;
};

class SearchColumn {
 public:
  explicit SearchColumn(IDirectorySearch* search) : search_(search) { std::memset(&c_, 0, sizeof c_); }
  ~SearchColumn() {
    if (filled_) search_->FreeColumn(&c_);
  }
  SearchColumn(const SearchColumn&) = delete;
  SearchColumn& operator=(const SearchColumn&) = delete;
  HRESULT Get(ADS_SEARCH_HANDLE h, LPWSTR name) {
    HRESULT hr = search_->GetColumn(h, name, &c_);
    filled_ = SUCCEEDED(hr);
    return hr;
  }
  const ADS_SEARCH_COLUMN& get() const { return c_; }

 private:
  IDirectorySearch* search_;
  ADS_SEARCH_COLUMN c_;
  bool filled_ = false;
};

struct AdsMemFreer {
  void operator()(wchar_t* p) const { FreeADsMem(p); }
};
using AdsString = std::unique_ptr<wchar_t, AdsMemFreer>;

struct EnumFreer {
  void operator()(IEnumVARIANT* e) const { ADsFreeEnumerator(e); }
};
using AdsEnumerator = std::unique_ptr<IEnumVARIANT, EnumFreer>;

// ---- Values -------------------------------------------------------------------------------------

void AddAdsValue(const ADSVALUE& v, Value* out) {
  switch (v.dwType) {
    case ADSTYPE_DN_STRING:
    case ADSTYPE_CASE_EXACT_STRING:
    case ADSTYPE_CASE_IGNORE_STRING:
    case ADSTYPE_PRINTABLE_STRING:
    case ADSTYPE_NUMERIC_STRING:
      out->texts.push_back(v.CaseIgnoreString ? v.CaseIgnoreString : L"");
      break;
    case ADSTYPE_INTEGER:
      out->integer = true;
      out->numbers.push_back(static_cast<LONG>(v.Integer));
      break;
    case ADSTYPE_LARGE_INTEGER:
      out->integer = true;
      out->numbers.push_back(v.LargeInteger.QuadPart);
      break;
    case ADSTYPE_BOOLEAN:
      out->integer = true;
      out->numbers.push_back(v.Boolean ? 1 : 0);
      break;
    default:
      out->known = false;
      break;
  }
}

// One VARIANT element (of Get, or of GetEx's array).
void AddVariant(const VARIANT& v, Value* out) {
  switch (V_VT(&v)) {
    case VT_BSTR:
      out->texts.push_back(V_BSTR(&v) ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"");
      break;
    case VT_I2:
      out->integer = true, out->numbers.push_back(V_I2(&v));
      break;
    case VT_I4:
      out->integer = true, out->numbers.push_back(V_I4(&v));
      break;
    case VT_UI4:
      out->integer = true, out->numbers.push_back(V_UI4(&v));
      break;
    case VT_I8:
      out->integer = true, out->numbers.push_back(V_I8(&v));
      break;
    case VT_BOOL:
      out->integer = true, out->numbers.push_back(V_BOOL(&v) ? 1 : 0);
      break;
    case VT_DISPATCH: {
      ComPtr<IADsLargeInteger> large;
      LONG hi = 0, lo = 0;
      if (V_DISPATCH(&v) &&
          SUCCEEDED(V_DISPATCH(&v)->QueryInterface(IID_IADsLargeInteger, large.put_void())) &&
          SUCCEEDED(large->get_HighPart(&hi)) && SUCCEEDED(large->get_LowPart(&lo))) {
        out->integer = true;
        out->numbers.push_back((static_cast<long long>(hi) << 32) | static_cast<uint32_t>(lo));
      } else {
        out->known = false;
      }
      break;
    }
    default:
      out->known = false;
      break;
  }
}

// GetEx's answer: a one-dimensional array; count = upper bound + 1.
HRESULT AddArray(const VARIANT& v, Value* out) {
  QMX_ENTRY_NAMED("DirectorySession::GetEx");
  if (!(V_VT(&v) & VT_ARRAY) || !V_ARRAY(&v)) {
    AddVariant(v, out);
    return S_OK;
  }
  SAFEARRAY* sa = V_ARRAY(&v);
  LONG lower = 0, upper = -1;
  HRESULT hr = SafeArrayGetLBound(sa, 1, &lower);
  if (FAILED(hr)) {
    QMX_ERROR("SafeArrayGetLBound() failed with errorcode = %d", static_cast<int>(hr));
    return hr;
  }
  hr = SafeArrayGetUBound(sa, 1, &upper);
  if (FAILED(hr)) {
    QMX_ERROR("SafeArrayGetUBound() failed with errorcode = %d", static_cast<int>(hr));
    return hr;
  }
  for (LONG i = 0; i <= upper; ++i) {
    Variant element;
    if (V_VT(&v) == (VT_ARRAY | VT_VARIANT)) {
      hr = SafeArrayGetElement(sa, &i, element.get());
    } else {
      hr = E_ADS_CANT_CONVERT_DATATYPE;
    }
    if (FAILED(hr)) {
      out->known = false;
      continue;
    }
    AddVariant(*element.get(), out);
  }
  return S_OK;
}

bool NotImplemented(HRESULT hr) { return hr == E_NOTIMPL || hr == E_NOINTERFACE; }

// Traces the switch to the second route once per kind and process.
enum RouteKind { kRouteGet, kRouteGetEx, kRouteEnumerate, kRouteCount };
std::atomic<bool> g_routeTraced[kRouteCount];
void TraceRouteSwitch(RouteKind kind, HRESULT hr) {
  QMX_ENTRY_NAMED("DirectorySession::Route");
  static const char* const kWhat[kRouteCount] = {"IADs::Get", "IADs::GetEx",
                                                 "container enumeration"};
  if (!g_routeTraced[kind].exchange(true))
    QMX_ALWAYS("DirectorySession: %s answered 0x%x, reading through IDirectorySearch instead",
               kWhat[kind], static_cast<unsigned>(hr));
}

// A setting that cannot be used is traced once; the default is used.
std::atomic<bool> g_badServerTraced{false};
std::atomic<bool> g_badBindTraced{false};

const wchar_t kAttrDN[] = L"distinguishedName";

}  // namespace

bool Value::FirstInteger(long long* out) const {
  if (integer) {
    if (numbers.empty()) return false;
    *out = numbers[0];
    return true;
  }
  return !texts.empty() && ParseDecimal(qmx::FromWide(texts[0], CP_ACP), out);
}

const Value* Row::Find(const wchar_t* name) const {
  for (const Value& v : columns)
    if (v.name == name) return &v;
  return nullptr;
}

void TraceAdsError(const char* function, HRESULT hr) {
  QMX_ENTRY_NAMED("TraceAdsError");
  char code[16], message[4096];
  ADsErrorText(static_cast<long>(hr), code, sizeof code, message, sizeof message);
  QMX_ALWAYS("%s: HResult: 0x%x, Return Code: %s, Msg: %s", function, static_cast<unsigned>(hr),
             code, message);
}

// ---- Session ------------------------------------------------------------------------------------

DirectorySession::DirectorySession() : com_(CoInitialize(nullptr)), flags_(ADS_SECURE_AUTHENTICATION) {
  QMX_ENTRY_NAMED("DirectorySession::DirectorySession");
  // A thread already in the multithreaded apartment can use COM as it is; it is not ours to end.
  comOwned_ = SUCCEEDED(com_);
  if (com_ == RPC_E_CHANGED_MODE) com_ = S_OK;
  const char* server = BSS1_GetEnv("QMX_AD_SERVER", 0);
  if (server && *server) {
    if (UsableServerName(server)) {
      server_ = qmx::ToWide(server);
    } else if (!g_badServerTraced.exchange(true)) {
      QMX_ERROR("DirectorySession: QMX_AD_SERVER \"%s\" is not a host name or address; binding "
                "without a server",
                server);
    }
  }
  bool usable = true;
  const char* bind = BSS1_GetEnv("QMX_AD_BIND", 0);
  if (SimpleBind(bind, &usable)) flags_ = 0;
  if (!usable && !g_badBindTraced.exchange(true))
    QMX_ERROR("DirectorySession: QMX_AD_BIND \"%s\" is neither secure nor simple; using secure",
              bind);
  const char* user = BSS1_GetEnv("QMX_AD_USER", 0);
  if (user && *user) user_ = qmx::ToWide(user);
  const char* password = BSS1_GetEnv("QMX_AD_PASSWORD", 0);
  if (password && *password) {
    char plain[256];
    DecryptPassword(password, plain, sizeof plain);
    password_ = qmx::ToWide(plain);
    SecureZeroMemory(plain, sizeof plain);
  }
}

DirectorySession::~DirectorySession() {
  if (!password_.empty()) SecureZeroMemory(&password_[0], password_.size() * sizeof(wchar_t));
  if (comOwned_) CoUninitialize();
}

std::wstring DirectorySession::Path(const std::wstring& dn) const {
  std::wstring path = L"LDAP://";
  if (!server_.empty()) path += server_ + L"/";
  return path + dn;
}

std::wstring DirectorySession::DnOfPath(const std::wstring& path) {
  std::wstring rest = path;
  if (rest.size() >= 7 && _wcsnicmp(rest.c_str(), L"LDAP://", 7) == 0) rest.erase(0, 7);
  // A server part ends at the first "/" before any "=".
  size_t slash = rest.find(L'/');
  size_t equals = rest.find(L'=');
  if (slash != std::wstring::npos && (equals == std::wstring::npos || slash < equals))
    rest.erase(0, slash + 1);
  return rest;
}

HRESULT DirectorySession::Bind(const std::wstring& dn, REFIID iid, void** out) const {
  *out = nullptr;
  if (FAILED(com_)) return com_;
  return ADsOpenObject(Path(dn).c_str(), user_.empty() ? nullptr : user_.c_str(),
                       password_.empty() ? nullptr : password_.c_str(), flags_, iid, out);
}

HRESULT DirectorySession::NamingContext(const wchar_t* attribute, std::wstring* out,
                                        Step* failed) const {
  ComPtr<IADs> root;
  HRESULT hr = Bind(L"rootDSE", IID_IADs, root.put_void());
  if (FAILED(hr)) {
    if (failed) *failed = Step::OpenRootDSE;
    return hr;
  }
  Bstr name(attribute);
  Variant value;
  hr = root->Get(name.get(), value.put());
  if (SUCCEEDED(hr) && V_VT(value.get()) != VT_BSTR) hr = E_ADS_CANT_CONVERT_DATATYPE;
  if (FAILED(hr)) {
    if (failed) *failed = Step::ReadContext;
    return hr;
  }
  *out = std::wstring(V_BSTR(value.get()), SysStringLen(V_BSTR(value.get())));
  return S_OK;
}

SearchResult DirectorySession::Search(Prefs prefs, const std::wstring& filter,
                                      const std::vector<std::wstring>* attributes,
                                      const std::wstring* baseDn) const {
  SearchResult result;
  if (FAILED(com_)) {
    result.hr = com_;
    result.failed = Step::Com;
    return result;
  }
  std::wstring base;
  if (baseDn) {
    base = *baseDn;
  } else {
    result.hr = NamingContext(L"configurationNamingContext", &base, &result.failed);
    if (FAILED(result.hr)) return result;
  }
  SearchAt(base, ADS_SCOPE_SUBTREE, filter, attributes, prefs, &result);
  return result;
}

HRESULT DirectorySession::SearchAt(const std::wstring& baseDn, int scope, const std::wstring& filter,
                                   const std::vector<std::wstring>* attributes, Prefs prefs,
                                   SearchResult* result) const {
  ComPtr<IDirectorySearch> search;
  HRESULT hr = Bind(baseDn, IID_IDirectorySearch, search.put_void());
  if (FAILED(hr)) {
    result->failed = Step::BindSearch;
    return result->hr = hr;
  }
  ADS_SEARCHPREF_INFO p[5];
  std::memset(p, 0, sizeof p);
  p[0].dwSearchPref = ADS_SEARCHPREF_TIME_LIMIT;
  p[0].vValue.dwType = ADSTYPE_INTEGER;
  p[0].vValue.Integer = 120;
  p[1].dwSearchPref = ADS_SEARCHPREF_SIZE_LIMIT;
  p[1].vValue.dwType = ADSTYPE_INTEGER;
  p[1].vValue.Integer = 1000;
  p[2].dwSearchPref = ADS_SEARCHPREF_SEARCH_SCOPE;
  p[2].vValue.dwType = ADSTYPE_INTEGER;
  p[2].vValue.Integer = static_cast<ADS_INTEGER>(scope);
  p[3].dwSearchPref = ADS_SEARCHPREF_ATTRIBTYPES_ONLY;
  p[3].vValue.dwType = ADSTYPE_BOOLEAN;
  p[3].vValue.Boolean = FALSE;
  p[4].dwSearchPref = ADS_SEARCHPREF_PAGESIZE;
  p[4].vValue.dwType = ADSTYPE_INTEGER;
  p[4].vValue.Integer = 20;
  hr = search->SetSearchPreference(p, prefs == Prefs::Paged ? 5 : 4);
  if (FAILED(hr)) {
    result->failed = Step::Preferences;
    return result->hr = hr;
  }
  std::vector<std::wstring> names;
  std::vector<LPWSTR> list;
  if (attributes) {
    names = *attributes;
    for (std::wstring& n : names) list.push_back(&n[0]);
  }
  std::wstring f = filter;
  SearchHandle handle(search.get());
  hr = search->ExecuteSearch(&f[0], attributes ? list.data() : nullptr,
                             attributes ? static_cast<DWORD>(list.size()) : static_cast<DWORD>(-1),
                             handle.put());
  if (FAILED(hr)) {
    result->failed = Step::Execute;
    return result->hr = hr;
  }
  hr = search->GetFirstRow(handle.get());
  if (FAILED(hr)) {
    result->failed = Step::FirstRow;
    return result->hr = hr;
  }
  while (hr == S_OK) {
    Row row;
    for (;;) {
      LPWSTR raw = nullptr;
      HRESULT c = search->GetNextColumnName(handle.get(), &raw);
      AdsString name(raw);
      row.badParameterEnd = c == E_ADS_BAD_PARAMETER;
      if (c == S_ADS_NOMORE_COLUMNS || c == E_ADS_BAD_PARAMETER || !name) break;
      if (FAILED(c)) {
        row.columnError = c;
        break;
      }
      SearchColumn column(search.get());
      c = column.Get(handle.get(), name.get());
      if (FAILED(c)) {
        row.columnError = c;
        break;
      }
      Value v;
      v.name = name.get();
      for (DWORD i = 0; i < column.get().dwNumValues; ++i) AddAdsValue(column.get().pADsValues[i], &v);
      row.columns.push_back(std::move(v));
    }
    result->rows.push_back(std::move(row));
    hr = search->GetNextRow(handle.get());
  }
  // A connection lost in mid-search ends the rows with a failure; the rows read are kept.
  if (FAILED(hr)) {
    result->failed = Step::FirstRow;
    return result->hr = hr;
  }
  return result->hr = S_OK;
}

HRESULT DirectorySession::ReadBySearch(const std::wstring& dn,
                                       const std::vector<std::wstring>& attributes,
                                       std::vector<Value>* out) const {
  SearchResult r;
  HRESULT hr = SearchAt(dn, ADS_SCOPE_BASE, L"(objectClass=*)", &attributes, Prefs::Standard, &r);
  if (FAILED(hr)) return hr;
  if (r.rows.empty()) return HRESULT_FROM_WIN32(ERROR_DS_NO_SUCH_OBJECT);
  for (const std::wstring& a : attributes)
    if (const Value* v = r.rows[0].Find(a.c_str())) out->push_back(*v);
  return r.rows[0].columnError;
}

HRESULT DirectorySession::Read(const std::wstring& dn, const std::vector<std::wstring>& attributes,
                               std::vector<Value>* out) const {
  QMX_ENTRY_NAMED("DirectorySession::Read");
  out->clear();
  if (FAILED(com_)) return com_;
  ComPtr<IADs> object;
  HRESULT hr = Bind(dn, IID_IADs, object.put_void());
  if (NotImplemented(hr)) {
    TraceRouteSwitch(kRouteGet, hr);
    return ReadBySearch(dn, attributes, out);
  }
  if (FAILED(hr)) return hr;
  for (const std::wstring& a : attributes) {
    Bstr name(a);
    Variant value;
    hr = object->GetEx(name.get(), value.put());
    RouteKind kind = kRouteGetEx;
    if (hr == E_NOTIMPL) {
      // GetEx missing: Get answers the single-valued attributes on a provider that has it.
      kind = kRouteGet;
      hr = object->Get(name.get(), value.put());
    }
    if (hr == E_NOTIMPL || hr == E_ADS_PROPERTY_NOT_FOUND) {
      // On Windows a property missing from the cache is one the object does not carry; the search
      // route then finds no column either, so both routes give the same answer.
      TraceRouteSwitch(kind, hr);
      out->clear();
      return ReadBySearch(dn, attributes, out);
    }
    if (FAILED(hr)) {
      QMX_STATE("DirectorySession: %ls not read: 0x%x", a.c_str(), static_cast<unsigned>(hr));
      continue;
    }
    Value v;
    v.name = a;
    hr = AddArray(*value.get(), &v);
    if (FAILED(hr)) return hr;
    out->push_back(std::move(v));
  }
  return S_OK;
}

HRESULT DirectorySession::ChildrenBySearch(const std::wstring& dn, std::vector<Child>* out) const {
  static const std::vector<std::wstring> kAttributes = {L"ADsPath", kAttrDN, L"objectClass"};
  SearchResult r;
  HRESULT hr = SearchAt(dn, ADS_SCOPE_ONELEVEL, L"(objectClass=*)", &kAttributes, Prefs::Paged, &r);
  if (FAILED(hr)) return hr;
  for (const Row& row : r.rows) {
    Child c;
    if (const Value* p = row.Find(L"ADsPath"); p && !p->texts.empty())
      c.dn = DnOfPath(p->texts[0]);
    else if (const Value* d = row.Find(kAttrDN); d && !d->texts.empty())
      c.dn = d->texts[0];
    if (const Value* oc = row.Find(L"objectClass"); oc && !oc->texts.empty())
      c.className = oc->texts.back();  // the most specific class comes last
    c.rdn = c.dn.substr(0, c.dn.find(L','));
    if (!c.dn.empty()) out->push_back(std::move(c));
  }
  return S_OK;
}

HRESULT DirectorySession::Children(const std::wstring& dn, std::vector<Child>* out) const {
  QMX_ENTRY_NAMED("DirectorySession::Children");
  out->clear();
  if (FAILED(com_)) return com_;
  ComPtr<IADsContainer> container;
  HRESULT hr = Bind(dn, IID_IADsContainer, container.put_void());
  if (NotImplemented(hr)) {
    TraceRouteSwitch(kRouteEnumerate, hr);
    return ChildrenBySearch(dn, out);
  }
  if (FAILED(hr)) {
    QMX_ERROR("ADsGetObject() failed with errorcode = %d", static_cast<int>(GetLastError()));
    return hr;
  }
  IEnumVARIANT* raw = nullptr;
  hr = ADsBuildEnumerator(container.get(), &raw);
  AdsEnumerator enumerator(raw);
  if (NotImplemented(hr)) {
    TraceRouteSwitch(kRouteEnumerate, hr);
    return ChildrenBySearch(dn, out);
  }
  if (FAILED(hr) || !enumerator) {
    QMX_ERROR("ADsBuildEnumerator() failed with errorcode = %d", static_cast<int>(GetLastError()));
    return FAILED(hr) ? hr : E_FAIL;
  }
  for (;;) {
    Variant element;
    ULONG fetched = 0;
    hr = ADsEnumerateNext(enumerator.get(), 1, element.get(), &fetched);
    if (FAILED(hr) || fetched != 1) break;
    if (V_VT(element.get()) != VT_DISPATCH || !V_DISPATCH(element.get())) continue;
    ComPtr<IADs> child;
    if (FAILED(V_DISPATCH(element.get())->QueryInterface(IID_IADs, child.put_void()))) continue;
    Bstr path, cls, name;
    if (FAILED(child->get_ADsPath(path.put()))) continue;
    child->get_Class(cls.put());
    child->get_Name(name.put());
    Child c;
    c.dn = DnOfPath(path.str());
    c.className = cls.str();
    c.rdn = name.str();
    out->push_back(std::move(c));
  }
  return S_OK;
}

}  // namespace qmx::ad

using qmx::ad::DirectorySession;
using qmx::ad::Prefs;
using qmx::ad::SearchResult;
using qmx::ad::Step;

long getRequiredClassDN(void* context, const char* filter, char* out, size_t size) {
  QMX_ENTRY();
  DirectorySession session;
  if (FAILED(session.comResult())) QMX_RETURN(static_cast<long>(session.comResult()));
  static const std::vector<std::wstring> kAttributes = {L"distinguishedName"};
  SearchResult r = session.Search(Prefs::Paged, qmx::ToWide(filter ? filter : ""), &kAttributes);
  switch (r.failed) {
    case Step::None:
      break;
    case Step::OpenRootDSE:
    case Step::BindSearch:
      QMX_ERROR("\nADsGetObject() failed with errorcode = %d", static_cast<int>(GetLastError()));
      break;
    case Step::ReadContext:
      QMX_ERROR("\nIADs Get() failed with errorcode = %d", static_cast<int>(r.hr));
      break;
    case Step::Preferences:
      QMX_ERROR("\nIDirectorySearch's SetSearchPreference() failed with errorcode = %d",
                static_cast<int>(r.hr));
      break;
    case Step::Execute:
      std::printf("\nExecuteSearch failed");
      std::fflush(stdout);
      break;
    default:
      QMX_ERROR("\nIDirectorySearch's GetFirstRow() failed with errorcode = %d",
                static_cast<int>(r.hr));
      break;
  }
  if (r.failed != Step::None && r.rows.empty()) {
    qmx::ad::TraceAdsError("getRequiredClassDN", r.hr);
    QMX_RETURN(static_cast<long>(r.hr));
  }
  for (const qmx::ad::Row& row : r.rows) {
    if (const qmx::ad::Value* dn = row.Find(L"distinguishedName")) {
      if (dn->texts.empty()) QMX_RETURN(static_cast<long>(S_ADS_NOMORE_COLUMNS));
      std::string text = qmx::FromWide(dn->texts[0], CP_ACP);
      if (out && size) std::snprintf(out, size, "%s", text.c_str());
      QMX_RETURN(0L);
    }
  }
  QMX_RETURN(0L);
}

std::vector<ServerRoleRecord> GetServerRolesActiveDirectoryData(void* context, int* count) {
  QMX_ENTRY();
  *count = 0;
  const char* domainSetting = BSS1_GetEnv("QMX_EXCH_DOMAIN", 0);
  const std::string domain = domainSetting ? domainSetting : "";
  DirectorySession session;
  QMX_FLOW("DEBUG: Work string returned : %s", domain.c_str());
  QMX_FLOW("ADS path assinged value...calling ADsOpenObject");
  SearchResult r = session.Search(Prefs::Standard, L"(objectClass=msExchExchangeServer)", nullptr);
  if (r.failed != Step::None && r.rows.empty()) {
    switch (r.failed) {
      case Step::Com:
      case Step::OpenRootDSE:
        QMX_ERROR("-----> ADS Open rootDSE failed <-----");
        break;
      case Step::ReadContext:
        QMX_ERROR("-----> ADS Reading configurationNamingContext failed <-----");
        break;
      case Step::Preferences:
        QMX_ERROR("-----> ADS search setup failed <-----");
        break;
      case Step::FirstRow:
        QMX_ERROR("-----> ADS Get First Row failed <-----");
        break;
      default:  // the bind of the search path and the execute step trace only the code
        break;
    }
    qmx::ad::TraceAdsError("GetServerRolesActiveDirectoryData", r.hr);
    return std::vector<ServerRoleRecord>();
  }
  QMX_FLOW("DEBUG: ADsOpenObject done");
  QMX_FLOW("DEBUG: calling SetSearchPreference");
  QMX_FLOW("DEBUG: SetSearchPreference Done");
  QMX_FLOW("DEBUG: ExecuteSearch Done");
  if (r.failed != Step::None) {
    // A search cut off after some rows (the server went away): a partial server list would
    // replace the complete topology file, so the round reports nothing and the file stays.
    qmx::ad::TraceAdsError("GetServerRolesActiveDirectoryData", r.hr);
    QMX_ERROR("GetServerRolesActiveDirectoryData: the search ended early after %d rows; none used",
              static_cast<int>(r.rows.size()));
    return std::vector<ServerRoleRecord>();
  }
  if (r.rows.empty()) {
    QMX_ERROR("GetServerRolesActiveDirectoryData: ExecuteSearch returned no data found, 0x%x:",
              static_cast<unsigned>(r.hr));
    return std::vector<ServerRoleRecord>();
  }
  // Each row gives name, domain and role in that order, whatever order the directory gives the
  // columns in.
  std::string list;
  for (const qmx::ad::Row& row : r.rows) {
    const qmx::ad::Value* name = row.Find(L"name");
    const qmx::ad::Value* roles = row.Find(L"msExchCurrentServerRoles");
    if (FAILED(row.columnError)) {
      QMX_ERROR("-----> ADS Get Column failed <-----");
      qmx::ad::TraceAdsError("GetServerRolesActiveDirectoryData", row.columnError);
    }
    if (!name || name->texts.empty()) continue;
    std::string role;
    long long value = 0;
    if (roles && roles->FirstInteger(&value)) {
      role = qmx::ad::RoleText(value);
    } else if (roles) {
      QMX_ERROR("GetServerRolesActiveDirectoryData: msExchCurrentServerRoles is not an integer");
    }
    list += qmx::FromWide(name->texts[0], CP_ACP) + ";" + domain + ";" + role + ";";
    QMX_FLOW("Data %s", list.c_str());
  }
  std::vector<ServerRoleRecord> records = qmx::ad::SplitRoleList(list);
  QMX_FLOW("Number of Machines: %d", static_cast<int>(records.size()));
  *count = static_cast<int>(records.size());
  return records;
}

DWORD WriteTopologyFile(const std::string& directory, const std::vector<ServerRoleRecord>& records) {
  QMX_ENTRY();
  const std::string path = directory + "\\topology_details.log";
  QMX_STATE("Creating Topology detail file: %s", path.c_str());
  const DWORD e = qmx::ReplaceFileText(path, qmx::ad::FormatTopology(records)) ? 0 : GetLastError();
  if (e) QMX_ERROR("Topology detail file not replaced: %s, error %lu", path.c_str(), e);
  QMX_RETURN(e);
}

int TopologyRound(const std::string& directory) {
  QMX_ENTRY();
  int count = 0;
  std::vector<ServerRoleRecord> records = GetServerRolesActiveDirectoryData(nullptr, &count);
  // A round that finds no server keeps the previous file.
  if (count > 0) WriteTopologyFile(directory, records);
  QMX_RETURN(count);
}

int GetRoleBasedActiveDirectoryDataEx(void* context) {
  QMX_ENTRY();
  const char* logPath = BSS1_GetEnv("VORTA_LOG_PATH", 0);
  const long interval = qmx::ad::TopologyInterval(BSS1_GetEnv("QMX_TOPOLOGY_INTERVAL", 0));
  if (interval < 1) {
    QMX_ERROR("Environment variables is not set for Topology data collection");
    QMX_RETURN(0);
  }
  const std::string directory = logPath ? logPath : "";
  qmx::RepeatCollection(qmx_trace, interval,
                        {"Entering wait period between attempts to gather Topology details : %d",
                         "Sleep interval %ul expired. Gather mailbox details",
                         "Role Base Topology: Sleep interval expired. Gather Topology data : %ld"},
                        [&] { TopologyRound(directory); });
  QMX_RETURN(1);
}

unsigned __stdcall TopologyThread(void*) {
  QMX_ENTRY();
  QMX_RETURN(qmx::RunCollectionThread(qmx_trace, "TopologyThread", "TopologyThread",
                                      GetRoleBasedActiveDirectoryDataEx));
}
