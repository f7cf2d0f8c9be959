// The portable half of qmxews: its command line, the SOAP requests it sends, the reading of the
// answers (fed element by element by whichever XML parser the platform has) and the time forms.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qmxews {

// Exit codes (5 is left out: a crash's 0xC0000005 looks like 5 to a caller that keeps 8 bits).
enum Exit : int {
  kExitReply = 0,           // a reply came: the three lines were printed
  kExitUsage = 1,           // the command line or QMX_EWS_TRUSTED_CERT is not valid
  kExitNoReply = 2,         // the mail was sent ("SentTime:" printed) but no reply came in time
  kExitNameResolution = 3,  // the server name does not resolve
  kExitConnection = 4,      // no connection, connection reset, or no complete answer in time
  kExitCertificate = 6,     // the server's certificate was not accepted
  kExitAuthentication = 7,  // the server refused the credentials
  kExitEwsError = 8,        // the server answered with an EWS error code or a SOAP fault
  kExitBadAnswer = 9,       // the answer is not a well-formed EWS answer
  kExitHttpStatus = 10,     // an HTTP status other than 200, 401 or a SOAP fault's 500
  kExitInternal = 11,       // the platform failed (no XML reader, out of memory)
};

inline constexpr std::string_view kSoapNs = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kTypesNs = "http://schemas.microsoft.com/exchange/services/2006/types";
inline constexpr std::string_view kMessagesNs =
    "http://schemas.microsoft.com/exchange/services/2006/messages";

struct Arguments {
  std::string user, password, domain, server, sender, target;
  unsigned long thresholdMs = 0;
  std::string serverVersion;  // the RequestServerVersion value, e.g. "Exchange2010"
  bool deleteMail = false;
};

// Reads "-getmrt user password domain server sender target threshold version delete" (args
// without the program name). Returns "" or what is wrong (never the password).
std::string ParseArguments(const std::vector<std::string>& args, Arguments* out);

// An SMTP address this tool will put into a request: local@domain, printable ASCII without
// blanks, quotes, angle brackets, parentheses, commas, semicolons or backslashes.
bool PlainAddress(std::string_view address);

// A server name: host name or IPv4 literal (letters, digits, '-', '.').
bool PlainHostName(std::string_view name);

// A SHA-1 certificate thumbprint: 40 hex digits, blanks and colons between them allowed.
bool ParseThumbprint(std::string_view text, std::vector<unsigned char>* digest);

std::string XmlEscape(std::string_view text);

enum class Folder { Inbox, SentItems };

// The requests. The token is the text every subject of this run carries.
std::string CreateItemRequest(const Arguments& a, std::string_view subject);
std::string FindItemRequest(const Arguments& a, Folder folder, std::string_view token);
std::string GetItemRequest(const Arguments& a, std::string_view itemId);
std::string DeleteItemRequest(const Arguments& a, const std::vector<std::string>& itemIds);

// A calendar time, second precision (UTC or local, as the caller says).
struct CivilTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// xs:dateTime as EWS writes it ("2026-12-10T17:00:05Z", fractions and "+hh:mm" offsets allowed),
// converted to UTC. False for anything else.
bool ParseDateTime(std::string_view text, CivilTime* utc);
long long EpochSeconds(const CivilTime& t);
CivilTime FromEpochSeconds(long long seconds);

// "MM/DD/YYYY  hh:mm:ss": the form of the "SentTime:" and "ReceivedTime:" lines.
std::string ToolTime(const CivilTime& t);

// Text for one output line: control characters become blanks, so a name cannot add lines.
std::string OneLine(std::string_view text);

struct Item {
  std::string id, changeKey, subject, received, sent, fromName, fromAddress;
};

struct Answer {
  std::string malformed;  // why the answer is not a usable EWS answer ("" when it is)
  bool fault = false;     // a SOAP fault: faultText says what
  std::string faultText;
  std::string responseCode;  // the first response message's code, or its first error's
  std::string messageText;
  std::vector<Item> items;
  bool Success() const { return malformed.empty() && !fault && responseCode == "NoError"; }
};

// Reads one answer to `operation` ("CreateItem", "FindItem", ...) from the events of a
// namespace-aware XML parser. Each call returns false once the answer is known to be malformed;
// the parser should stop then. Finish() after the last event (or the parser's own error).
class AnswerReader {
 public:
  explicit AnswerReader(std::string_view operation);
  bool StartElement(std::string_view ns, std::string_view local);
  bool Attribute(std::string_view ns, std::string_view local, std::string_view value);
  bool Text(std::string_view text);
  bool EndElement();
  // parserError: the parser's own complaint ("" when the document was well-formed).
  Answer Finish(const std::string& parserError);

  static constexpr size_t kMaxDepth = 64;
  static constexpr size_t kMaxText = 64 * 1024;
  static constexpr size_t kMaxItems = 1000;

 private:
  enum Kind {
    kEnvelope, kHeader, kBody, kFault, kFaultString, kOpResponse, kMessages, kMessage, kCode,
    kMessageText, kRootFolder, kItems, kItem, kItemId, kSubject, kReceived, kSent, kFrom,
    kMailbox, kName, kEmail, kOther
  };
  bool Fail(std::string why);
  bool ChildKind(std::string_view ns, std::string_view local, Kind* kind);
  std::string* TextTarget();

  std::string response_, message_;
  std::vector<Kind> stack_;
  bool bodySeen_ = false, envelopeEnded_ = false, messageSeen_ = false, codeSeen_ = false;
  std::string currentCode_, currentText_;
  Answer answer_;
};

// Largest answer body read; past it the answer counts as malformed.
inline constexpr size_t kMaxAnswerBytes = 8u * 1024u * 1024u;

}  // namespace qmxews
