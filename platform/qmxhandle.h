// Owners of operating system handles: one move-only template, one traits class per kind of
// handle saying which values are "no handle" and how a handle is closed.
#pragma once

#ifdef _WIN32
#include <windows.h>

namespace qmx {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() = default;
  // Takes whatever an API returned, failure values included: get() gives them back unchanged.
  explicit UniqueHandle(Type h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Type get() const { return h_; }
  // Address for an API that fills a new handle; the old one is closed first.
  Type* put() {
    reset();
    return &h_;
  }
  Type release() {
    Type h = h_;
    h_ = Traits::None();
    return h;
  }
  void reset(Type h = Traits::None()) {
    if (h_ != h && Traits::Valid(h_)) Traits::Close(h_);
    h_ = h;
  }
  explicit operator bool() const { return Traits::Valid(h_); }

 private:
  Type h_ = Traits::None();
};

// Kernel objects: files, processes, threads, events, jobs, pipes, snapshots.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type None() { return nullptr; }
  static bool Valid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

// FindFirstFile searches.
struct FindHandleTraits {
  using Type = HANDLE;
  static Type None() { return INVALID_HANDLE_VALUE; }
  static bool Valid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { FindClose(h); }
};
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

// Service control manager and service handles.
struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type None() { return nullptr; }
  static bool Valid(Type h) { return h != nullptr; }
  static void Close(Type h) { CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;

// Loaded libraries.
struct LibraryTraits {
  using Type = HMODULE;
  static Type None() { return nullptr; }
  static bool Valid(Type h) { return h != nullptr; }
  static void Close(Type h) { FreeLibrary(h); }
};
using UniqueLibrary = UniqueHandle<LibraryTraits>;

// Registry keys. A predefined key (HKEY_LOCAL_MACHINE, ...) may be held but is never closed.
inline bool IsPredefinedKey(HKEY h) {
  // Predefined keys are the sign-extended values 0x80000000 to 0x800000FF.
  LONG_PTR v = reinterpret_cast<LONG_PTR>(h);
  return v >= static_cast<LONG_PTR>(static_cast<LONG>(0x80000000)) &&
         v <= static_cast<LONG_PTR>(static_cast<LONG>(0x800000FF));
}
struct RegKeyTraits {
  using Type = HKEY;
  static Type None() { return nullptr; }
  static bool Valid(Type h) { return h != nullptr; }
  static void Close(Type h) {
    if (!IsPredefinedKey(h)) RegCloseKey(h);
  }
};
using UniqueRegKey = UniqueHandle<RegKeyTraits>;

}  // namespace qmx

#endif
