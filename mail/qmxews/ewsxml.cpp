#include "ewsxml.h"

#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>
#include <wrl/client.h>
#include <xmllite.h>

#include <cstdio>
#include <memory>

namespace qmxews {
namespace {

using Microsoft::WRL::ComPtr;
using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

struct LibraryCloser {
  void operator()(HMODULE m) const { FreeLibrary(m); }
};

std::string Utf8(const wchar_t* text, UINT length) {
  if (!text || length == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string r(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &r[0], n, nullptr, nullptr);
  return r;
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lx", static_cast<unsigned long>(hr));
  return buf;
}

// The reader's namespace and local name at its current node.
bool Names(IXmlReader* r, std::string* ns, std::string* local) {
  const wchar_t* text = nullptr;
  UINT length = 0;
  if (FAILED(r->GetNamespaceUri(&text, &length))) return false;
  *ns = Utf8(text, length);
  if (FAILED(r->GetLocalName(&text, &length))) return false;
  *local = Utf8(text, length);
  return true;
}

// Feeds the reader's nodes to the answer reader; returns the parser's complaint or "".
std::string Feed(IXmlReader* r, AnswerReader* answer) {
  XmlNodeType type;
  HRESULT hr;
  std::string ns, local;
  while ((hr = r->Read(&type)) == S_OK) {
    bool more = true;
    switch (type) {
      case XmlNodeType_Element: {
        const bool empty = r->IsEmptyElement();
        if (!Names(r, &ns, &local)) return "element name unreadable";
        more = answer->StartElement(ns, local);
        for (HRESULT a = r->MoveToFirstAttribute(); more && a == S_OK; a = r->MoveToNextAttribute()) {
          const wchar_t* value = nullptr;
          UINT length = 0;
          if (!Names(r, &ns, &local) || FAILED(r->GetValue(&value, &length)))
            return "attribute unreadable";
          if (ns == "http://www.w3.org/2000/xmlns/") continue;
          more = answer->Attribute(ns, local, Utf8(value, length));
        }
        r->MoveToElement();
        if (more && empty) more = answer->EndElement();
        break;
      }
      case XmlNodeType_EndElement: more = answer->EndElement(); break;
      case XmlNodeType_Text:
      case XmlNodeType_CDATA:
      case XmlNodeType_Whitespace: {
        const wchar_t* value = nullptr;
        UINT length = 0;
        if (FAILED(r->GetValue(&value, &length))) return "text unreadable";
        more = answer->Text(Utf8(value, length));
        break;
      }
      case XmlNodeType_DocumentType: return "a document type declaration";
      default: break;
    }
    if (!more) return "";  // the answer reader has said why
  }
  return hr == S_FALSE ? "" : "XmlLite error " + Hex(hr);
}

}  // namespace

bool ReadAnswer(const std::string& operation, const std::string& body, Answer* answer,
                std::string* why) {
  // XmlLite has no import library in the MinGW runtime: take it from the system folder only.
  wchar_t system[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH - 16) {
    *why = "the system folder is unknown";
    return false;
  }
  std::unique_ptr<HINSTANCE__, LibraryCloser> lib(
      LoadLibraryW((std::wstring(system, n) + L"\\xmllite.dll").c_str()));
  auto create = lib ? reinterpret_cast<CreateXmlReaderFn>(
                          reinterpret_cast<void*>(GetProcAddress(lib.get(), "CreateXmlReader")))
                    : nullptr;
  if (!create) {
    *why = "xmllite.dll cannot be loaded (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  ComPtr<IStream> stream;
  stream.Attach(SHCreateMemStream(reinterpret_cast<const BYTE*>(body.data()),
                                  static_cast<UINT>(body.size())));
  ComPtr<IXmlReader> reader;
  HRESULT hr = stream ? create(__uuidof(IXmlReader), reinterpret_cast<void**>(reader.GetAddressOf()), nullptr)
                      : E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) hr = reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
  if (SUCCEEDED(hr)) hr = reader->SetInput(stream.Get());
  if (FAILED(hr)) {
    *why = "the XML reader cannot be set up (" + Hex(hr) + ")";
    return false;
  }
  // The answer reader bounds the depth itself; XmlLite's own limit stops it earlier still.
  reader->SetProperty(XmlReaderProperty_MaxElementDepth, AnswerReader::kMaxDepth + 1);
  AnswerReader a(operation);
  const std::string complaint = Feed(reader.Get(), &a);
  *answer = a.Finish(complaint);
  return true;  // reader and stream, declared after the library, are released before it
}

}  // namespace qmxews
