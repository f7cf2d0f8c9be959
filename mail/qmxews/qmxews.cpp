// qmxews: sends a test mail from a mailbox through Exchange Web Services and waits for the reply.
//   qmxews.exe -getmrt user password domain server sender target threshold version delete
// Prints "SentTime:" once the mail went out, and "ReceivedTime:" and "Name:" when a mail whose
// subject carries the test's token arrived in the sender's inbox within the threshold
// (milliseconds). Exit codes: see Exit in ewsproto.h. The password is never printed.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ewshttp.h"
#include "ewsproto.h"
#include "ewsxml.h"

namespace qmxews {
namespace {

constexpr ULONGLONG kGraceMs = 20000;  // for sending, and for the last look after the threshold
constexpr DWORD kPollMs = 2000;
constexpr size_t kMaxLookups = 10;     // GetItem calls per look at the inbox

struct LocalFreer {
  void operator()(LPWSTR* p) const { LocalFree(p); }
};

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string r(n > 1 ? static_cast<size_t>(n - 1) : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &r[0], n, nullptr, nullptr);
  return r;
}

// Server texts in a message may be long: one line, bounded.
std::string Brief(const std::string& text) {
  const size_t kMax = 400;
  return OneLine(text.size() > kMax ? text.substr(0, kMax) + "..." : text);
}

int Fail(const Failure& f) {
  std::fprintf(stderr, "qmxews: %s\n", Brief(f.message).c_str());
  return f.exit;
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

bool Carries(const std::string& subject, const std::string& token) {
  return Upper(subject).find(Upper(token)) != std::string::npos;
}

std::string Token() {
  std::random_device random;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X%08X%08X%08X", random(), random(), random(), random());
  return buf;
}

CivilTime NowUtc() {
  SYSTEMTIME s;
  GetSystemTime(&s);
  return CivilTime{s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute, s.wSecond};
}

CivilTime Local(const CivilTime& utc) {
  SYSTEMTIME u{}, l{};
  u.wYear = static_cast<WORD>(utc.year);
  u.wMonth = static_cast<WORD>(utc.month);
  u.wDay = static_cast<WORD>(utc.day);
  u.wHour = static_cast<WORD>(utc.hour);
  u.wMinute = static_cast<WORD>(utc.minute);
  u.wSecond = static_cast<WORD>(utc.second);
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &u, &l)) return utc;
  return CivilTime{l.wYear, l.wMonth, l.wDay, l.wHour, l.wMinute, l.wSecond};
}

// One request and its answer, which must be a success of that operation.
Failure Call(EwsConnection& c, const Arguments& a, const std::string& operation,
             const std::string& request, Answer* answer) {
  DWORD status = 0;
  std::string body;
  Failure f = c.Post(request, &status, &body);
  if (f.exit) return f;
  std::string why;
  if (!ReadAnswer(operation, body, answer, &why)) return {kExitInternal, why};
  if (!answer->malformed.empty()) {
    if (status != HTTP_STATUS_OK)
      return {kExitHttpStatus, "the server " + a.server + " answered " + operation + " with HTTP " +
                                   std::to_string(status)};
    return {kExitBadAnswer, "the " + operation + " answer of " + a.server +
                                " is not a usable EWS answer: " + answer->malformed};
  }
  if (answer->fault)
    return {kExitEwsError, operation + " failed with a SOAP fault: " + answer->faultText};
  if (!answer->Success())
    return {kExitEwsError, operation + " failed: EWS error " + answer->responseCode +
                               (answer->messageText.empty() ? "" : ": " + answer->messageText)};
  return {};
}

struct Reply {
  std::string id, name;
  CivilTime received;
};

// Looks at the inbox once. found is set when a mail carrying the token is there.
Failure LookForReply(EwsConnection& c, const Arguments& a, const std::string& token, bool* found,
                     Reply* reply, size_t* withoutToken) {
  Answer list;
  Failure f = Call(c, a, "FindItem", FindItemRequest(a, Folder::Inbox, token), &list);
  if (f.exit) return f;
  size_t lookups = 0;
  for (const Item& candidate : list.items) {
    if (!Carries(candidate.subject, token)) {
      ++*withoutToken;
      continue;
    }
    if (++lookups > kMaxLookups) break;
    Answer one;
    f = Call(c, a, "GetItem", GetItemRequest(a, candidate.id), &one);
    if (f.exit) return f;
    if (one.items.empty())
      return {kExitBadAnswer, "the GetItem answer of " + a.server + " holds no item"};
    const Item& item = one.items.front();
    if (!Carries(item.subject, token)) {
      ++*withoutToken;
      continue;
    }
    if (!ParseDateTime(item.received, &reply->received))
      return {kExitBadAnswer, "the reply's DateTimeReceived \"" + item.received + "\" is not a time"};
    reply->id = item.id;
    reply->name = !item.fromName.empty() ? item.fromName : item.fromAddress;
    *found = true;
    return {};
  }
  return {};
}

// When the sent copy is in the sent items folder: its send time (the server's clock, like the
// reply's), and its id for deleting.
Failure LookForSentCopy(EwsConnection& c, const Arguments& a, const std::string& token, bool* found,
                        CivilTime* sent, std::string* id) {
  Answer list;
  Failure f = Call(c, a, "FindItem", FindItemRequest(a, Folder::SentItems, token), &list);
  if (f.exit) return f;
  for (const Item& item : list.items) {
    if (!Carries(item.subject, token)) continue;
    if (!ParseDateTime(item.sent, sent))
      return {kExitBadAnswer, "the sent mail's DateTimeSent \"" + item.sent + "\" is not a time"};
    *id = item.id;
    *found = true;
    return {};
  }
  return {};
}

int Run(const Arguments& a) {
  std::vector<unsigned char> pin;
  if (const char* trusted = std::getenv("QMX_EWS_TRUSTED_CERT"); trusted && *trusted) {
    if (!ParseThumbprint(trusted, &pin))
      return Fail({kExitUsage, "QMX_EWS_TRUSTED_CERT must be a SHA-1 thumbprint (40 hex digits)"});
  }
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG waitEnd = start + a.thresholdMs;
  EwsConnection c(a, pin, waitEnd + kGraceMs);
  const std::string token = Token();
  Answer created;
  Failure f = Call(c, a, "CreateItem", CreateItemRequest(a, "QMX reachability test " + token), &created);
  if (f.exit) return Fail(f);
  CivilTime sent = NowUtc();
  bool sentKnown = false, replied = false;
  std::string sentId;
  Reply reply;
  size_t withoutToken = 0;
  for (;;) {
    if (!sentKnown) f = LookForSentCopy(c, a, token, &sentKnown, &sent, &sentId);
    if (!f.exit) f = LookForReply(c, a, token, &replied, &reply, &withoutToken);
    if (f.exit) {
      // The mail went out: its time still belongs on standard output.
      std::printf("SentTime: %s\n", ToolTime(Local(sent)).c_str());
      std::fflush(stdout);
      return Fail(f);
    }
    const ULONGLONG now = GetTickCount64();
    if (replied || now >= waitEnd) break;
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kPollMs, waitEnd - now)));
  }
  std::printf("SentTime: %s\n", ToolTime(Local(sent)).c_str());
  if (replied) {
    std::printf("ReceivedTime: %s\n", ToolTime(Local(reply.received)).c_str());
    std::printf("Name: %s\n", OneLine(reply.name).c_str());
  }
  std::fflush(stdout);
  if (a.deleteMail) {
    std::vector<std::string> ids;
    if (!sentId.empty()) ids.push_back(sentId);
    if (replied) ids.push_back(reply.id);
    Answer deleted;
    if (!ids.empty()) f = Call(c, a, "DeleteItem", DeleteItemRequest(a, ids), &deleted);
    if (f.exit) std::fprintf(stderr, "qmxews: the test mails were not deleted: %s\n", Brief(f.message).c_str());
  }
  if (!replied) {
    std::fprintf(stderr, "qmxews: no reply carrying the token %s came within %lu ms%s\n", token.c_str(),
                 a.thresholdMs,
                 withoutToken ? (" (" + std::to_string(withoutToken) + " mails without it ignored)").c_str() : "");
    return kExitNoReply;
  }
  return kExitReply;
}

}  // namespace
}  // namespace qmxews

int main() {
  int argc = 0;
  std::unique_ptr<LPWSTR, qmxews::LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
  if (!argv) {
    std::fprintf(stderr, "qmxews: the command line cannot be read\n");
    return qmxews::kExitUsage;
  }
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(qmxews::Utf8(argv.get()[i]));
    SecureZeroMemory(argv.get()[i], wcslen(argv.get()[i]) * sizeof(wchar_t));
  }
  argv.reset();
  qmxews::Arguments a;
  const std::string why = qmxews::ParseArguments(args, &a);
  for (std::string& s : args)
    if (!s.empty()) SecureZeroMemory(&s[0], s.size());
  if (!why.empty()) {
    std::fprintf(stderr,
                 "qmxews: %s\nusage: qmxews.exe -getmrt user password domain server sender target "
                 "threshold-ms 2007|2010 YES|NO\n",
                 why.c_str());
    return qmxews::kExitUsage;
  }
  const int rc = qmxews::Run(a);
  SecureZeroMemory(&a.password[0], a.password.size());
  return rc;
}
