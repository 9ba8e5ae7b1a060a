/// The signature rules on both systems, in process, on files minisign
/// wrote: two public keys, and the second one's signature of "abc" named
/// Prog.exe.

#include <gtest/gtest.h>

#include <cstring>

#include "update/Signature.h"
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
      {"Windows names ignore case", kKeyB, kSignedByB, "S:\\NEW\\PROG.EXE", true, "abc", nullptr},
      {"POSIX names do not", kKeyB, kSignedByB, "/new/PROG.EXE", false, "abc", texts::kOtherFile},
      {"a backslash is part of a POSIX name", kKeyB, kSignedByB, "/new/x\\Prog.exe", false, "abc", texts::kOtherFile},
      {"other bytes", kKeyB, kSignedByB, "Prog.exe", false, "abd", texts::kBadSignature},
      {"no global signature", kKeyB, kSignedByB.substr(0, kSignedByB.rfind('\n', kSignedByB.size() - 2) + 1),
       "Prog.exe", false, "abc", texts::kSignatureMalformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string refusal;
    try {
      SignatureCheck check(c.signature, "sig", ParseTrustedKeys(c.trust, "keys"), SignedFileName(c.source, c.windows),
                           c.windows);
      check.Add(reinterpret_cast<const unsigned char*>(c.bytes), std::strlen(c.bytes));
      check.Finish();
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

}  // namespace
}  // namespace quennel
