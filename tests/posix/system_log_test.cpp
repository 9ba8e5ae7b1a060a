/// The record on a real system: Quennel run where /dev/log is a socket of
/// the test's own (a private mount namespace), read back, stalled or gone.

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include <gtest/gtest.h>

#include "tests/posix/RealRun.h"

namespace {

using namespace quennel::testing::real;

enum class LogService { Reading, Stalled, Gone };

/// Runs Quennel with `args` where /dev holds nothing but `service`'s
/// socket; the datagrams it received go to `received`, one a line.
/// Status 77: no private mount namespace here.
Outcome RunWithLog(const Args& args, LogService service, const fs::path& received) {
  return InChild([&]() -> int {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0)
      return 77;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    const auto* to = reinterpret_cast<const sockaddr*>(&address);
    const int log = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (service != LogService::Gone && bind(log, to, sizeof address) != 0) return 76;
    // Stalled: senders of our own fill its queue until a new one is refused.
    for (bool full = false; service == LogService::Stalled && !full;) {
      const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
      int sent = 0;
      while (sendto(sender, "x", 1, 0, to, sizeof address) == 1) ++sent;
      if (errno != EAGAIN) return 75;
      full = sent == 0;
    }
    const pid_t quennel = fork();
    if (quennel == 0) {
      alarm(30);  // a start held up by the log ends here, and fails the test
      _exit(ExecQuennel(args));
    }
    const int status = Wait(quennel);
    std::ofstream out(received);
    char datagram[65536];
    for (ssize_t n; service == LogService::Reading && (n = recv(log, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;)
      out << std::string(datagram, n) << '\n';
    return status;
  });
}

/// Each datagram as "<PRI>message", once its syslog header is checked.
std::vector<std::string> Messages(const fs::path& received) {
  static const std::regex header(R"((<\d+>)[A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d quennel\[\d+\]: (.*))");
  std::vector<std::string> messages;
  std::istringstream in(ReadAll(received));
  std::smatch match;
  for (std::string line; std::getline(in, line);)
    messages.push_back(std::regex_match(line, match, header) ? match[1].str() + match[2].str() : "header? " + line);
  return messages;
}

class SystemLog : public ::testing::Test {
protected:
  /// A new version (4096 bytes longer, dated 2000 s and 5 ns) over an older program.
  void Prepare() {
    fs::remove_all(dir / "app");
    fs::remove(dir / "probe.out");
    WriteAll(dir / "new", ProbeBytes(4096));
    SetTime(dir / "new", 2000, 5);
    WriteAll(dir / "app", ProbeBytes());
    SetTime(dir / "app", 1000);
    setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);
  }
  TempDir dir;
  const std::string source = (dir / "new").string(), dest = (dir / "app").string();
};

/// An install, a failed one and a usage error each leave their line, with
/// the level syslog(3) would give it; a plain start leaves none.
TEST_F(SystemLog, EachRunLeavesItsLine) {
  const std::string user = "utilisateur " + std::to_string(getuid());
  const std::string facts = "destination \"" + dest + "\", source \"" + source + "\", " +
                            std::to_string(ProbeBytes(4096).size()) +
                            " octets, modifié le 1970-01-01 00:33:20.000000005 UTC, " + user;
  const std::string folder = std::strerror(EISDIR);
  const struct {
    const char* name;
    std::function<void()> make;
    Args args;
    int status;
    std::vector<std::string> messages;
  } cases[] = {
      {"installed", [] {}, {source, dest}, 0, {"<14>installé : " + facts}},
      {"nothing to install", [&] { SetTime(dir / "new", 500); }, {source, dest}, 0, {}},
      {"a folder in the program's place", [&] { fs::remove(dir / "app"), fs::create_directory(dir / "app"); },
       {source, dest}, 1,
       {"<12>échec : " + facts + " ; cause : " + folder,
        "<12>démarrage : destination \"" + dest + "\", " + user + " ; cause : " + folder}},
      {"usage", [] {}, {source}, 2, {"<12>syntaxe : " + user + " ; ligne de commande : \"" + source + "\""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare();
    c.make();
    const Outcome outcome = RunWithLog(c.args, LogService::Reading, dir / "log");
    if (outcome.status == 77) GTEST_SKIP() << "no private mounts here";
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_EQ(Messages(dir / "log"), c.messages);
  }
}

/// A log that never reads, or none at all, holds nothing up.
TEST_F(SystemLog, AStalledOrMissingLogHoldsNothingUp) {
  for (LogService service : {LogService::Stalled, LogService::Gone}) {
    Prepare();
    const Outcome outcome = RunWithLog({source, dest, "x"}, service, dir / "log");
    if (outcome.status == 77) GTEST_SKIP() << "no private mounts here";
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const ProbeReport probe = ReadProbe(dir / "probe.out");
    EXPECT_EQ(probe.size, static_cast<long long>(ProbeBytes(4096).size()));
    EXPECT_EQ(probe.args, Args{"x"});
  }
}

}  // namespace
