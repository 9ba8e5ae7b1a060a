#pragma once
/// The files on POSIX systems, through system calls only.

#include "platform/Files.h"
#include "platform/posix/Reading.h"

namespace quennel {

class PosixFiles final : public Files {
public:
  FileStatus Stat(const std::string& path) override;
  /// statx with AT_STATX_FORCE_SYNC: an NFS client asks the server.
  FileStatus StatFresh(const std::string& path) override;
  std::unique_ptr<Source> OpenSource(const std::string& path) override;
  std::string ReadSmall(const std::string& path, std::size_t limit) override;
  std::unique_ptr<Place> Resolve(const std::string& destination, bool makeFolders) override;

  /// The effective uid, in decimal; root is the system's account.
  std::string Runner() override;
  bool IsSystemAccount(const std::string& owner) override;
  bool RunnerIsAdministrator() override;
  const NameRules& Names() override;

  // Trust.cpp
  TrustPaths TrustPlaces() override;
  std::optional<Guard> Examine(const std::string& path) override;
  GuardedText ReadGuarded(const std::string& path, std::size_t limit) override;
  std::vector<std::string> ListFiles(const std::string& path) override;

private:
};

}  // namespace quennel
