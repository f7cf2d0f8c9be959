#include "ewshttp.h"

#include <wincrypt.h>

#include <algorithm>
#include <utility>

namespace qmxews {
namespace {

const wchar_t kPath[] = L"/EWS/Exchange.asmx";

std::wstring Wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring r(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &r[0], n);
  return r;
}

struct CertCloser {
  void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};

Failure FromError(DWORD error, const std::string& server) {
  const std::string code = " (error " + std::to_string(error) + ")";
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return {kExitNameResolution, "the server name " + server + " does not resolve" + code};
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return {kExitConnection, "cannot connect to https://" + server + code};
    case ERROR_WINHTTP_TIMEOUT:
      return {kExitConnection, "no complete answer from " + server + " in time" + code};
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      return {kExitCertificate,
              "the certificate of " + server + " is not trusted" + code +
                  "; QMX_EWS_TRUSTED_CERT may name its SHA-1 thumbprint to accept it"};
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return {kExitConnection, "the connection to " + server + " failed or was reset" + code};
    case ERROR_NOT_ENOUGH_MEMORY:
      return {kExitInternal, "out of memory" + code};
    default:
      return {kExitConnection, "the request to " + server + " failed" + code};
  }
}

// Negotiate first (Kerberos or NTLM as the platform decides), then NTLM, then Basic.
DWORD NextScheme(DWORD offered, DWORD tried) {
  for (DWORD s : {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM, WINHTTP_AUTH_SCHEME_BASIC})
    if ((offered & s) && !(tried & s)) return s;
  return 0;
}

}  // namespace

EwsConnection::EwsConnection(const Arguments& a, std::vector<unsigned char> pin, ULONGLONG deadline)
    : server_(Wide(a.server)),
      account_(Wide(a.domain.empty() ? a.user : a.domain + "\\" + a.user)),
      password_(Wide(a.password)),
      accountText_(account_),
      pin_(std::move(pin)),
      deadline_(deadline) {}

EwsConnection::~EwsConnection() {
  if (!password_.empty()) SecureZeroMemory(&password_[0], password_.size() * sizeof(wchar_t));
}

DWORD EwsConnection::Remaining() const {
  const ULONGLONG now = GetTickCount64();
  return now >= deadline_ ? 0 : static_cast<DWORD>(deadline_ - now);
}

Failure EwsConnection::Open(const wchar_t* verb, Internet* request) {
  const std::string server(server_.begin(), server_.end());
  if (!session_) {
    session_.reset(WinHttpOpen(L"qmxews/6.10", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) return FromError(GetLastError(), server);
    // An EWS endpoint does not move; a redirect would carry the credentials elsewhere.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(session_.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
  }
  if (!connection_) {
    connection_.reset(WinHttpConnect(session_.get(), server_.c_str(), INTERNET_DEFAULT_HTTPS_PORT, 0));
    if (!connection_) return FromError(GetLastError(), server);
  }
  request->reset(WinHttpOpenRequest(connection_.get(), verb, kPath, nullptr, WINHTTP_NO_REFERER,
                                    WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!*request) return FromError(GetLastError(), server);
  const int left = static_cast<int>(Remaining() > 1000 ? Remaining() : 1000);
  WinHttpSetTimeouts(request->get(), left, left, left, left);
  if (!pin_.empty()) {
    // The thumbprint decides instead of the chain; CheckPin runs before anything is sent.
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                  SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    WinHttpSetOption(request->get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
  }
  return {};
}

Failure EwsConnection::CheckPin(HINTERNET h) {
  const std::string server(server_.begin(), server_.end());
  PCCERT_CONTEXT raw = nullptr;
  DWORD size = sizeof raw;
  if (!WinHttpQueryOption(h, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || !raw)
    return {kExitCertificate, "the certificate of " + server + " cannot be read"};
  std::unique_ptr<const CERT_CONTEXT, CertCloser> cert(raw);
  unsigned char digest[20];
  DWORD length = sizeof digest;
  if (!CertGetCertificateContextProperty(cert.get(), CERT_SHA1_HASH_PROP_ID, digest, &length) ||
      length != sizeof digest || !std::equal(digest, digest + sizeof digest, pin_.begin(), pin_.end()))
    return {kExitCertificate,
            "the certificate of " + server + " is not the one QMX_EWS_TRUSTED_CERT names"};
  return {};
}

Failure EwsConnection::Exchange(const std::string& request, HINTERNET h, DWORD* status) {
  const std::string server(server_.begin(), server_.end());
  const wchar_t* headers = request.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS
                                           : L"Content-Type: text/xml; charset=utf-8\r\n";
  const DWORD length = static_cast<DWORD>(request.size());
  if (!WinHttpSendRequest(h, headers, request.empty() ? 0 : static_cast<DWORD>(-1L),
                          request.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(request.data()),
                          length, length, 0) ||
      !WinHttpReceiveResponse(h, nullptr))
    return FromError(GetLastError(), server);
  if (!pin_.empty()) {
    Failure f = CheckPin(h);
    if (f.exit) return f;
  }
  DWORD size = sizeof *status;
  if (!WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, status, &size, WINHTTP_NO_HEADER_INDEX))
    return FromError(GetLastError(), server);
  return {};
}

Failure EwsConnection::ReadBody(HINTERNET h, std::string* body) {
  const std::string server(server_.begin(), server_.end());
  body->clear();
  char buf[16384];
  for (;;) {
    if (Remaining() == 0) return {kExitConnection, "no complete answer from " + server + " in time"};
    DWORD got = 0;
    if (!WinHttpReadData(h, buf, sizeof buf, &got)) return FromError(GetLastError(), server);
    if (got == 0) return {};
    if (body->size() + got > kMaxAnswerBytes)
      return {kExitBadAnswer, "the answer of " + server + " is larger than " +
                                  std::to_string(kMaxAnswerBytes) + " bytes"};
    body->append(buf, got);
  }
}

Failure EwsConnection::Post(const std::string& request, DWORD* status, std::string* body) {
  const std::string server(server_.begin(), server_.end());
  if (!pin_.empty() && !pinChecked_) {
    // A request without a body proves the certificate before the first SOAP request goes out.
    Internet probe;
    Failure f = Open(L"GET", &probe);
    if (!f.exit) f = Exchange(std::string(), probe.get(), status);
    if (f.exit) return f;
    pinChecked_ = true;
  }
  DWORD scheme = scheme_, tried = 0;
  for (;;) {
    Internet h;
    Failure f = Open(L"POST", &h);
    if (f.exit) return f;
    if (scheme && !WinHttpSetCredentials(h.get(), WINHTTP_AUTH_TARGET_SERVER, scheme,
                                         account_.c_str(), password_.c_str(), nullptr))
      return FromError(GetLastError(), server);
    f = Exchange(request, h.get(), status);
    if (f.exit) return f;
    if (*status == HTTP_STATUS_DENIED) {
      tried |= scheme;
      DWORD offered = 0, first = 0, target = 0;
      if (!WinHttpQueryAuthSchemes(h.get(), &offered, &first, &target)) offered = 0;
      scheme = NextScheme(offered, tried);
      if (scheme) continue;
      const std::string account(accountText_.begin(), accountText_.end());
      return {kExitAuthentication,
              tried ? "the server " + server + " refused the credentials of " + account + " (HTTP 401)"
                    : "the server " + server + " offers no authentication scheme this tool can use"};
    }
    scheme_ = scheme;
    if (*status != HTTP_STATUS_OK && *status != HTTP_STATUS_SERVER_ERROR)
      return {kExitHttpStatus, "the server " + server + " answered HTTP " + std::to_string(*status)};
    return ReadBody(h.get(), body);
  }
}

}  // namespace qmxews
