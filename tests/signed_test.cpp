/// Signed versions on the fake, with minisign's own signatures: the order
/// kept by the installed version's signature, the same version not copied
/// again, and who may turn the trust list off.

#include <gtest/gtest.h>

#include "tests/FakePlatform.h"
#include "tests/Signatures.h"
#include "update/Texts.h"
#include "update/Verify.h"

namespace quennel {
namespace {

using testing::FakePlatform;

constexpr const char* kSource = "S:\\NEW\\Prog.exe";
constexpr const char* kDest = "C:\\APP\\Prog.exe";
constexpr const char* kInstalledSignature = "C:\\APP\\Prog.exe.minisig";

/// A new version `bytes` signed by `signature` (nothing: unsigned), over
/// "abc" installed; key K listed in C:\Q\etc\keys, Quennel in C:\Q\bin.
void Arrange(FakePlatform& p, const char* bytes, const std::string& signature) {
  p.process.tail = std::string("\"") + kSource + "\" \"" + kDest + "\"";
  p.process.executable = "C:\\Q\\bin\\quennel.exe";
  p.files.trustPaths = TrustPaths{"C:\\Q\\etc\\keys", "C:\\Q\\etc\\keys.d"};
  p.files.files["C:\\Q\\etc"] = {"", {}, true};
  p.files.files["C:\\Q\\etc\\keys"] = {testing::kKeyK};
  p.files.files["C:\\Q\\bin\\quennel.exe"] = {"quennel"};
  p.files.files[kSource] = {bytes, {1'850'000'000}};
  if (!signature.empty()) p.files.files[std::string(kSource) + ".minisig"] = {signature};
  p.files.files[kDest] = {"abc", {1'700'000'100}};
}

struct Outcome {
  std::string installed;  // the program's bytes at the end
  std::string box;        // how the box starts; empty: none
  std::string record;     // part of the line recorded; empty: nothing recorded
};

void Expect(FakePlatform& p, const Outcome& expected) {
  EXPECT_EQ(p.files.files[kDest].data, expected.installed);
  ASSERT_EQ(p.screen.messages.size(), expected.box.empty() ? 0u : 1u);
  if (!expected.box.empty()) {
    EXPECT_TRUE(p.screen.messages[0].text.starts_with(expected.box)) << p.screen.messages[0].text;
  }
  ASSERT_EQ(p.record.recorded.size(), expected.record.empty() ? 0u : 1u);
  if (!expected.record.empty()) {
    EXPECT_NE(p.record.recorded[0].second.find(expected.record), std::string::npos) << p.record.recorded[0].second;
  }
  EXPECT_EQ(p.files.OwnFilesBeside(kDest), std::vector<std::string>{});
}

TEST(SignedOrder, Table) {
  using namespace testing;
  const std::string later = "clé 2E90CC2A26686DBC, signée le 2027-01-15 08:00:00 UTC";
  const struct {
    const char* name;
    std::function<void(FakePlatform&)> setUp;
    Outcome outcome;
    std::string signatureAfter;  // what stands at Prog.exe.minisig at the end; empty: nothing
  } cases[] = {
      {"no installed signature: any good one", [](FakePlatform& p) { Arrange(p, "abcd", kSignedNew); },
       {"abcd", "", "installé"}, kSignedNew},
      {"installed signed earlier: the later one goes in",
       [](FakePlatform& p) { Arrange(p, "abcd", kSignedNew), p.files.files[kInstalledSignature] = {kSignedOld}; },
       {"abcd", "", later}, kSignedNew},
      {"replay: signed earlier than the installed version",
       [](FakePlatform& p) {
         Arrange(p, "abc", kSignedOld);
         p.files.files[kDest].data = "abcd", p.files.files[kInstalledSignature] = {kSignedNew};
       },
       {"abcd", texts::kEarlierSignature, "refusé"}, kSignedNew},
      {"the same version: nothing copied, the installed copy takes the time",
       [](FakePlatform& p) {
         Arrange(p, "abcd", kSignedNew);
         p.files.files[kDest].data = "abcd", p.files.files[kInstalledSignature] = {kSignedNew};
         p.files.failures["Create"] = "a copy was tried";
       },
       {"abcd", "", ""}, kSignedNew},
      {"the same signature over bytes of another size",
       [](FakePlatform& p) {
         Arrange(p, "garbage under a good signature", kSignedNew);
         p.files.files[kDest].data = "abcd", p.files.files[kInstalledSignature] = {kSignedNew};
       },
       {"abcd", texts::kSameSignatureOtherSize, "refusé"}, kSignedNew},
      {"the same signature, over installed bytes that are not the signed ones",
       [](FakePlatform& p) {
         Arrange(p, "abcd", kSignedNew);
         p.files.files[kDest].data = "abce", p.files.files[kInstalledSignature] = {kSignedNew};
       },
       {"abcd", "", "installé"}, kSignedNew},
      {"an installed signature of another user's counts for nothing",
       [](FakePlatform& p) {
         Arrange(p, "abc", kSignedOld);
         p.files.files[kDest].data = "abcd";
         p.files.files[kInstalledSignature] = {kSignedNew, {}, false, {1}, {}, "2000"};
       },
       {"abc", "", "signature installée ignorée : elle appartient à un autre utilisateur"}, kSignedOld},
      {"another program's later signature counts for nothing",
       [](FakePlatform& p) { Arrange(p, "abcd", kSignedNew), p.files.files[kInstalledSignature] = {kSignedOtherFile}; },
       {"abcd", "", "signature installée ignorée : elle est faite pour un autre fichier"}, kSignedNew},
      {"a folder at the signature's name",
       [](FakePlatform& p) { Arrange(p, "abcd", kSignedNew), p.files.files[kInstalledSignature] = {"", {}, true}; },
       {"abcd", "", "ce n'est pas un fichier ordinaire ; signature non gardée, sa place est prise : Is a directory"},
       ""},
      {"the program's rename fails: the old signature goes back",
       [](FakePlatform& p) {
         Arrange(p, "abcd", kSignedNew), p.files.files[kInstalledSignature] = {kSignedOld};
         p.files.failures["MoveTo Prog.exe"] = "Accès refusé.";
       },
       {"abc", "Accès refusé.", "échec"}, kSignedOld},
      {"the program's rename fails: the new signature goes",
       [](FakePlatform& p) { Arrange(p, "abcd", kSignedNew), p.files.failures["MoveTo Prog.exe"] = "Accès refusé."; },
       {"abc", "Accès refusé.", "échec"}, ""},
      {"no signing time", [](FakePlatform& p) { Arrange(p, "abcd", kSignedNoTime); },
       {"abc", texts::kNoTimestamp, "refusé"}, ""},
      {"no file named", [](FakePlatform& p) { Arrange(p, "abcd", kSignedNoFile); }, {"abc", texts::kNoFileField, "refusé"},
       ""},
      {"signed ahead of this machine's clock",
       [](FakePlatform& p) {
         Arrange(p, "abcd", kSignedNew), p.process.clock = {1'750'000'000};
         p.files.files[kSource].time = {1'749'000'000};
       },
       {"abc", "", "La signature de la nouvelle version est datée du 2027-01-15 08:00:00 UTC"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    c.setUp(platform);
    EXPECT_EQ(platform.Run(), kExitStarted);
    Expect(platform, c.outcome);
    const auto signature = platform.files.files.find(kInstalledSignature);
    EXPECT_EQ(signature == platform.files.files.end() || signature->second.directory ? "" : signature->second.data,
              c.signatureAfter);
  }
  // Nothing copied for the same version, and its time is now the source's.
  FakePlatform same;
  cases[3].setUp(same);
  same.Run();
  EXPECT_EQ(same.files.files[kDest].time, (FileStamp{1'850'000'000}));
  EXPECT_EQ(same.process.started.value_or(""), "\"C:\\APP\\Prog.exe\"  (~!~)");
}

/// The trust list is off only when nobody but its owners could have turned
/// it off: a folder someone else may change, from the root down, makes a
/// list unsafe, and makes a missing one unsafe too unless it is above
/// Quennel's own binary as well.
TEST(TrustList, WhoMayTurnItOff) {
  using namespace testing;
  const auto keys = [](FakePlatform& p) { p.files.files.erase("C:\\Q\\etc\\keys"); };
  const struct {
    const char* name;
    std::function<void(FakePlatform&)> setUp;
    bool signedSource;
    Outcome outcome;
  } cases[] = {
      {"every folder safe", [](FakePlatform&) {}, true, {"abcd", "", "installé"}},
      {"a folder above others may change", [](FakePlatform& p) { p.files.guards["C:\\Q"] = Guard::Unsafe; }, true,
       {"abc", texts::kTrustAncestorUnsafe, "refusé"}},
      {"its own folder others may change", [](FakePlatform& p) { p.files.guards["C:\\Q\\etc"] = Guard::Unsafe; }, true,
       {"abc", texts::kTrustFolderUnsafe, "refusé"}},
      {"a sticky folder above a safe one", [](FakePlatform& p) { p.files.guards["C:\\Q"] = Guard::SafeIfNextIs; }, true,
       {"abcd", "", "installé"}},
      {"the list itself others may change", [](FakePlatform& p) { p.files.guards["C:\\Q\\etc\\keys"] = Guard::Unsafe; },
       true, {"abc", texts::kTrustUnsafe, "refusé"}},
      {"a folder that cannot be examined", [](FakePlatform& p) { p.files.unexaminable.insert("C:\\Q"); }, true,
       {"abc", texts::kTrustUnreadable, "refusé"}},
      {"no list, an unsafe folder above the binary too: off",
       [&](FakePlatform& p) { keys(p), p.files.guards["C:\\Q"] = Guard::Unsafe; }, false, {"abcd", "", "installé"}},
      {"no list, an unsafe folder only above it: unsafe",
       [&](FakePlatform& p) { keys(p), p.files.guards["C:\\Q\\etc"] = Guard::Unsafe; }, false,
       {"abc", texts::kTrustFolderUnsafe, "refusé"}},
      {"no list, a key in the folder beside it: on",
       [&](FakePlatform& p) { keys(p), p.files.files["C:\\Q\\etc\\keys.d\\k.pub"] = {kKeyK}; }, false,
       {"abc", texts::kNoSignature, "refusé"}},
      {"no list, no key in that folder: off",
       [&](FakePlatform& p) { keys(p), p.files.files["C:\\Q\\etc\\keys.d\\README"] = {"keys go here"}; }, false,
       {"abcd", "", "installé"}},
      {"a folder of keys that cannot be listed",
       [&](FakePlatform& p) {
         keys(p), p.files.files["C:\\Q\\etc\\keys.d\\k.pub"] = {kKeyK};
         p.files.unexaminable.insert("C:\\Q\\etc\\keys.d");
       },
       false, {"abc", texts::kKeysFolderUnreadable, "refusé"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    Arrange(platform, "abcd", c.signedSource ? kSignedNew : "");
    c.setUp(platform);
    EXPECT_EQ(platform.Run(), kExitStarted);
    Expect(platform, c.outcome);
  }
}

/// A publisher's check before moving a version into place: the list's
/// verdict on its signature and bytes, nothing copied.
TEST(Verify, SaysWhetherThisMachineWouldAccept) {
  const struct {
    const char* name;
    const char* bytes;
    std::string signature;
    bool list;
    bool accepted;
    const char* starts;
  } cases[] = {
      {"good", "abcd", testing::kSignedNew, true, true,
       "Signature acceptée par les clés de confiance de cette machine : clé 2E90CC2A26686DBC, signée le 2027-01-15 "
       "08:00:00 UTC, fichier Prog.exe.\nL'ordre des versions n'est pas vérifié ici"},
      {"other bytes", "abce", testing::kSignedNew, true, false, texts::kBadSignature},
      {"unsigned", "abcd", "", true, false, texts::kNoSignature},
      {"no list here", "abcd", testing::kSignedNew, false, false, texts::kVerifyNoList},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    Arrange(platform, c.bytes, c.signature);
    if (!c.list) platform.files.files.erase("C:\\Q\\etc\\keys");
    const Verdict verdict = VerifyVersion(platform.Parts(), kSource);
    EXPECT_EQ(verdict.accepted, c.accepted) << verdict.text;
    EXPECT_TRUE(verdict.text.starts_with(c.starts)) << verdict.text;
    EXPECT_EQ(platform.files.files[kDest].data, "abc");
  }
}

}  // namespace
}  // namespace quennel
