#pragma once
/// Where an installed program lives on Windows: its folder's real path and
/// its real name there, found once; every operation names files in that
/// folder, by their real long names only.

#include <string>

#include "platform/Files.h"
#include "platform/win32/Location.h"

namespace quennel::win32 {

class Win32Place : public Place {
public:
  /// Throws PlatformError as Files::Resolve says.
  Win32Place(std::string destination, bool makeFolders);

  const std::string& Name() const override { return name_; }
  std::string FolderOwner() override;
  std::optional<FileStatus> Look(const std::string& name) override;
  std::vector<FoundFile> List(const std::string& prefix) override;
  std::unique_ptr<NewFile> Create(const std::string& name) override;
  std::unique_ptr<Source> Open(const std::string& name) override;
  FileStamp SetTime(const std::string& name, FileStamp time) override;
  void Remove(const FoundFile& found) noexcept override;
  std::unique_ptr<HeldLock> Lock(const std::string& name) override;
  std::unique_ptr<AsideFile> SetAside(const std::string& name) override;
  bool PutBack(const std::string& name) noexcept override;
  void CheckIdentityCanBeGiven() override;

private:
  std::wstring PathOf(const std::string& name) const;
  std::wstring Program() const { return where_.folder + where_.name; }
  /// Whether the destination, found again, is still this place.
  bool StillHere() const;

  const std::string destination_;  // as given
  const Location where_;
  const std::string name_;
};

}  // namespace quennel::win32
