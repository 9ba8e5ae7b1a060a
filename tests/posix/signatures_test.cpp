/// Signed versions with the real binary, keys and signatures made by
/// minisign: `--verify`, the signature kept beside the program and the
/// order of versions it keeps, the trust list's folders, and what others
/// may leave at the signature's name. Quennel's clock runs ahead (see
/// lateclock.cpp), so every version counts as settled.

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "tests/posix/RealRun.h"
#include "update/Texts.h"

namespace {

using namespace quennel::testing::real;
namespace texts = quennel::texts;
namespace fs = std::filesystem;

constexpr long long kSignedAt[] = {1'700'000'000, 1'700'000'100, 1'700'000'200};  // three versions, in order

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

/// The names created or moved into `folder` while `run` ran.
std::vector<std::string> NamesMadeIn(const fs::path& folder, const std::function<void()>& run) {
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO);
  run();
  std::vector<std::string> names;
  alignas(inotify_event) char buffer[65536];
  for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;)
    for (char* at = buffer; at < buffer + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
      names.emplace_back(reinterpret_cast<inotify_event*>(at)->name);
  close(watch);
  return names;
}

class Signatures : public ::testing::Test {
protected:
  void SetUp() override {
    for (const fs::path& folder : {bin, keys, share, apps}) fs::create_directories(folder);
    for (const fs::path& folder : {prefix, prefix / "etc", keys, bin}) chmod(folder.c_str(), 0755);
    fs::copy_file(QUENNEL_BINARY, bin / "quennel");
    ASSERT_EQ(Shell("minisign -G -W -p " + key + ".pub -s " + key), 0) << "no minisign here (Debian: minisign)";
    WriteAll(keys / "trusted-keys", ReadAll(key + ".pub"), 0644);
    setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);
    WriteAll(app, ProbeBytes());
    SetTime(app, 1000);
  }
  /// `bits` as the share's version, signed at `when`; returns the signature.
  std::string Publish(const std::string& bits, long long when) {
    WriteAll(prog, bits);
    const std::string comment = "timestamp:" + std::to_string(when) + "\tfile:prog\thashed";
    EXPECT_EQ(Shell("minisign -S -s " + key + " -m " + prog.string() + " -t '" + comment + "'"), 0);
    return ReadAll(prog.string() + ".minisig");
  }
  /// The prefix's quennel, its standard output to `out`, with `umask`.
  Outcome Run(const Args& args, mode_t umask = 022) {
    fs::remove(dir / "probe.out");
    return InChild([&] {
      ::umask(umask);
      alarm(30);  // a run that blocks fails
      dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      setenv("LD_PRELOAD", LATECLOCK_LIBRARY, 1);
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
      return ExecQuennel(args, (bin / "quennel").c_str());
    });
  }
  Outcome Run() { return Run({prog.string(), app.string()}); }
  ProbeReport Probe() { return ReadProbe(dir / "probe.out"); }

  TempDir dir;
  const fs::path prefix = dir / "prefix", bin = prefix / "bin", keys = prefix / "etc/quennel", share = dir / "share",
                 prog = share / "prog", apps = dir / "apps", app = apps / "app", out = dir / "out";
  const std::string key = (dir / "key").string(), signature = app.string() + ".minisig";
};

/// `quennel --verify=NEW`: this machine's verdict on standard output, 0
/// only when its keys accept NEW's signature and bytes.
TEST_F(Signatures, VerifySaysWhatTheKeysMakeOfAVersion) {
  const std::string pub = ReadAll(key + ".pub"), heading = "untrusted comment: minisign public key ";
  const std::string keyId = pub.substr(heading.size(), pub.find('\n') - heading.size());
  const struct {
    const char* name;
    std::function<void()> change;
    int status;
    std::string says;
  } cases[] = {
      {"as signed", [] {}, 0,
       texts::kVerifyAccepted + keyId + texts::kVerifySignedOn + "2023-11-14 22:13:20 UTC" + texts::kVerifyFile +
           "prog.\n" + texts::kVerifyNoOrder + "\n"},
      {"a byte changed", [&] { WriteAll(prog, ProbeBytes(17)); }, 1,
       texts::kBadSignature + prog.string() + ".minisig\n"},
      {"no list", [&] { fs::remove(keys / "trusted-keys"); }, 1, texts::kVerifyNoList + std::string("\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Publish(ProbeBytes(16), kSignedAt[0]);
    c.change();
    const Outcome outcome = Run({"--verify=" + prog.string()});
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.err, "");
    // minisign writes an id without its leading zeros; Quennel may keep them.
    std::string said = ReadAll(out);
    const std::size_t id = std::strlen(texts::kVerifyAccepted);
    if (said.starts_with(texts::kVerifyAccepted)) said.erase(id, said.find_first_not_of('0', id) - id);
    EXPECT_EQ(said, c.says);
  }
  WriteAll(keys / "trusted-keys", pub, 0644);
  const Outcome unwritten = InChild([&] {
    dup2(open("/dev/full", O_WRONLY), 1);
    return ExecQuennel({"--verify=" + prog.string()}, (bin / "quennel").c_str());
  });
  EXPECT_EQ(unwritten.status, 1) << "an accepted version whose verdict could not be written";
}

/// The installed version's signature stands beside it, the program's
/// owner's, readable by all, as minisign checks it; an older version, or
/// other bytes under the installed one's signature, are refused before
/// anything is copied.
TEST_F(Signatures, TheInstalledSignatureKeepsVersionsInOrder) {
  const auto daemon = UserIds("daemon");
  if (!daemon || geteuid() != 0) GTEST_SKIP() << "needs root and the daemon account";
  ASSERT_EQ(chown(app.c_str(), daemon->first, daemon->second), 0);
  const std::string older = Publish(ProbeBytes(16), kSignedAt[0]), installed = Publish(ProbeBytes(32), kSignedAt[1]);

  Outcome outcome = Run({prog.string(), app.string()}, 077);
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(ReadAll(app) == ProbeBytes(32));
  struct stat st {};
  ASSERT_EQ(lstat(signature.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode, S_IFREG | 0644);
  EXPECT_EQ(st.st_uid, daemon->first);
  EXPECT_EQ(Shell("minisign -V -m " + app.string() + " -p " + key + ".pub"), 0);

  const struct {
    const char* name;
    std::string bits, signature;
    const char* refusal;
  } cases[] = {
      {"an older genuine version, dated now", ProbeBytes(16), older, texts::kEarlierSignature},
      {"other bytes under the installed signature", std::string(5000, 'G'), installed,
       texts::kSameSignatureOtherSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(prog, c.bits);
    WriteAll(prog.string() + ".minisig", c.signature);
    EXPECT_EQ(NamesMadeIn(apps, [&] { outcome = Run(); }), std::vector<std::string>{".app.quennel~lock"});
    EXPECT_NE(outcome.err.find(c.refusal), std::string::npos) << outcome.err;
    EXPECT_TRUE(ReadAll(app) == ProbeBytes(32));
    EXPECT_EQ(ReadAll(signature), installed);
    EXPECT_EQ(Probe().args, Args{"(~!~)"});
  }
}

/// The list counts only where nobody else may change it or any folder
/// above it; with no list, a folder others may change above it refuses
/// every version, unless it is above Quennel's own binary too. A key file
/// alone is a list.
TEST_F(Signatures, TheTrustListsFolders) {
  const fs::path etc = prefix / "etc", list = keys / "trusted-keys", keyFiles = keys / "trusted-keys.d";
  const auto keyFileAlone = [&] {
    fs::create_directory(keyFiles);
    fs::rename(list, keyFiles / "k.pub");
  };
  const struct {
    const char* name;
    std::function<void()> arrange;
    bool isSigned;
    std::string refusal;  // empty: installed
  } cases[] = {
      {"listed, under a folder all may write", [&] { chmod(prefix.c_str(), 0777); }, true,
       texts::kTrustAncestorUnsafe + prefix.string()},
      {"none, under a folder all may write above the list only",
       [&] { fs::remove(list), chmod(etc.c_str(), 0777); }, false, texts::kTrustAncestorUnsafe + etc.string()},
      {"none, under a folder all may write above the binary too",
       [&] { fs::remove(list), chmod(prefix.c_str(), 0777); }, false, ""},
      {"a key file alone, an unsigned version", keyFileAlone, false, texts::kNoSignature},
      {"a key file alone, a signed version", keyFileAlone, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    chmod(prefix.c_str(), 0755);
    chmod(etc.c_str(), 0755);
    fs::remove_all(keyFiles);
    WriteAll(list, ReadAll(key + ".pub"), 0644);
    Publish(ProbeBytes(8), kSignedAt[0]);
    if (!c.isSigned) fs::remove(prog.string() + ".minisig");
    WriteAll(app, ProbeBytes());
    SetTime(app, 1000);
    c.arrange();

    const Outcome outcome = Run();

    EXPECT_EQ(ReadAll(app) == ProbeBytes(8), c.refusal.empty()) << outcome.err;
    if (c.refusal.empty()) EXPECT_EQ(outcome.err, "");
    else EXPECT_NE(outcome.err.find(c.refusal), std::string::npos) << outcome.err;
  }
}

/// Whatever stands at the signature's name, another user's file with a
/// later genuine signature included, neither holds an update up nor keeps
/// it out, nor is followed: the new signature takes its name.
TEST_F(Signatures, NothingAtTheSignaturesNameBlocksOrIsFollowed) {
  const auto nobody = UserIds("nobody");
  if (!nobody || geteuid() != 0) GTEST_SKIP() << "needs root and the nobody account";
  const std::string later = Publish(ProbeBytes(48), kSignedAt[2]);
  const fs::path held = dir / "held.minisig";
  const struct {
    const char* name;
    std::function<void()> plant;
  } cases[] = {
      {"a link to a later signature", [&] { fs::create_symlink(held, signature); }},
      {"a pipe", [&] { mkfifo(signature.c_str(), 0666); }},
      {"another user's later signature",
       [&] { WriteAll(signature, later, 0644), lchown(signature.c_str(), nobody->first, nobody->second); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(held, later, 0644);
    WriteAll(app, ProbeBytes());
    SetTime(app, 1000);
    fs::remove(signature);
    c.plant();
    const std::string fresh = Publish(ProbeBytes(32), kSignedAt[1]);

    const Outcome outcome = Run();

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(ReadAll(app) == ProbeBytes(32));
    EXPECT_EQ(Looks(signature), std::to_string(S_IFREG | 0644) + " 0:0 1 " + fresh);
    EXPECT_EQ(ReadAll(held), later);
  }
}

}  // namespace
