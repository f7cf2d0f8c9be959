// One HTTPS connection to a server's EWS endpoint through WinHTTP, with the platform's
// authentication (Negotiate, NTLM, or Basic; the address is always https).
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>
#include <vector>

#include "ewsproto.h"

namespace qmxews {

struct InternetCloser {
  void operator()(HINTERNET h) const { WinHttpCloseHandle(h); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

struct Failure {
  int exit = 0;  // 0: no failure
  std::string message;
};

class EwsConnection {
 public:
  // pin: the SHA-1 thumbprint of the one certificate to accept whatever its chain says, or empty
  // for the platform's ordinary checks. Every request ends by the deadline (GetTickCount64).
  EwsConnection(const Arguments& a, std::vector<unsigned char> pin, ULONGLONG deadline);
  ~EwsConnection();
  EwsConnection(const EwsConnection&) = delete;
  EwsConnection& operator=(const EwsConnection&) = delete;

  // Posts one SOAP request. On success the HTTP status is 200 or 500 and the body is read whole.
  Failure Post(const std::string& request, DWORD* status, std::string* body);

 private:
  Failure Open(const wchar_t* verb, Internet* request);
  Failure Exchange(const std::string& request, HINTERNET h, DWORD* status);
  Failure CheckPin(HINTERNET h);
  Failure ReadBody(HINTERNET h, std::string* body);
  DWORD Remaining() const;

  std::wstring server_, account_, password_, accountText_;
  std::vector<unsigned char> pin_;
  bool pinChecked_ = false;
  ULONGLONG deadline_;
  DWORD scheme_ = 0;  // the scheme the server accepted, used from then on
  Internet session_, connection_;
};

}  // namespace qmxews
