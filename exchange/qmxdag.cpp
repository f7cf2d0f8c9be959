#include "qmxdag.h"

#include <cstring>
#include <utility>

#include "qmxactdir.h"
#include "qmxtrace.h"
#include "win_text.h"

using qmx::ad::Child;
using qmx::ad::DirectorySession;
using qmx::ad::Value;

namespace {

const Value* FindValue(const std::vector<Value>& values, const wchar_t* name) {
  for (const Value& v : values)
    if (v.name == name) return &v;
  return nullptr;
}

std::string FirstText(const std::vector<Value>& values, const wchar_t* name) {
  const Value* v = FindValue(values, name);
  return v && !v->texts.empty() ? qmx::FromWide(v->texts[0], CP_ACP) : std::string();
}

bool FirstNumber(const std::vector<Value>& values, const wchar_t* name, long long* out) {
  const Value* v = FindValue(values, name);
  return v && v->FirstInteger(out);
}

bool IsPrivateDatabase(const Child& c) { return _wcsicmp(c.className.c_str(), L"msExchPrivateMDB") == 0; }

// The distinguished name of a database's copy on `server`.
std::wstring CopyDn(const std::string& server, const Child& database) {
  return L"CN=" + qmx::ToWide(server) + L"," + database.dn;
}

const std::vector<std::wstring> kCopyAttributes = {L"msExchActivationPreference", L"msExchReplayLag"};

// The container of the objects of a class, by getRequiredClassDN; false (traced) when none.
bool ContainerOf(QmxTrace& qmx_trace, const char* filter, std::wstring* dn, long* rc) {
  char text[1024] = "";
  *rc = getRequiredClassDN(nullptr, filter, text, sizeof text);
  if (*rc != 0 || !text[0]) {
    if (*rc == 0) *rc = static_cast<long>(HRESULT_FROM_WIN32(ERROR_DS_NO_SUCH_OBJECT));
    QMX_ERROR("getRequiredClassDN() failed with errorcode = %d", static_cast<int>(*rc));
    return false;
  }
  *dn = qmx::ToWide(text);
  return true;
}

}  // namespace

long GetDAGInfo(void* context, std::string* name, int* memberCount, std::string* witness) {
  QMX_ENTRY();
  *memberCount = 0;
  std::wstring container;
  long rc = 0;
  if (!ContainerOf(qmx_trace, "(objectClass=msExchMDBAvailabilityGroupContainer)", &container, &rc))
    QMX_RETURN(rc);
  DirectorySession session;
  std::vector<Child> groups;
  HRESULT hr = session.Children(container, &groups);
  if (FAILED(hr)) {
    QMX_ERROR("Failed to Get ADsGetObject");
    qmx::ad::TraceAdsError("GetDAGInfo", hr);
    QMX_RETURN(static_cast<long>(hr));
  }
  if (groups.empty()) QMX_RETURN(0L);
  // Name, witness and member count all of the first group enumerated.
  std::vector<Value> values;
  hr = session.Read(groups[0].dn,
                    {L"name", L"msExchFileShareWitness", L"msExchMDBAvailabilityGroupBL"}, &values);
  if (FAILED(hr)) {
    qmx::ad::TraceAdsError("GetDAGInfo", hr);
    QMX_RETURN(static_cast<long>(hr));
  }
  *name = FirstText(values, L"name");
  if (name->empty()) *name = qmx::FromWide(groups[0].rdn.substr(groups[0].rdn.find(L'=') + 1), CP_ACP);
  const std::string share = FirstText(values, L"msExchFileShareWitness");
  *witness = qmx::ad::WitnessServer(share);
  if (witness->empty() && !share.empty())
    QMX_ERROR("GetDAGInfo: witness share \"%s\" names no server", share.c_str());
  if (const Value* members = FindValue(values, L"msExchMDBAvailabilityGroupBL"))
    *memberCount = static_cast<int>(members->count());
  QMX_FLOW("GetDAGInfo: %s, %d members, witness %s", name->c_str(), *memberCount, witness->c_str());
  QMX_RETURN(0L);
}

long GetCopyCount(void* context, const std::string& server, const std::wstring& containerDn, int* count) {
  QMX_ENTRY();
  *count = 0;
  DirectorySession session;
  std::vector<Child> databases;
  HRESULT last = session.Children(containerDn, &databases);
  if (FAILED(last)) QMX_RETURN(static_cast<long>(last));
  for (const Child& db : databases) {
    if (!IsPrivateDatabase(db)) continue;
    std::vector<Value> values;
    last = session.Read(CopyDn(server, db), kCopyAttributes, &values);
    if (SUCCEEDED(last)) ++*count;
  }
  QMX_RETURN(*count > 0 ? 0L : static_cast<long>(last));
}

long GetMailboxCopyStatus(void* context, int* count, const std::string& server,
                          std::vector<MailboxCopyRecord>* records) {
  QMX_ENTRY();
  records->clear();
  std::wstring container;
  long rc = 0;
  if (!ContainerOf(qmx_trace, "(objectClass=msExchMDBContainer)", &container, &rc)) QMX_RETURN(rc);
  int n = 0;
  rc = GetCopyCount(context, server, container, &n);
  if (rc != 0) {
    QMX_ERROR("GetCopyCount() failed with errorcode = %d", static_cast<int>(rc));
    qmx::ad::TraceAdsError("GetMailboxCopyStatus", static_cast<HRESULT>(rc));
  }
  QMX_FLOW("Total mailbox database copies of under a member node of DAG = %d", n);
  if (n < 1) QMX_RETURN(rc);
  DirectorySession session;
  std::vector<Child> databases;
  HRESULT hr = session.Children(container, &databases);
  if (FAILED(hr)) {
    QMX_ERROR("ADsGetObject() failed with errorcode = %d", static_cast<int>(hr));
    QMX_RETURN(static_cast<long>(hr));
  }
  for (const Child& db : databases) {
    if (static_cast<int>(records->size()) >= n) break;
    if (!IsPrivateDatabase(db)) continue;
    std::vector<Value> copy, owner;
    if (FAILED(session.Read(CopyDn(server, db), kCopyAttributes, &copy))) continue;
    hr = session.Read(db.dn, {L"msExchOwningServer"}, &owner);
    const std::string owning = FirstText(owner, L"msExchOwningServer");
    const std::string owningName = qmx::ad::CommonName(owning);
    if (FAILED(hr) || owningName.empty()) {
      // Left unfilled: the count reports only the records filled.
      QMX_ERROR("GetMailboxCopyStatus: owning server of %ls not read (\"%s\", 0x%x)", db.dn.c_str(),
                owning.c_str(), static_cast<unsigned>(hr));
      continue;
    }
    MailboxCopyRecord r;
    r.database = qmx::FromWide(db.rdn.substr(db.rdn.find(L'=') + 1), CP_ACP);
    long long pref = 0, lag = 0;
    for (auto [attribute, value] : {std::make_pair(L"msExchActivationPreference", &pref),
                                    std::make_pair(L"msExchReplayLag", &lag)})
      if (!FirstNumber(copy, attribute, value))
        QMX_ERROR("GetMailboxCopyStatus: %ls of the copy of %ls is not an integer; 0 taken", attribute,
                  db.dn.c_str());
    r.activationPreference = qmx::ad::ActivationPreference(pref);
    r.replayLag = lag > INT32_MAX ? INT32_MAX : lag < INT32_MIN ? INT32_MIN : static_cast<int32_t>(lag);
    r.status = _stricmp(owningName.c_str(), server.c_str()) == 0 ? "Active" : "Passive";
    records->push_back(std::move(r));
  }
  *count = static_cast<int>(records->size());
  QMX_RETURN(0L);
}
