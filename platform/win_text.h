// Conversions between a Windows code page and UTF-16.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <string>

namespace qmx {

inline std::wstring ToWide(const std::string& s, UINT codePage = CP_ACP) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (n) MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
  return out;
}

inline std::string FromWide(const std::wstring& w, UINT codePage) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  if (n)
    WideCharToMultiByte(codePage, 0, w.data(), static_cast<int>(w.size()), &out[0], n, nullptr,
                        nullptr);
  return out;
}

}  // namespace qmx
#endif
