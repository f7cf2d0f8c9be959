// Owners of kernel handles and loaded modules: closed when the owner goes out of scope.
#pragma once

#ifdef _WIN32
#include <windows.h>

namespace qmx {

// A kernel handle; INVALID_HANDLE_VALUE and null both mean "none".
class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(Normal(h)) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void reset(HANDLE h = nullptr) {
    if (h_) CloseHandle(h_);
    h_ = Normal(h);
  }

 private:
  static HANDLE Normal(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }
  HANDLE h_;
};

class Library {
 public:
  explicit Library(const char* name) : h_(LoadLibraryA(name)) {}
  ~Library() {
    if (h_) FreeLibrary(h_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  HMODULE get() const { return h_; }

 private:
  HMODULE h_;
};

}  // namespace qmx

#endif
