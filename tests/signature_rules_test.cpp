/// The signature rules on both systems, in process, on files minisign
/// wrote: two public keys, and the second one's signature of "abc" named
/// Prog.exe.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/FakePlatform.h"
#include "tests/Signatures.h"
#include "update/Signature.h"
#include "update/Staging.h"
#include "update/Texts.h"

namespace quennel {
namespace {

const std::string kKeyA =
    "untrusted comment: minisign public key FF7353345936FB9D\n"
    "RWSd+zZZNFNz/wJbiLHCURkHoOmsgAeo981aWUFR3KmwlR/JUsFGxh/l\n";
const std::string kKeyB =
    "untrusted comment: minisign public key 3EB12BBBD21A41CF\n"
    "RWTPQRrSuyuxPt/Ouuf3zb9byaUQpiRsYg4/uOEjDdMLqWxxVkV3bqVB\n";
const std::string kSignedByB =
    "untrusted comment: signature from minisign secret key\n"
    "RUTPQRrSuyuxPiMo02KOk1vwRruR7jtxjWjnkhD8Gz/tBR1YgZeV4Ys+fNIFngkAAxMPsURP0W5zNGzHeu84isjZt/z2eia/HA0=\n"
    "trusted comment: timestamp:1700000000\tfile:Prog.exe\thashed\n"
    "9z3w6IyYObPOLDijA5YKa1yUiz8xHLdUTvVLTRCCuyPkSgge6KEsOK6enTFTmdbohwLBlfXQDCotCehhL4chCg==\n";

TEST(Signatures, WhatATrustFileAndASignatureAccept) {
  using testing::kKeyK;
  const struct {
    const char* name;
    std::string trust, signature;
    const char* source;
    bool windows;
    const char* bytes;
    const char* refusal;  // how the refusal starts; nullptr: accepted
  } cases[] = {
      {"second listed key, comments aside", "# keys\n\n" + kKeyA + "  \r\n" + kKeyB, kSignedByB, "/new/Prog.exe", false,
       "abc", nullptr},
      {"a byte-order mark before the list", "\xEF\xBB\xBF" + kKeyB, kSignedByB, "/new/Prog.exe", false, "abc", nullptr},
      {"a list saved in UTF-16", "\xFF\xFEu\0n\0", kSignedByB, "/new/Prog.exe", false, "abc", texts::kTrustUtf16},
      {"Windows names ignore case", kKeyB, kSignedByB, "S:\\NEW\\PROG.EXE", true, "abc", nullptr},
      {"POSIX names do not", kKeyB, kSignedByB, "/new/PROG.EXE", false, "abc", texts::kOtherFile},
      {"a backslash is part of a POSIX name", kKeyB, kSignedByB, "/new/x\\Prog.exe", false, "abc", texts::kOtherFile},
      {"other bytes", kKeyB, kSignedByB, "Prog.exe", false, "abd", texts::kBadSignature},
      {"no global signature", kKeyB, kSignedByB.substr(0, kSignedByB.rfind('\n', kSignedByB.size() - 2) + 1),
       "Prog.exe", false, "abc", texts::kSignatureMalformed},
      {"fields in another order, one more", kKeyK, testing::kSignedOtherOrder, "Prog.exe", false, "abcd", nullptr},
      {"a name holding a tab is not the shorter one", kKeyK, testing::kSignedTabbedName, "Prog.exe", false, "abcd",
       texts::kOtherFile},
      {"no file named", kKeyK, testing::kSignedNoFile, "Prog.exe", false, "abcd", texts::kOtherFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string refusal;
    const NameRules rules = c.windows ? NameRules{"\\/:", true} : NameRules{"/", false};
    try {
      const Signed signature = CheckSignature(c.signature, "sig", ParseTrustedKeys(c.trust, "keys"));
      if (!NamesFile(signature, SignedFileName(c.source, rules), rules)) throw PlatformError(texts::kOtherFile);
      const auto check = BytesCheck(signature);
      check->Add(reinterpret_cast<const unsigned char*>(c.bytes), std::strlen(c.bytes));
      check->Finish();
    } catch (const PlatformError& error) {
      refusal = error.what();
    }
    if (c.refusal) {
      EXPECT_TRUE(refusal.starts_with(c.refusal)) << refusal;
    } else {
      EXPECT_EQ(refusal, "");
    }
  }
}

/// A signed version through a whole run on the fake: the bytes checked are
/// those the staging file holds, whether they passed through Quennel or
/// the system copied them (and they were read back, while the next part
/// copies: a fault there fails the copy); a list that cannot be believed
/// trusts nothing.
TEST(Signatures, CheckedOnWhatTheStagingFileHolds) {
  const struct {
    const char* name;
    std::optional<std::uint64_t> systemChunk;
    const char* spoiled;  // what the staging file holds once the system copied; nullptr: as copied
    std::map<std::string, Guard> guards;
    const char* refusal;  // how the box starts; nullptr: installed
  } cases[] = {
      {"through Quennel", std::nullopt, nullptr, {}, nullptr},
      {"copied by the system, read back", 2, nullptr, {}, nullptr},
      {"copied by the system, other bytes", 2, "abd", {}, texts::kBadSignature},
      {"copied by the system, then cut short", 2, "", {}, texts::kStagingReplaced},
      {"a list others may change", std::nullopt, nullptr, {{"C:\\Q\\keys", Guard::Unsafe}}, texts::kTrustUnsafe},
      {"its folder others may change", std::nullopt, nullptr, {{"C:\\Q", Guard::Unsafe}}, texts::kTrustFolderUnsafe},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakePlatform platform;
    platform.process.tail = "\"S:\\NEW\\Prog.exe\" \"C:\\APP\\Prog.exe\"";
    auto& files = platform.files.files;
    files["S:\\NEW\\Prog.exe"] = {"abc", {200}};
    files["S:\\NEW\\Prog.exe.minisig"] = {kSignedByB};
    files["C:\\APP\\Prog.exe"] = {"old", {100}};
    files["C:\\Q\\keys"] = {kKeyB};
    platform.files.trustPaths = TrustPaths{"C:\\Q\\keys", "C:\\Q\\keys.d"};
    platform.files.guards = c.guards;
    platform.files.systemChunk = c.systemChunk;
    if (c.spoiled)
      platform.files.before = [&](const std::string& step) {
        for (auto& [path, file] : files)
          if (step == "ReadAt" && path.ends_with(".tmp")) file.data = c.spoiled;
      };

    EXPECT_EQ(platform.Run(), kExitStarted);

    EXPECT_EQ(files["C:\\APP\\Prog.exe"].data, c.refusal ? "old" : "abc");
    EXPECT_EQ(platform.screen.messages.size(), c.refusal ? 1u : 0u);
    if (c.refusal) {
      EXPECT_TRUE(platform.screen.messages[0].text.starts_with(c.refusal)) << platform.screen.messages[0].text;
      EXPECT_EQ(platform.record.recorded.at(0).first,
                c.refusal == texts::kStagingReplaced ? RecordKind::Failed : RecordKind::Refused);
      EXPECT_EQ(platform.files.OwnFilesBeside("C:\\APP\\Prog.exe"), std::vector<std::string>{});
    }
  }
}

/// A copy's check sees every byte the staging file holds, in order, however
/// they came: through Quennel, from the system in parts, or all at once
/// (a clone, of more than a buffer holds).
TEST(Signatures, TheCheckSeesEveryByteInOrder) {
  std::string bits(2 * kSystemChunk + 12345, '\0');
  for (std::size_t k = 0; k < bits.size(); ++k) bits[k] = static_cast<char>(k * 131 + k / 7919);
  struct Seen final : ContentCheck {
    std::string bytes;
    void Add(const unsigned char* b, std::size_t n) override { bytes.append(reinterpret_cast<const char*>(b), n); }
    void Finish() override {}
  };
  for (const std::optional<std::uint64_t> chunk : {std::optional<std::uint64_t>{}, {3 << 20}, {bits.size()}}) {
    SCOPED_TRACE(chunk.value_or(0));
    testing::FakePlatform platform;
    platform.files.files["S:\\NEW"] = {bits};
    platform.files.systemChunk = chunk;
    Seen seen;
    std::uint64_t told = 0;
    CopyContents(*platform.files.OpenSource("S:\\NEW"), *platform.files.Resolve("C:\\APP", false)->Create("copy"),
                 bits.size(), [&](std::uint64_t copied, std::uint64_t) { told = copied; }, &seen);
    EXPECT_TRUE(seen.bytes == bits);
    EXPECT_TRUE(platform.files.files["C:\\copy"].data == bits);
    EXPECT_EQ(told, bits.size());
  }
}

}  // namespace
}  // namespace quennel
