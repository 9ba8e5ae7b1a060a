#pragma once
/// Where an installed program lives: its folder held open, every operation
/// relative to it.

#include "platform/Files.h"
#include "platform/posix/Reading.h"
#include "platform/posix/Target.h"

namespace quennel {

class PosixPlace final : public Place {
public:
  /// `modes` outlives the place: a first install takes the new version's bits.
  explicit PosixPlace(Target target) : target_(std::move(target)) {}

  const std::string& Name() const override { return target_.name; }
  std::string FolderOwner() override;
  std::optional<FileStatus> Look(const std::string& name) override;
  std::vector<FoundFile> List(const std::string& prefix) override;
  std::unique_ptr<NewFile> Create(const std::string& name) override;
  std::unique_ptr<Source> Open(const std::string& name) override;
  FileStamp SetTime(const std::string& name, FileStamp time) override;
  void Remove(const FoundFile& found) noexcept override;
  std::unique_ptr<HeldLock> Lock(const std::string& name) override;
  /// A rename replaces a running program here: nothing is ever set aside.
  std::unique_ptr<AsideFile> SetAside(const std::string& name) override;
  bool PutBack(const std::string& name) noexcept override;
  void CheckIdentityCanBeGiven() override;

private:
  int Folder() const { return target_.folder.get(); }

  Target target_;
};

}  // namespace quennel
