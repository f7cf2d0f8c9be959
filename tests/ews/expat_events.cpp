#include "expat_events.h"

#include <expat.h>

#include <cstring>
#include <memory>
#include <string_view>

namespace qmxews {
namespace {

constexpr char kSeparator = '\x01';

struct Context {
  XML_Parser parser;
  AnswerReader* reader;
  std::string complaint;
};

void Split(const XML_Char* name, std::string_view* ns, std::string_view* local) {
  std::string_view n(name);
  const size_t cut = n.find(kSeparator);
  *ns = cut == std::string_view::npos ? std::string_view() : n.substr(0, cut);
  *local = cut == std::string_view::npos ? n : n.substr(cut + 1);
}

void Stop(Context* c) { XML_StopParser(c->parser, XML_FALSE); }

void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto* c = static_cast<Context*>(data);
  std::string_view ns, local;
  Split(name, &ns, &local);
  if (!c->reader->StartElement(ns, local)) return Stop(c);
  for (const XML_Char** a = attributes; *a; a += 2) {
    Split(a[0], &ns, &local);
    if (!c->reader->Attribute(ns, local, a[1])) return Stop(c);
  }
}

void OnEnd(void* data, const XML_Char*) {
  auto* c = static_cast<Context*>(data);
  if (!c->reader->EndElement()) Stop(c);
}

void OnText(void* data, const XML_Char* text, int length) {
  auto* c = static_cast<Context*>(data);
  if (!c->reader->Text(std::string_view(text, static_cast<size_t>(length)))) Stop(c);
}

void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto* c = static_cast<Context*>(data);
  c->complaint = "a document type declaration";
  Stop(c);
}

}  // namespace

Answer ReadWithExpat(const std::string& operation, const std::string& body) {
  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
      XML_ParserCreateNS(nullptr, kSeparator), &XML_ParserFree);
  AnswerReader reader(operation);
  Context c{parser.get(), &reader, ""};
  XML_SetUserData(parser.get(), &c);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  XML_SetCharacterDataHandler(parser.get(), OnText);
  XML_SetStartDoctypeDeclHandler(parser.get(), OnDoctype);
  const XML_Status status =
      XML_Parse(parser.get(), body.data(), static_cast<int>(body.size()), XML_TRUE);
  if (status == XML_STATUS_ERROR && c.complaint.empty() &&
      XML_GetErrorCode(parser.get()) != XML_ERROR_ABORTED)
    c.complaint = XML_ErrorString(XML_GetErrorCode(parser.get()));
  return reader.Finish(c.complaint);
}

}  // namespace qmxews
