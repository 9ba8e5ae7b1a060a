#pragma once
/// A file this run created beside the installed program, every step on it
/// taken relative to the folder's descriptor.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Files.h"
#include "platform/posix/Fd.h"
#include "platform/posix/Reading.h"
#include "platform/posix/Target.h"

namespace quennel {

class PosixNewFile final : public NewFile {
public:
  /// `file` was just created as `name` in `place`'s folder, open for
  /// writing. Throws PlatformError, having removed it, where it cannot be
  /// looked at.
  PosixNewFile(Target place, std::string name, Fd file);

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
  /// The descriptor open now: for writing, or the one kept afterwards.
  int Open() const { return kept_.get() >= 0 ? kept_.get() : file_.get(); }
  /// Whether our name in the folder still leads to our file.
  bool StillNamed() const;

  Target place_;  // the folder, and the program's name in it
  std::string name_;
  Fd file_;  // open for writing, until CloseForWriting
  Fd kept_;  // read-only afterwards: recognises the file, and nobody writes it
  struct stat created_ {};
  std::uint64_t appended_ = 0;
  bool moved_ = false;
};

}  // namespace quennel
