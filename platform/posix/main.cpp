/// Start-up on POSIX: create F_Main and run its load handler.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Version.h"
#include "platform/posix/Gui.h"
#include "platform/posix/PosixFiles.h"
#include "platform/posix/PosixProcess.h"
#include "platform/posix/PosixScreen.h"
#include "platform/posix/Self.h"
#include "platform/posix/SystemLog.h"
#include "update/F_Main.h"
#include "update/Verify.h"

namespace {

/// The usage text and the synopsis on standard output; 1 when they could not
/// be written (a full disk, a closed pipe).
int PrintHelp() {
  std::printf("%s\n\n%s", quennel::texts::kUsage, quennel::texts::kSynopsis);
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  std::fprintf(stderr, "quennel: --help: %s\n", std::strerror(errno));
  return 1;
}

/// `quennel --verify=NEW`: this machine's verdict on NEW and its signature,
/// on standard output; 0 only when accepted and written.
int PrintVerdict(const std::string& path) {
  using namespace quennel;
  Gui gui;  // never shown: nothing here needs a window
  PosixFiles files;
  PosixProcess process({}, gui);
  PosixScreen screen(gui);
  SystemLog log;
  const Verdict verdict = VerifyVersion({files, process, screen, log}, path);
  std::printf("%s\n", verdict.text.c_str());
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "quennel: --verify: %s\n", std::strerror(errno));
    return kExitFailure;
  }
  return verdict.accepted ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quennel;
  // Alone, an option is no valid command line (two paths are needed): these
  // take nothing from what works. Their output's reader may be gone: a
  // status, not a signal, says so. A run ignores SIGPIPE from its first
  // write on (the everyday start writes nothing).
  if (argc == 2) IgnoreBrokenPipes();
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return PrintHelp();
  if (argc == 2 && std::strncmp(argv[1], kVerifyOption, std::strlen(kVerifyOption)) == 0)
    return PrintVerdict(argv[1] + std::strlen(kVerifyOption));
  // The user's locale, for error texts, is set when one is first needed
  // (UseUserLocale): a plain launch does without it.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    // A version that could not be written is a failure (a full disk, a closed pipe).
    const bool written = std::puts("Quennel " QUENNEL_VERSION_TEXT) >= 0 && std::fflush(stdout) == 0;
    return written ? 0 : kExitFailure;
  }
  Gui gui;
  PosixFiles files;
  PosixProcess process(std::vector<std::string>(argv + 1, argv + argc), gui);
  PosixScreen screen(gui);
  SystemLog log;
  RunQuennel({files, process, screen, log});
}
