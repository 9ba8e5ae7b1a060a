#include "platform/posix/Reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/Status.h"
#include "platform/posix/SystemError.h"

namespace quennel {

Fd OpenRegular(int at, const std::string& name, int flags, struct stat& status) {
  Fd fd(openat(at, name.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) ThrowLookupError(errno);
  if (fstat(fd.get(), &status) != 0) Throw(errno);
  if (S_ISDIR(status.st_mode)) Throw(EISDIR);
  if (!S_ISREG(status.st_mode)) Throw(EINVAL);
  return fd;
}

std::string ReadAll(int fd, std::size_t limit) {
  std::string text;
  char buffer[4096];
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Throw(errno);
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > limit) Throw(EFBIG);
  }
}

FileStatus PosixSource::Status() {
  struct stat st;
  if (fstat(fd_.get(), &st) != 0) Throw(errno);
  return WithoutFakeChangeTime(StatusOf(st), KeepsNoChangeTime(fd_.get()));
}

std::size_t PosixSource::Read(unsigned char* bytes, std::size_t size) {
  while (true) {
    const ssize_t n = read(fd_.get(), bytes, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) Throw(errno);
  }
}

}  // namespace quennel
