#pragma once
/// An installed program renamed aside while instances of it run, held by
/// the handle that moved it.

#include <windows.h>

#include <string>

#include "platform/Files.h"
#include "platform/win32/Handle.h"

namespace quennel::win32 {

class Win32Aside final : public AsideFile {
public:
  /// `file` was opened as `program` with DELETE, and both attribute rights
  /// where they were granted.
  Win32Aside(Handle file, std::wstring program) : file_(std::move(file)), program_(std::move(program)) {}
  bool PutBack() noexcept override;
  void DeleteWhenUnused() noexcept override;

private:
  Handle file_;
  const std::wstring program_;
};

}  // namespace quennel::win32
