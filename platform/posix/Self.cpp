#include "platform/posix/Self.h"

#include <signal.h>
#include <unistd.h>

#include <climits>

namespace quennel {
namespace {

struct sigaction inheritedBrokenPipe;
bool brokenPipeIgnored = false;

}  // namespace

void IgnoreBrokenPipes() {
  if (brokenPipeIgnored) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction found {};
  if (sigaction(SIGPIPE, &ignore, &found) != 0) return;
  inheritedBrokenPipe = found;
  brokenPipeIgnored = true;
}

void RestoreBrokenPipes() {
  if (brokenPipeIgnored) sigaction(SIGPIPE, &inheritedBrokenPipe, nullptr);
  brokenPipeIgnored = false;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace quennel
