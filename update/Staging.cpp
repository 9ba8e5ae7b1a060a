#include "update/Staging.h"

#include <algorithm>
#include <vector>

#include "update/Texts.h"

namespace quennel {
namespace {

/// Tries at a fresh name before giving up: with 64 random bits, a second
/// is already a sign that someone fills the folder with our names.
constexpr int kNameAttempts = 100;

/// Hands `check` the `size` bytes at `from` that the system put into
/// `file`, read back from it.
void ReadBack(NewFile& file, std::uint64_t from, std::uint64_t size, std::vector<unsigned char>& buffer,
              ContentCheck& check) {
  buffer.resize(kBufferSize);
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - done));
    const std::size_t got = file.ReadAt(from + done, buffer.data(), want);
    // Shorter than what the system said it copied: not the file we wrote.
    if (got == 0) throw PlatformError(texts::kStagingReplaced);
    check.Add(buffer.data(), got);
    done += got;
  }
}

}  // namespace

OwnNewFile::OwnNewFile(Platform platform, Place& place, const OwnFileKind& kind) {
  const NameUnits units = platform.files.Names().units;
  for (int attempt = 1; !file_; ++attempt) {
    try {
      file_ = place.Create(OwnFileName(place.Name(), kind, HexDigits(platform.process.RandomNumber()), units));
    } catch (const ExistsError&) {
      if (attempt >= kNameAttempts) throw;
    }
  }
}

OwnNewFile::~OwnNewFile() {
  if (!kept_) file_->Discard();
}

void CopyContents(Source& source, NewFile& file, std::uint64_t total, const CopyProgress& progress,
                  ContentCheck* check) {
  std::vector<unsigned char> buffer;
  bool systemCopies = true;
  for (std::uint64_t copied = 0;;) {
    std::uint64_t n = 0;
    if (systemCopies) {
      const std::optional<std::uint64_t> made = file.CopyFrom(source, kSystemChunk);
      if (!made) {
        systemCopies = false;
        continue;
      }
      n = *made;
      if (n > 0 && check) ReadBack(file, copied, n, buffer, *check);
    } else {
      buffer.resize(kBufferSize);
      n = source.Read(buffer.data(), buffer.size());
      if (n > 0) {
        file.Write(buffer.data(), static_cast<std::size_t>(n));
        if (check) check->Add(buffer.data(), static_cast<std::size_t>(n));
      }
    }
    if (n == 0) return;
    copied += n;
    progress(copied, total);
  }
}

bool SameVersion(const FileStatus& a, const FileStatus& b) {
  return a.id == b.id && a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

}  // namespace quennel
