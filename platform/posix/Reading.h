#pragma once
/// Opening and reading regular files, never blocking on whatever else
/// stands at a name (a pipe, a device).

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "platform/posix/Fd.h"

namespace quennel {

/// Opens `name` relative to `at` (a folder's descriptor, or AT_FDCWD) with
/// `flags` and O_NONBLOCK: a regular file only, its status in `status`.
/// MissingError where there is none (ENOENT, ENOTDIR), the system's text
/// otherwise (EISDIR for a folder, EINVAL for anything else not regular).
Fd OpenRegular(int at, const std::string& name, int flags, struct stat& status);

/// The rest of `fd`, at most `limit` bytes; EFBIG's text when longer.
std::string ReadAll(int fd, std::size_t limit);

/// A file open for reading.
class PosixSource final : public Source {
public:
  explicit PosixSource(Fd fd) : fd_(std::move(fd)) {}
  FileStatus Status() override;
  std::size_t Read(unsigned char* bytes, std::size_t size) override;
  int Descriptor() const { return fd_.get(); }

private:
  Fd fd_;
};

}  // namespace quennel
