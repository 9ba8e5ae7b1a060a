#pragma once
/// A file this run created beside the program: written through its own
/// handle, then traded for one that can only rename, date and delete it,
/// and renamed into place through that handle.

#include <windows.h>

#include <string>

#include "platform/Files.h"
#include "platform/win32/Handle.h"

namespace quennel::win32 {

class Win32NewFile final : public NewFile {
public:
  /// `file` was created as `name` in `folder` (extended, with its trailing
  /// backslash), beside the program `program`.
  Win32NewFile(Handle file, std::wstring folder, std::string name, std::wstring program);

  const std::string& Name() const override { return name_; }
  void Write(const unsigned char* bytes, std::size_t size) override;
  std::optional<std::uint64_t> CopyFrom(Source& source, std::uint64_t size) override;
  std::size_t ReadAt(std::uint64_t offset, unsigned char* bytes, std::size_t size) override;
  FileStatus Status() override;
  void TakeProgramIdentity(const FileStatus& source) override;
  void TakeCompanionIdentity() override;
  FileStamp SetTime(FileStamp time) override;
  void Flush() override;
  void CloseForWriting() override;
  void MoveTo(const std::string& name, bool replace) override;
  void Discard() noexcept override;

private:
  Handle file_;
  const std::wstring folder_;
  const std::string name_;
  const std::wstring path_;
  const std::wstring program_;  // the installed program, whose identity it takes
  DWORD kept_ = 0;              // the program's attributes, given once in place
  bool moved_ = false;
  bool lost_ = false;  // its name no longer leads to it: never delete by name
};

/// Gives the open file `file` the access list of the file `from`, when
/// there is one whose list can be read. Throws PlatformError where it
/// cannot be given.
void CopySecurity(const std::wstring& from, HANDLE file);

}  // namespace quennel::win32
