#include "update/SignedInstall.h"

#include "update/Clock.h"
#include "update/OwnNames.h"
#include "update/Outcomes.h"
#include "update/Texts.h"
#include "update/Trust.h"
#include "update/Utf8.h"

#include <vector>

namespace quennel {
namespace {

/// The length of `name` in `units`.
std::size_t Length(std::string_view name, NameUnits units) {
  if (units == NameUnits::Bytes) return name.size();
  std::size_t length = 0;
  for (const char byte : name)
    if (!utf8::Continues(byte)) length += static_cast<unsigned char>(byte) >= 0xF0 ? 2 : 1;
  return length;
}

/// All of `source`, or nothing when it holds more than `limit` bytes.
std::optional<std::string> ReadAll(Source& source, std::size_t limit) {
  std::string text;
  unsigned char buffer[4096];
  for (std::size_t n; (n = source.Read(buffer, sizeof buffer)) > 0;) {
    text.append(reinterpret_cast<const char*>(buffer), n);
    if (text.size() > limit) return std::nullopt;
  }
  return text;
}

}  // namespace

std::string SignatureName(const Place& place) { return place.Name() + kSignatureSuffix; }

std::optional<NewSignature> ReadNewSignature(Platform platform, const std::string& source,
                                             const FileStamp& clock) {
  std::optional<TrustList> trust = ReadTrustList(platform);
  if (!trust) return std::nullopt;
  const std::string path = source + kSignatureSuffix;
  std::string text;
  try {
    text = platform.files.ReadSmall(path, kSignatureMaxBytes);
  } catch (const MissingError&) {
    throw UntrustedVersion(texts::kNoSignature + path, true);
  } catch (const PlatformError& error) {
    throw UntrustedVersion(texts::kSignatureUnreadable + path + " (" + error.what() + ")");
  }
  Signed signature = CheckSignature(std::move(text), path, trust->keys);
  // A version signed for another program must not stand in for this one.
  const NameRules& rules = platform.files.Names();
  if (!signature.fileName) throw UntrustedVersion(texts::kNoFileField + path);
  if (!NamesFile(signature, SignedFileName(source, rules), rules))
    throw UntrustedVersion(texts::kOtherFile + *signature.fileName + texts::kOtherFileEnd + path);
  if (!signature.timestamp) throw UntrustedVersion(texts::kNoTimestamp + path);
  const FileStamp signedAt{*signature.timestamp, 0};
  if (AheadOf(signedAt, clock)) throw NotYetDue(NotYetDueText(texts::kSignatureDated, signedAt, clock));
  return NewSignature{std::move(trust->keys), std::move(signature)};
}

InstalledSignature ReadInstalledSignature(Platform platform, Place& place, const NewSignature& fresh) {
  InstalledSignature installed;
  Files& files = platform.files;
  const NameRules& rules = files.Names();
  const std::string name = SignatureName(place);
  if (Length(name, rules.units) > kMaxNameLength) {
    installed.kept = false;
    installed.note = texts::kSignatureNotKept;
    return installed;
  }
  const auto ignored = [&](const char* why) {
    installed.note = std::string(texts::kInstalledSignatureIgnored) + why;
    return installed;
  };
  const std::optional<FileStatus> program = place.Look(place.Name());
  const std::optional<FileStatus> found = place.Look(name);
  if (!found) return installed;
  if (found->kind != FileKind::Regular) return ignored(texts::kIgnoredNotRegular);
  std::unique_ptr<Source> file;
  try {
    file = place.Open(name);
  } catch (const PlatformError&) {
    return ignored(texts::kIgnoredNotRegular);
  }
  if (file->Status().id != found->id) return ignored(texts::kIgnoredNotRegular);  // swapped meanwhile
  installed.bytes = ReadAll(*file, kSignatureMaxBytes);
  if (!installed.bytes) return ignored(texts::kIgnoredTooLarge);
  if (!program || program->kind != FileKind::Regular) return installed;  // counts only beside its program
  const std::string& owner = found->owner;
  if (owner != files.Runner() && owner != program->owner && !files.IsSystemAccount(owner))
    return ignored(texts::kIgnoredOwner);
  std::optional<Signed> signature;
  try {
    signature = CheckSignature(*installed.bytes, place.Name() + kSignatureSuffix, fresh.keys);
  } catch (const UntrustedVersion&) {
    return ignored(texts::kIgnoredUnverified);
  }
  if (!signature->fileName || !NamesFile(*signature, *fresh.signature.fileName, rules))
    return ignored(texts::kIgnoredOtherFile);
  if (!signature->timestamp) return ignored(texts::kIgnoredNoDate);
  installed.signature = std::move(signature);
  return installed;
}

bool InstalledBytesMatch(Place& place, const Signed& signature, std::uint64_t& size) {
  try {
    const std::unique_ptr<Source> program = place.Open(place.Name());
    size = program->Status().size;
    const std::unique_ptr<ContentCheck> check = BytesCheck(signature);
    std::vector<unsigned char> buffer(1u << 20);
    for (std::size_t n; (n = program->Read(buffer.data(), buffer.size())) > 0;) check->Add(buffer.data(), n);
    check->Finish();
    return true;
  } catch (const PlatformError&) {
    return false;
  }
}

}  // namespace quennel
