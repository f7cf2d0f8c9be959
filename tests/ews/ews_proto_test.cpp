// The portable half of qmxews on the host: command line, requests, times, and the answer reader
// fed by a real XML parser (expat here, XmlLite in the Windows build).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ewsproto.h"
#include "expat_events.h"

namespace qmxews {
namespace {

const std::string kM = std::string(kMessagesNs);
const std::string kT = std::string(kTypesNs);
const std::string kS = std::string(kSoapNs);

std::vector<std::string> Good() {
  return {"-getmrt", "mbx", "pw", "CORP", "exch01.corp.example", "mbx@corp.example",
          "echo@corp.example", "60000", "2010", "NO"};
}

TEST(EwsArguments, TheAgentsCommandLineIsRead) {
  Arguments a;
  ASSERT_EQ(ParseArguments(Good(), &a), "");
  EXPECT_EQ(a.user, "mbx");
  EXPECT_EQ(a.password, "pw");
  EXPECT_EQ(a.domain, "CORP");
  EXPECT_EQ(a.server, "exch01.corp.example");
  EXPECT_EQ(a.sender, "mbx@corp.example");
  EXPECT_EQ(a.target, "echo@corp.example");
  EXPECT_EQ(a.thresholdMs, 60000UL);
  EXPECT_EQ(a.serverVersion, "Exchange2010");
  EXPECT_FALSE(a.deleteMail);
}

TEST(EwsArguments, NineArgumentsMeanNoDomain) {
  std::vector<std::string> v = Good();
  v.erase(v.begin() + 3);
  Arguments a;
  ASSERT_EQ(ParseArguments(v, &a), "");
  EXPECT_EQ(a.domain, "");
  EXPECT_EQ(a.server, "exch01.corp.example");
  EXPECT_EQ(a.target, "echo@corp.example");
}

TEST(EwsArguments, Values) {
  struct Case {
    size_t index;
    const char* value;
    bool ok;
    const char* field;  // what the result must show when ok
  } cases[] = {
      {8, "2007", true, "Exchange2007_SP1"}, {8, "2010", true, "Exchange2010"},
      {8, "2013", false, ""},                {8, "", false, ""},
      {9, "yes", true, "delete"},            {9, "YES", true, "delete"},
      {9, "No", true, "keep"},               {9, "TRUE", false, ""},
      {7, "0", true, "0"},                   {7, "86400000", true, "86400000"},
      {7, "86400001", false, ""},            {7, "-1", false, ""},
      {7, "99999999999999999999", false, ""}, {7, "60s", false, ""},
      {0, "-GETMRT", true, "Exchange2010"},  {0, "getmrt", false, ""},
      {6, "\"echo\"@corp.example", false, ""}, {6, "<echo@corp.example>", false, ""},
      {6, "echo@corp.example>", false, ""},  {6, "a@b@corp.example", false, ""},
      {6, "echo@", false, ""},               {6, "@corp.example", false, ""},
      {6, "echo @corp.example", false, ""},  {6, "a;b@corp.example", false, ""},
      {6, "first.last+tag@corp-1.example", true, "Exchange2010"},
      {5, "mbx", false, ""},                 {4, "exch01 corp", false, ""},
      {4, "exch/01", false, ""},             {4, "", false, ""},
      {1, "", false, ""},                    {1, "a:b", false, ""},
      {2, "", false, ""},                    {3, "CO RP", false, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> v = Good();
    v[c.index] = c.value;
    Arguments a;
    const std::string why = ParseArguments(v, &a);
    EXPECT_EQ(why.empty(), c.ok) << c.index << " '" << c.value << "': " << why;
    if (!c.ok || !why.empty()) continue;
    const std::string f = c.field;
    if (f == "delete" || f == "keep") EXPECT_EQ(a.deleteMail, f == "delete") << c.value;
    else if (c.index == 7) EXPECT_EQ(std::to_string(a.thresholdMs), f);
    else EXPECT_EQ(a.serverVersion, f);
  }
}

TEST(EwsArguments, CountsAndMessagesNeverHoldThePassword) {
  for (size_t n : {0u, 1u, 8u, 11u, 12u}) {
    std::vector<std::string> v = Good();
    v.resize(n, "x");
    Arguments a;
    EXPECT_NE(ParseArguments(v, &a), "") << n;
  }
  std::vector<std::string> v = Good();
  v[2] = "Secret-77";
  v[6] = "<bad>";
  Arguments a;
  const std::string why = ParseArguments(v, &a);
  EXPECT_NE(why, "");
  EXPECT_EQ(why.find("Secret-77"), std::string::npos);
}

TEST(EwsThumbprint, Forms) {
  const std::string hex = "3C9D71993B2BB31624D3F85478048D05AD4A6148";
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {{hex, true},
               {"3c9d71993b2bb31624d3f85478048d05ad4a6148", true},
               {"3C:9D:71:99:3B:2B:B3:16:24:D3:F8:54:78:04:8D:05:AD:4A:61:48", true},
               {"3C 9D 71 99 3B 2B B3 16 24 D3 F8 54 78 04 8D 05 AD 4A 61 48", true},
               {hex.substr(0, 38), false},
               {hex + "00", false},
               {"3" + hex.substr(0, 38) + "G", false},
               {"3:C" + hex.substr(2), false},  // a separator inside a byte
               {"", false}};
  for (const Case& c : cases) {
    std::vector<unsigned char> d;
    EXPECT_EQ(ParseThumbprint(c.text, &d), c.ok) << c.text;
    if (c.ok) {
      ASSERT_EQ(d.size(), 20u);
      EXPECT_EQ(d[0], 0x3C);
      EXPECT_EQ(d[19], 0x48);
    }
  }
}

TEST(EwsTime, DateTimeForms) {
  struct Case {
    const char* text;
    bool ok;
    const char* tool;  // the UTC time in the tool's form
  } cases[] = {
      {"2026-12-10T17:00:05Z", true, "12/10/2026  17:00:05"},
      {"2026-12-10T17:00:05.123Z", true, "12/10/2026  17:00:05"},
      {"2026-12-10T17:00:05", true, "12/10/2026  17:00:05"},
      {"2026-12-10T23:30:00-01:00", true, "12/11/2026  00:30:00"},
      {"2027-01-01T00:30:00+01:00", true, "12/31/2026  23:30:00"},
      {"2024-02-29T12:00:00Z", true, "02/29/2024  12:00:00"},
      {"2026-02-29T12:00:00Z", false, ""},
      {"2026-13-01T00:00:00Z", false, ""},
      {"2026-12-10 17:00:05Z", false, ""},
      {"2026-12-10T24:00:00Z", false, ""},
      {"2026-12-10T17:00:05.Z", false, ""},
      {"2026-12-10T17:00:05+1:00", false, ""},
      {"2026-12-10T17:00:05Zjunk", false, ""},
      {"yesterday", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    CivilTime t;
    EXPECT_EQ(ParseDateTime(c.text, &t), c.ok) << c.text;
    if (c.ok) EXPECT_EQ(ToolTime(t), c.tool) << c.text;
  }
}

TEST(EwsTime, EpochRoundTrip) {
  for (long long s : {0LL, 86399LL, 951782400LL /* 2000-02-29 */, 1765386005LL, 4102444799LL}) {
    EXPECT_EQ(EpochSeconds(FromEpochSeconds(s)), s);
  }
  CivilTime t = FromEpochSeconds(951782400LL);
  EXPECT_EQ(ToolTime(t), "02/29/2000  00:00:00");
}

TEST(EwsText, OneLineAndEscape) {
  EXPECT_EQ(OneLine("Echo\r\nSentTime: 01/01/2000  00:00:00"), "Echo  SentTime: 01/01/2000  00:00:00");
  EXPECT_EQ(XmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
}

// Each request is well-formed SOAP of the right namespaces whose operation element is as asked;
// the values travel escaped and come back whole.
TEST(EwsRequests, ParseAsTheirOperation) {
  Arguments a;
  ASSERT_EQ(ParseArguments(Good(), &a), "");
  const std::string subject = "QMX test <&\"'> 0123";
  struct Case {
    std::string op, xml;
  } cases[] = {{"CreateItem", CreateItemRequest(a, subject)},
               {"FindItem", FindItemRequest(a, Folder::Inbox, "TOKEN<&>")},
               {"FindItem", FindItemRequest(a, Folder::SentItems, "TOKEN")},
               {"GetItem", GetItemRequest(a, "AAMk\"<id>")},
               {"DeleteItem", DeleteItemRequest(a, {"id1", "id&2"})}};
  for (const Case& c : cases) {
    // A request read as if it were the answer: the reader sees the envelope and the body, then
    // stops at the request element, which is no response: proof the document is well-formed
    // SOAP 1.1 up to there.
    const Answer r = ReadWithExpat(c.op, c.xml);
    EXPECT_EQ(r.malformed, "the SOAP body holds no " + c.op + "Response of the messages namespace")
        << c.xml;
    EXPECT_NE(c.xml.find("<t:RequestServerVersion Version=\"Exchange2010\"/>"), std::string::npos);
    EXPECT_NE(c.xml.find("<m:" + c.op), std::string::npos);
  }
  EXPECT_NE(cases[0].xml.find("QMX test &lt;&amp;&quot;&apos;&gt; 0123"), std::string::npos);
  EXPECT_NE(cases[0].xml.find("MessageDisposition=\"SendAndSaveCopy\""), std::string::npos);
  EXPECT_NE(cases[1].xml.find("Value=\"TOKEN&lt;&amp;&gt;\""), std::string::npos);
  EXPECT_NE(cases[1].xml.find("Id=\"inbox\""), std::string::npos);
  EXPECT_NE(cases[2].xml.find("Id=\"sentitems\""), std::string::npos);
  EXPECT_NE(cases[3].xml.find("Id=\"AAMk&quot;&lt;id&gt;\""), std::string::npos);
  EXPECT_NE(cases[4].xml.find("<t:ItemId Id=\"id&amp;2\"/>"), std::string::npos);
}

std::string Envelope(const std::string& body, const std::string& soap = kS) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"" + soap +
         "\"><s:Header><h:ServerVersionInfo xmlns:h=\"" + kT + "\" MajorVersion=\"14\"/></s:Header>"
         "<s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string Response(const std::string& op, const std::string& messages, const std::string& m = kM) {
  return Envelope("<m:" + op + "Response xmlns:m=\"" + m + "\" xmlns:t=\"" + kT +
                  "\"><m:ResponseMessages>" + messages + "</m:ResponseMessages></m:" + op + "Response>");
}

std::string Message(const std::string& op, const std::string& code, const std::string& inner = "") {
  return "<m:" + op + "ResponseMessage ResponseClass=\"" + (code == "NoError" ? "Success" : "Error") +
         "\"><m:MessageText>text of " + code + "</m:MessageText><m:ResponseCode>" + code +
         "</m:ResponseCode>" + inner + "</m:" + op + "ResponseMessage>";
}

std::string Nest(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "<a>";
  for (int i = 0; i < depth; ++i) s += "</a>";
  return s;
}

const char kItem[] =
    "<t:Message><t:ItemId Id=\"ID1\" ChangeKey=\"CK1\"/><t:Subject>RE: test &amp; TOKEN</t:Subject>"
    "<t:DateTimeReceived>2026-12-10T17:00:05Z</t:DateTimeReceived>"
    "<t:DateTimeSent>2026-12-10T17:00:01Z</t:DateTimeSent>"
    "<t:From><t:Mailbox><t:Name>Echo <![CDATA[Responder]]></t:Name>"
    "<t:EmailAddress>echo@corp.example</t:EmailAddress></t:Mailbox></t:From>"
    "<t:ToRecipients><t:Mailbox><t:Name>NotTheSender</t:Name></t:Mailbox></t:ToRecipients></t:Message>";

TEST(EwsAnswer, FindItemItemsAreRead) {
  const Answer a = ReadWithExpat(
      "FindItem", Response("FindItem", Message("FindItem", "NoError",
                                               std::string("<m:RootFolder TotalItemsInView=\"2\"><t:Items>") +
                                                   kItem + kItem + "</t:Items></m:RootFolder>")));
  ASSERT_TRUE(a.Success()) << a.malformed;
  ASSERT_EQ(a.items.size(), 2u);
  const Item& i = a.items[0];
  EXPECT_EQ(i.id, "ID1");
  EXPECT_EQ(i.changeKey, "CK1");
  EXPECT_EQ(i.subject, "RE: test & TOKEN");
  EXPECT_EQ(i.received, "2026-12-10T17:00:05Z");
  EXPECT_EQ(i.sent, "2026-12-10T17:00:01Z");
  EXPECT_EQ(i.fromName, "Echo Responder");  // not the recipient's name
  EXPECT_EQ(i.fromAddress, "echo@corp.example");
}

TEST(EwsAnswer, Outcomes) {
  struct Case {
    const char* name;
    std::string op, xml;
    const char* malformed;  // a part of the complaint, or "" for a readable answer
    bool fault;
    const char* code;
  } cases[] = {
      {"success", "CreateItem", Response("CreateItem", Message("CreateItem", "NoError", "<m:Items/>")), "",
       false, "NoError"},
      {"error code", "CreateItem", Response("CreateItem", Message("CreateItem", "ErrorNonExistentMailbox")),
       "", false, "ErrorNonExistentMailbox"},
      {"first error of several", "DeleteItem",
       Response("DeleteItem", Message("DeleteItem", "NoError") + Message("DeleteItem", "ErrorItemNotFound") +
                                  Message("DeleteItem", "ErrorAccessDenied")),
       "", false, "ErrorItemNotFound"},
      {"fault", "GetItem",
       Envelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>schema</faultstring></s:Fault>"), "",
       true, ""},
      {"SOAP 1.2 envelope", "CreateItem",
       Envelope("<x/>", "http://www.w3.org/2003/05/soap-envelope"), "not a SOAP envelope", false, ""},
      {"messages in another namespace", "CreateItem",
       Response("CreateItem", Message("CreateItem", "NoError"), "urn:other"), "holds no CreateItemResponse",
       false, ""},
      {"answer to another operation", "FindItem", Response("CreateItem", Message("CreateItem", "NoError")),
       "holds no FindItemResponse", false, ""},
      {"wrong message element", "FindItem", Response("FindItem", Message("GetItem", "NoError")),
       "unexpected response message", false, ""},
      {"no response code", "CreateItem",
       Response("CreateItem", "<m:CreateItemResponseMessage ResponseClass=\"Success\"/>"),
       "without ResponseCode", false, ""},
      {"no response message", "CreateItem", Response("CreateItem", ""), "has no CreateItemResponseMessage",
       false, ""},
      {"no body", "CreateItem", "<s:Envelope xmlns:s=\"" + kS + "\"/>", "no SOAP body", false, ""},
      {"two bodies", "CreateItem",
       "<s:Envelope xmlns:s=\"" + kS + "\"><s:Body/><s:Body/></s:Envelope>", "more than one SOAP body",
       false, ""},
      {"item without id", "FindItem",
       Response("FindItem", Message("FindItem", "NoError",
                                    "<m:RootFolder><t:Items><t:Message/></t:Items></m:RootFolder>")),
       "without ItemId", false, ""},
      {"truncated", "CreateItem",
       Response("CreateItem", Message("CreateItem", "NoError")).substr(0, 200), "not well-formed", false, ""},
      {"not XML", "CreateItem", "HTTP/1.1 200 OK", "not well-formed", false, ""},
      {"empty", "CreateItem", "", "not well-formed", false, ""},
      {"document type", "CreateItem",
       "<!DOCTYPE s [<!ENTITY a \"NoError\">]>" + Response("CreateItem", Message("CreateItem", "NoError")),
       "document type", false, ""},
      {"text too long", "CreateItem",
       Response("CreateItem", Message("CreateItem", std::string(AnswerReader::kMaxText + 1, 'x'))),
       "too long", false, ""},
      {"nested too deep", "CreateItem",
       Response("CreateItem", Message("CreateItem", "NoError", Nest(100))),
       "nested too deep", false, ""},
  };
  for (const Case& c : cases) {
    const Answer a = ReadWithExpat(c.op, c.xml);
    if (*c.malformed) {
      EXPECT_NE(a.malformed.find(c.malformed), std::string::npos) << c.name << ": " << a.malformed;
      EXPECT_FALSE(a.Success()) << c.name;
      EXPECT_TRUE(a.items.empty()) << c.name;
      continue;
    }
    EXPECT_EQ(a.malformed, "") << c.name;
    EXPECT_EQ(a.fault, c.fault) << c.name;
    EXPECT_EQ(a.responseCode, c.code) << c.name;
    EXPECT_EQ(a.Success(), std::string(c.code) == "NoError") << c.name;
    if (!a.fault && std::string(c.code) != "NoError") EXPECT_EQ(a.messageText, "text of " + a.responseCode);
  }
}

TEST(EwsAnswer, ItemCountIsBounded) {
  std::string items;
  for (size_t i = 0; i <= AnswerReader::kMaxItems; ++i) items += "<t:Message><t:ItemId Id=\"X\"/></t:Message>";
  const Answer a = ReadWithExpat(
      "FindItem", Response("FindItem", Message("FindItem", "NoError",
                                               "<m:RootFolder><t:Items>" + items + "</t:Items></m:RootFolder>")));
  EXPECT_NE(a.malformed.find("too many items"), std::string::npos) << a.malformed;
}

}  // namespace
}  // namespace qmxews
