/// A stand-in for the installed program: records how it was started (its
/// arguments, process id, open descriptors, own size, whether SIGPIPE is
/// ignored) into $PROBE_OUT,
/// then exits with $PROBE_STATUS.

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static std::string Hex(const char* s) {
  std::string out;
  char buf[3];
  for (; *s; ++s) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(*s));
    out += buf;
  }
  return out.empty() ? "-" : out;
}

int main(int argc, char** argv) {
  const char* path = std::getenv("PROBE_OUT");
  if (!path) return 99;
  FILE* out = std::fopen(path, "w");
  if (!out) return 98;
  std::fprintf(out, "pid %d\n", static_cast<int>(getpid()));
  struct stat self;
  if (stat("/proc/self/exe", &self) == 0) std::fprintf(out, "size %lld\n", (long long)self.st_size);
  struct sigaction pipe {};
  sigaction(SIGPIPE, nullptr, &pipe);
  std::fprintf(out, "sigpipe %s\n", pipe.sa_handler == SIG_IGN ? "ignored" : "default");
  for (int i = 1; i < argc; ++i) std::fprintf(out, "arg %s\n", Hex(argv[i]).c_str());
  const int outFd = fileno(out);
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int dirFd = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] == '.' || fd <= 2 || fd == dirFd || fd == outFd) continue;
      char target[512] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) < 0) target[0] = '?';
      std::fprintf(out, "fd %d %s\n", fd, target);
    }
    closedir(dir);
  }
  std::fclose(out);
  const char* status = std::getenv("PROBE_STATUS");
  return status ? std::atoi(status) : 0;
}
