#include "platform/posix/SystemError.h"

#include <cerrno>
#include <clocale>
#include <cstring>

namespace quennel {

void UseUserLocale() {
  static bool set = false;
  if (set) return;
  set = true;
  std::setlocale(LC_ALL, "");
}

std::string SystemText(int error) {
  UseUserLocale();
  return std::strerror(error);
}

void ThrowLookupError(int error) {
  if (error == ENOENT || error == ENOTDIR) Throw<MissingError>(error);
  Throw(error);
}

}  // namespace quennel
