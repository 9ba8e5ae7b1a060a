#pragma once
/// The files of Windows: questions about paths, the new version, where a
/// program lives, who runs Quennel, and the administrator's trusted keys.

#include "platform/Files.h"

namespace quennel::win32 {

/// How Windows writes paths and names: `\`, `/` and `:` end a folder's
/// name, case is no difference, names count UTF-16 units.
const NameRules& WindowsNameRules();

class Win32Files : public Files {
public:
  FileStatus Stat(const std::string& path) override;
  FileStatus StatFresh(const std::string& path) override;
  std::unique_ptr<Source> OpenSource(const std::string& path) override;
  std::string ReadSmall(const std::string& path, std::size_t limit) override;
  std::unique_ptr<Place> Resolve(const std::string& destination, bool makeFolders) override;

  std::string Runner() override;
  bool IsSystemAccount(const std::string& owner) override;
  bool RunnerIsAdministrator() override;
  const NameRules& Names() override;

  // Trust.cpp
  TrustPaths TrustPlaces() override;
  std::optional<Guard> Examine(const std::string& path) override;
  GuardedText ReadGuarded(const std::string& path, std::size_t limit) override;
  std::vector<std::string> ListFiles(const std::string& path) override;
};

}  // namespace quennel::win32
