/// Signed versions through the real binary, with keys and signatures made by
/// minisign: a copy of the binary in an install prefix of the test's own,
/// whose etc/quennel/trusted-keys the test writes.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/posix/PosixPlatform.h"
#include "tests/posix/RealRun.h"
#include "update/Texts.h"

namespace {

using namespace quennel::testing::real;
using namespace quennel::texts;
namespace fs = std::filesystem;

/// Three key pairs, made once: A and B are listed, C is not.
const fs::path& Keys() {
  static const TempDir keys;
  static const int made = std::system(("cd " + keys.path.string() +
                                       " && for k in A B C; do minisign -G -W -p $k.pub -s $k.key; done >/dev/null")
                                          .c_str());
  EXPECT_EQ(made, 0) << "minisign could not make keys (Debian: minisign)";
  return keys.path;
}

void Sign(const fs::path& file, const char* key, const std::string& options = "") {
  const std::string command =
      "minisign -S " + options + " -s " + (Keys() / key).string() + ".key -m " + file.string() + " >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

/// Changes one character of the file: the first after `after`, at `at` beyond it.
void Flip(const fs::path& file, const std::string& after, size_t at) {
  std::string text = ReadAll(file);
  char& c = text[text.find(after) + after.size() + at];
  c = c == 'A' ? 'B' : 'A';
  WriteAll(file, text);
}

struct SignedCase {
  const char* name;
  /// Changes the usual set-up: A and B listed, the new version signed with A.
  std::function<void(const fs::path& share, const fs::path& etc)> arrange;
  const char* refusal;  // how the box starts; nullptr: the new version goes in
};

void PrintTo(const SignedCase& c, std::ostream* out) { *out << c.name; }

class SignedVersions : public ::testing::TestWithParam<SignedCase> {};

TEST_P(SignedVersions, OnlyATrustedSignatureInstalls) {
  const SignedCase& c = GetParam();
  TempDir dir;
  const fs::path bin = dir / "prefix/bin", etc = dir / "prefix/etc/quennel", share = dir / "share";
  for (const fs::path& folder : {bin, etc, share, dir / "app"}) {
    fs::create_directories(folder);
    chmod(folder.c_str(), 0755);
  }
  fs::copy_file(QUENNEL_BINARY, bin / "quennel");
  WriteAll(etc / "trusted-keys", ReadAll(Keys() / "A.pub") + ReadAll(Keys() / "B.pub"), 0644);
  WriteAll(share / "prog", ProbeBytes(16));
  WriteAll(dir / "app/prog", ProbeBytes());
  Sign(share / "prog", "A");
  c.arrange(share, etc);
  SetTime(dir / "app/prog", 1000);
  SetTime(share / "prog", 2000);
  setenv("PROBE_OUT", (dir / "probe.out").c_str(), 1);

  const Outcome outcome = InChild([&] {
    return ExecQuennel({(share / "prog").string(), (dir / "app/prog").string()}, (bin / "quennel").c_str());
  });

  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(ReadAll(dir / "app/prog") == ReadAll(share / "prog"), c.refusal == nullptr);
  EXPECT_EQ(ReadProbe(dir / "probe.out").args, c.refusal ? Args{"(~!~)"} : Args{});
  EXPECT_EQ(outcome.err.starts_with(std::string("quennel\n") + (c.refusal ? c.refusal : "")), c.refusal != nullptr)
      << outcome.err;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "app"), fs::directory_iterator()), 1) << "a file was left";
}

const SignedCase kCases[] = {
    {"GoodSignature", [](auto&, auto&) {}, nullptr},
    {"SecondListedKey", [](auto& share, auto&) { Sign(share / "prog", "B"); }, nullptr},
    {"NoTrustFileChecksNothing",
     [](auto& share, auto& etc) {
       fs::remove(etc / "trusted-keys");
       fs::remove(share / "prog.minisig");
     },
     nullptr},
    {"UnknownKey", [](auto& share, auto&) { Sign(share / "prog", "C"); }, kUnknownKey},
    {"AByteChangedInTheFile", [](auto& share, auto&) { Flip(share / "prog", "ELF", 40); }, kBadSignature},
    {"SourceChangedAfterSigning",
     [](auto& share, auto&) { std::ofstream(share / "prog", std::ios::app) << "more"; }, kBadSignature},
    {"AByteChangedInTheSignature", [](auto& share, auto&) { Flip(share / "prog.minisig", "\n", 20); },
     kAlteredSignature},
    {"AByteChangedInTheTrustedComment",
     [](auto& share, auto&) { Flip(share / "prog.minisig", "timestamp:", 0); }, kAlteredSignature},
    {"LegacySignature", [](auto& share, auto&) { Sign(share / "prog", "A", "-l"); }, kLegacySignature},
    {"MissingSignature", [](auto& share, auto&) { fs::remove(share / "prog.minisig"); }, kNoSignature},
    {"SignedForAnotherFile",
     [](auto& share, auto&) {
       fs::copy_file(share / "prog", share / "other");
       Sign(share / "other", "A");
       fs::rename(share / "other.minisig", share / "prog.minisig");
     },
     kOtherFile},
    {"TrustFileWithoutKey", [](auto&, auto& etc) { WriteAll(etc / "trusted-keys", "# none yet\n", 0644); },
     kTrustEmpty},
    {"MalformedTrustFile", [](auto&, auto& etc) { std::ofstream(etc / "trusted-keys", std::ios::app) << "RWQ=\n"; },
     kTrustMalformed},
    {"GroupWritableTrustFile", [](auto&, auto& etc) { chmod((etc / "trusted-keys").c_str(), 0664); }, kTrustUnsafe},
    {"OthersMayWriteItsFolder", [](auto&, auto& etc) { chmod(etc.c_str(), 0757); }, kTrustFolderUnsafe},
};
INSTANTIATE_TEST_SUITE_P(Outcomes, SignedVersions, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

/// Where a binary installed by the default rules (prefix/bin) looks for the
/// list: the Debian package's /usr/bin/quennel in /etc, like every binary
/// of the system's.
TEST(TrustFile, FoundFromTheBinarysPlace) {
  EXPECT_EQ(quennel::TrustFileFor("/usr/bin"), "/etc/quennel/trusted-keys");
  EXPECT_EQ(quennel::TrustFileFor("/bin"), "/etc/quennel/trusted-keys");
  EXPECT_EQ(quennel::TrustFileFor("/usr/local/bin"), "/usr/local/etc/quennel/trusted-keys");
  EXPECT_EQ(quennel::TrustFileFor("/opt/quennel/bin"), "/etc/opt/quennel/quennel/trusted-keys");
  EXPECT_EQ(quennel::TrustFileFor("/home/ann/q/bin"), "/home/ann/q/etc/quennel/trusted-keys");
}

}  // namespace
