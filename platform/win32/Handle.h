#pragma once
/// An owned Win32 handle, closed when dropped.

#include <windows.h>

#include <utility>

namespace quennel::win32 {

class Handle {
public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : handle_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
  HANDLE handle_;
};

}  // namespace quennel::win32
