#include "zrtmsg.h"

#include <cstdio>
#include <cstring>

#include "qmxtrace.h"

namespace {

// Formats a template with up to three inserts into at most 1024 characters and writes it.
void FormatAndWrite(const char* templ, const char* a1, const char* a2, const char* a3) {
  QMX_ENTRY_NAMED("FormatAndWrite");
  DWORD_PTR args[3] = {reinterpret_cast<DWORD_PTR>(a1), reinterpret_cast<DWORD_PTR>(a2),
                       reinterpret_cast<DWORD_PTR>(a3)};
  char out[1024];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, templ, 0, 0,
                           out, sizeof out, reinterpret_cast<va_list*>(args));
  if (n == 0) {
    std::fprintf(stderr, "Format Message Result:%lu\n", GetLastError());
    return;
  }
  std::fprintf(stdout, "%s\n", out);
  std::fflush(stdout);
  QMX_FLOW("%s", out);
}

}  // namespace

const char* LoadResourceString(UINT id, char* buffer, int size) {
  if (size <= 0) return buffer;
  buffer[0] = '\0';
  if (LoadStringA(GetModuleHandleA(nullptr), id, buffer, size) <= 0) buffer[0] = '\0';
  return buffer;
}

void Message0(UINT messageId) {
  QMX_ENTRY();
  char templ[512], prefix[16];
  LoadResourceString(messageId, templ, sizeof templ);
  LoadResourceString(5040, prefix, sizeof prefix);
  FormatAndWrite(templ, prefix, "", "");
}

void Message1S(UINT messageId, const char* text) {
  QMX_ENTRY();
  char templ[512], prefix[16];
  LoadResourceString(messageId, templ, sizeof templ);
  LoadResourceString(5040, prefix, sizeof prefix);
  FormatAndWrite(templ, prefix, text ? text : "", "");
}

void Message2(UINT messageId, UINT stringId1, UINT stringId2) {
  QMX_ENTRY();
  char templ[512], prefix[16], s1[64], s2[64];
  LoadResourceString(messageId, templ, sizeof templ);
  LoadResourceString(5040, prefix, sizeof prefix);
  LoadResourceString(stringId1, s1, sizeof s1);
  LoadResourceString(stringId2, s2, sizeof s2);
  FormatAndWrite(templ, prefix, s1, s2);
}

void MessageFromSystem(DWORD code) {
  QMX_ENTRY();
  char text[1024] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           0, text, sizeof text, nullptr);
  if (n == 0) std::snprintf(text, sizeof text, "Error %lu", code);
  // The system's texts end with a line break of their own.
  size_t len = std::strlen(text);
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) text[--len] = '\0';
  std::fprintf(stdout, "%s\n", text);
  std::fflush(stdout);
  QMX_FLOW("MessageFromSystem: %s", text);
}
