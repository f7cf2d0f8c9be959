#include "ewsproto.h"

#include <cstdio>
#include <utility>

#include "../qmxcivil.h"

namespace qmxews {
namespace {

using qmx::civil::DaysFromCivil;
using qmx::civil::DaysInMonth;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Account and domain names: printable, no blank, no ':' (the Basic scheme's separator), no '\'.
bool PlainAccountPart(std::string_view s) {
  for (unsigned char c : s)
    if (c <= ' ' || c == 0x7f || c == ':' || c == '\\' || c == '"') return false;
  return true;
}

const char* FolderId(Folder f) { return f == Folder::Inbox ? "inbox" : "sentitems"; }

std::string Envelope(const Arguments& a, const std::string& body) {
  std::string x;
  x.reserve(body.size() + 512);
  x += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<soap:Envelope xmlns:soap=\"";
  x += kSoapNs;
  x += "\" xmlns:t=\"";
  x += kTypesNs;
  x += "\" xmlns:m=\"";
  x += kMessagesNs;
  x += "\"><soap:Header><t:RequestServerVersion Version=\"" + XmlEscape(a.serverVersion) +
       "\"/></soap:Header><soap:Body>" + body + "</soap:Body></soap:Envelope>";
  return x;
}

std::string MailboxFolder(Folder f, const std::string& mailbox) {
  return std::string("<t:DistinguishedFolderId Id=\"") + FolderId(f) +
         "\"><t:Mailbox><t:EmailAddress>" + XmlEscape(mailbox) +
         "</t:EmailAddress></t:Mailbox></t:DistinguishedFolderId>";
}

int Digits(std::string_view s, size_t at, size_t n) {
  if (at + n > s.size()) return -1;
  int v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}


}  // namespace

std::string ParseArguments(const std::vector<std::string>& args, Arguments* out) {
  if (args.empty() || !EqualsNoCase(args[0], "-getmrt"))
    return "the first argument must be -getmrt";
  // The domain may be empty, and an empty argument vanishes from a command line joined with
  // single blanks: nine arguments are read as the ten with no domain.
  std::vector<std::string> v(args.begin() + 1, args.end());
  if (v.size() == 8) v.insert(v.begin() + 2, std::string());
  if (v.size() != 9)
    return "expected: -getmrt user password domain server sender target threshold version delete";
  Arguments a;
  a.user = v[0];
  a.password = v[1];
  a.domain = v[2];
  a.server = v[3];
  a.sender = v[4];
  a.target = v[5];
  if (a.user.empty() || !PlainAccountPart(a.user)) return "the user name is empty or not plain text";
  if (a.password.empty()) return "the password is empty";
  if (!PlainAccountPart(a.domain)) return "the domain is not plain text";
  if (!PlainHostName(a.server)) return "the server name \"" + OneLine(a.server) + "\" is not a host name";
  if (!PlainAddress(a.sender)) return "the sender \"" + OneLine(a.sender) + "\" is not a plain mail address";
  if (!PlainAddress(a.target)) return "the target \"" + OneLine(a.target) + "\" is not a plain mail address";
  if (!AllDigits(v[6]) || v[6].size() > 8 || std::stoul(v[6]) > 86400000UL)
    return "the threshold must be milliseconds from 0 to 86400000";
  a.thresholdMs = std::stoul(v[6]);
  if (v[7] == "2007") a.serverVersion = "Exchange2007_SP1";
  else if (v[7] == "2010") a.serverVersion = "Exchange2010";
  else return "the version must be 2007 or 2010";
  if (EqualsNoCase(v[8], "YES")) a.deleteMail = true;
  else if (EqualsNoCase(v[8], "NO")) a.deleteMail = false;
  else return "the delete flag must be YES or NO";
  *out = std::move(a);
  return "";
}

bool PlainAddress(std::string_view address) {
  const size_t at = address.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 >= address.size() ||
      address.find('@', at + 1) != std::string_view::npos || address.size() > 320)
    return false;
  for (unsigned char c : address)
    if (c <= ' ' || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '(' || c == ')' ||
        c == ',' || c == ';' || c == ':' || c == '\\' || c == '[' || c == ']')
      return false;
  return PlainHostName(address.substr(at + 1));
}

bool PlainHostName(std::string_view name) {
  if (name.empty() || name.size() > 253 || name.front() == '.' || name.front() == '-') return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.'))
      return false;
  return true;
}

bool ParseThumbprint(std::string_view text, std::vector<unsigned char>* digest) {
  std::vector<unsigned char> d;
  int half = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if ((c == ' ' || c == ':') && half < 0) continue;
    else return false;
    if (half < 0) {
      half = v;
    } else {
      d.push_back(static_cast<unsigned char>(half * 16 + v));
      half = -1;
    }
  }
  if (half >= 0 || d.size() != 20) return false;
  *digest = std::move(d);
  return true;
}

std::string XmlEscape(std::string_view text) {
  std::string r;
  r.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': r += "&amp;"; break;
      case '<': r += "&lt;"; break;
      case '>': r += "&gt;"; break;
      case '"': r += "&quot;"; break;
      case '\'': r += "&apos;"; break;
      default: r += c;
    }
  }
  return r;
}

std::string CreateItemRequest(const Arguments& a, std::string_view subject) {
  return Envelope(a,
      "<m:CreateItem MessageDisposition=\"SendAndSaveCopy\"><m:SavedItemFolderId>" +
      MailboxFolder(Folder::SentItems, a.sender) +
      "</m:SavedItemFolderId><m:Items><t:Message><t:Subject>" + XmlEscape(subject) +
      "</t:Subject><t:Body BodyType=\"Text\">Reachability test mail; please answer it "
      "automatically.</t:Body><t:ToRecipients><t:Mailbox><t:EmailAddress>" + XmlEscape(a.target) +
      "</t:EmailAddress></t:Mailbox></t:ToRecipients></t:Message></m:Items></m:CreateItem>");
}

std::string FindItemRequest(const Arguments& a, Folder folder, std::string_view token) {
  return Envelope(a,
      "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
      "<t:AdditionalProperties><t:FieldURI FieldURI=\"item:Subject\"/>"
      "<t:FieldURI FieldURI=\"item:DateTimeReceived\"/><t:FieldURI FieldURI=\"item:DateTimeSent\"/>"
      "</t:AdditionalProperties></m:ItemShape><m:Restriction><t:Contains "
      "ContainmentMode=\"Substring\" ContainmentComparison=\"IgnoreCase\">"
      "<t:FieldURI FieldURI=\"item:Subject\"/><t:Constant Value=\"" + XmlEscape(token) +
      "\"/></t:Contains></m:Restriction><m:ParentFolderIds>" + MailboxFolder(folder, a.sender) +
      "</m:ParentFolderIds></m:FindItem>");
}

std::string GetItemRequest(const Arguments& a, std::string_view itemId) {
  return Envelope(a,
      "<m:GetItem><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape><t:AdditionalProperties>"
      "<t:FieldURI FieldURI=\"item:Subject\"/><t:FieldURI FieldURI=\"item:DateTimeReceived\"/>"
      "<t:FieldURI FieldURI=\"message:From\"/></t:AdditionalProperties></m:ItemShape>"
      "<m:ItemIds><t:ItemId Id=\"" + XmlEscape(itemId) + "\"/></m:ItemIds></m:GetItem>");
}

std::string DeleteItemRequest(const Arguments& a, const std::vector<std::string>& itemIds) {
  std::string ids;
  for (const std::string& id : itemIds) ids += "<t:ItemId Id=\"" + XmlEscape(id) + "\"/>";
  return Envelope(a, "<m:DeleteItem DeleteType=\"SoftDelete\"><m:ItemIds>" + ids +
                         "</m:ItemIds></m:DeleteItem>");
}

bool ParseDateTime(std::string_view s, CivilTime* utc) {
  CivilTime t;
  t.year = Digits(s, 0, 4);
  t.month = Digits(s, 5, 2);
  t.day = Digits(s, 8, 2);
  t.hour = Digits(s, 11, 2);
  t.minute = Digits(s, 14, 2);
  t.second = Digits(s, 17, 2);
  if (s.size() < 19 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
      t.year < 1900 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59)
    return false;
  size_t i = 19;
  if (i < s.size() && s[i] == '.') {
    ++i;
    const size_t first = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == first) return false;
  }
  long long offset = 0;
  if (i < s.size() && s[i] == 'Z') {
    ++i;
  } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    const int h = Digits(s, i + 1, 2), m = Digits(s, i + 4, 2);
    if (h < 0 || h > 14 || m < 0 || m > 59 || i + 3 >= s.size() || s[i + 3] != ':') return false;
    offset = (h * 60LL + m) * 60LL * (s[i] == '+' ? 1 : -1);
    i += 6;
  }
  if (i != s.size()) return false;
  *utc = FromEpochSeconds(EpochSeconds(t) - offset);
  return true;
}

long long EpochSeconds(const CivilTime& t) {
  return DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) * 86400 +
         t.hour * 3600LL + t.minute * 60LL + t.second;
}

CivilTime FromEpochSeconds(long long seconds) {
  long long days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  // civil_from_days
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  CivilTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (t.month <= 2));
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  return t;
}

std::string ToolTime(const CivilTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d  %02d:%02d:%02d", t.month, t.day, t.year, t.hour,
                t.minute, t.second);
  return buf;
}

std::string OneLine(std::string_view text) {
  std::string r(text);
  for (char& c : r)
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) c = ' ';
  return r;
}

AnswerReader::AnswerReader(std::string_view operation)
    : response_(std::string(operation) + "Response"),
      message_(std::string(operation) + "ResponseMessage") {}

bool AnswerReader::Fail(std::string why) {
  if (answer_.malformed.empty()) answer_.malformed = std::move(why);
  return false;
}

bool AnswerReader::ChildKind(std::string_view ns, std::string_view local, Kind* kind) {
  // The plain parent-child steps of the answers read; anything else is skipped as kOther.
  struct Step {
    Kind parent;
    std::string_view ns, local;
    Kind child;
  };
  static const Step kSteps[] = {
      {kEnvelope, kSoapNs, "Header", kHeader},
      {kFault, "", "faultstring", kFaultString},
      {kOpResponse, kMessagesNs, "ResponseMessages", kMessages},
      {kMessage, kMessagesNs, "ResponseCode", kCode},
      {kMessage, kMessagesNs, "MessageText", kMessageText},
      {kMessage, kMessagesNs, "RootFolder", kRootFolder},
      {kMessage, kMessagesNs, "Items", kItems},
      {kRootFolder, kTypesNs, "Items", kItems},
      {kItem, kTypesNs, "ItemId", kItemId},
      {kItem, kTypesNs, "Subject", kSubject},
      {kItem, kTypesNs, "DateTimeReceived", kReceived},
      {kItem, kTypesNs, "DateTimeSent", kSent},
      {kItem, kTypesNs, "From", kFrom},
      {kFrom, kTypesNs, "Mailbox", kMailbox},
      {kMailbox, kTypesNs, "Name", kName},
      {kMailbox, kTypesNs, "EmailAddress", kEmail},
  };
  if (stack_.empty()) {
    if (envelopeEnded_) return Fail("more than one document element");
    if (!(ns == kSoapNs && local == "Envelope")) return Fail("the answer is not a SOAP envelope");
    *kind = kEnvelope;
    return true;
  }
  const Kind parent = stack_.back();
  *kind = kOther;
  if (parent == kEnvelope && ns == kSoapNs && local == "Body") {
    if (bodySeen_) return Fail("more than one SOAP body");
    bodySeen_ = true;
    *kind = kBody;
  } else if (parent == kBody) {
    if (ns == kSoapNs && local == "Fault") *kind = kFault;
    else if (ns == kMessagesNs && local == response_) *kind = kOpResponse;
    else return Fail("the SOAP body holds no " + response_ + " of the messages namespace");
  } else if (parent == kMessages) {
    if (!(ns == kMessagesNs && local == message_))
      return Fail("unexpected response message " + std::string(local));
    *kind = kMessage;
    messageSeen_ = true;
    codeSeen_ = false;
    currentCode_.clear();
    currentText_.clear();
  } else if (parent == kItems && ns == kTypesNs) {
    if (answer_.items.size() >= kMaxItems) return Fail("too many items");
    answer_.items.emplace_back();
    *kind = kItem;
  } else {
    for (const Step& step : kSteps)
      if (step.parent == parent && step.ns == ns && step.local == local) *kind = step.child;
  }
  return true;
}

bool AnswerReader::StartElement(std::string_view ns, std::string_view local) {
  if (!answer_.malformed.empty()) return false;
  if (stack_.size() >= kMaxDepth) return Fail("elements nested too deep");
  Kind k;
  if (!ChildKind(ns, local, &k)) return false;
  stack_.push_back(k);
  return true;
}

bool AnswerReader::Attribute(std::string_view ns, std::string_view local, std::string_view value) {
  if (!answer_.malformed.empty()) return false;
  if (stack_.empty() || stack_.back() != kItemId || !ns.empty()) return true;
  if (value.size() > kMaxText) return Fail("an item id is too long");
  if (local == "Id") answer_.items.back().id = std::string(value);
  else if (local == "ChangeKey") answer_.items.back().changeKey = std::string(value);
  return true;
}

std::string* AnswerReader::TextTarget() {
  if (stack_.empty()) return nullptr;
  switch (stack_.back()) {
    case kFaultString: return &answer_.faultText;
    case kCode: return &currentCode_;
    case kMessageText: return &currentText_;
    case kSubject: return &answer_.items.back().subject;
    case kReceived: return &answer_.items.back().received;
    case kSent: return &answer_.items.back().sent;
    case kName: return stack_.size() >= 3 && stack_[stack_.size() - 3] == kFrom
                           ? &answer_.items.back().fromName : nullptr;
    case kEmail: return stack_.size() >= 3 && stack_[stack_.size() - 3] == kFrom
                            ? &answer_.items.back().fromAddress : nullptr;
    default: return nullptr;
  }
}

bool AnswerReader::Text(std::string_view text) {
  if (!answer_.malformed.empty()) return false;
  std::string* target = TextTarget();
  if (!target) return true;
  if (target->size() + text.size() > kMaxText) return Fail("an element's text is too long");
  target->append(text);
  return true;
}

bool AnswerReader::EndElement() {
  if (!answer_.malformed.empty()) return false;
  if (stack_.empty()) return Fail("an end tag without its start");
  const Kind k = stack_.back();
  stack_.pop_back();
  switch (k) {
    case kEnvelope: envelopeEnded_ = true; break;
    case kFault: answer_.fault = true; break;
    case kCode: codeSeen_ = true; break;
    case kMessage:
      if (!codeSeen_) return Fail("a response message without ResponseCode");
      // The first error decides; without one the first code (NoError) stands.
      if (answer_.responseCode.empty() ||
          (answer_.responseCode == "NoError" && currentCode_ != "NoError")) {
        answer_.responseCode = currentCode_;
        answer_.messageText = currentText_;
      }
      break;
    case kItem:
      if (answer_.items.back().id.empty()) return Fail("an item without ItemId");
      break;
    default: break;
  }
  return true;
}

Answer AnswerReader::Finish(const std::string& parserError) {
  if (!parserError.empty()) Fail("not well-formed XML: " + parserError);
  else if (!envelopeEnded_ || !stack_.empty()) Fail("the answer ends before its envelope does");
  else if (!bodySeen_) Fail("the answer has no SOAP body");
  else if (!answer_.fault && !messageSeen_) Fail("the answer has no " + message_);
  if (!answer_.malformed.empty()) {
    Answer bad;
    bad.malformed = answer_.malformed;
    return bad;
  }
  return std::move(answer_);
}

}  // namespace qmxews
