#include "update/Staging.h"

#include <algorithm>
#include <future>
#include <system_error>
#include <vector>

#include "update/Texts.h"

namespace quennel {
namespace {

/// Tries at a fresh name before giving up: with 64 random bits, a second
/// is already a sign that someone fills the folder with our names.
constexpr int kNameAttempts = 100;

/// The `size` bytes at `from` that the system put into `file`, read back
/// from it into `buffer`.
void ReadBack(NewFile& file, std::uint64_t from, std::size_t size, std::vector<unsigned char>& buffer) {
  buffer.resize(size);
  for (std::size_t done = 0; done < size;) {
    const std::size_t got = file.ReadAt(from + done, buffer.data() + done, size - done);
    // Shorter than what the system said it copied: not the file we wrote.
    if (got == 0) throw PlatformError(texts::kStagingReplaced);
    done += got;
  }
}

/// Hashes one part of the copy on a second thread while the next part
/// copies, so that the two take about as long as the slower of them; one
/// part at a time, in order. Where no thread can be had, each part is
/// hashed where it is handed over.
class Hashing {
public:
  ~Hashing() {
    // A copy that failed leaves the part being hashed to finish, unheard.
    if (part_.valid()) part_.wait();
  }
  void Hand(std::function<void()> part) {
    Wait();
    job_ = std::move(part);
    try {
      part_ = std::async(std::launch::async, [this] { job_(); });
    } catch (const std::system_error&) {
      job_();
    }
  }
  /// Waits for the part handed last; its failure is thrown here.
  void Wait() {
    if (part_.valid()) part_.get();
  }

private:
  std::function<void()> job_;
  std::future<void> part_;
};

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
  // Two buffers, in turn: one is filled while the other is hashed.
  std::vector<unsigned char> buffers[2];
  std::size_t turn = 0;
  Hashing hashing;  // after the buffers: it may still use them until it ends
  const auto hash = [&](std::vector<unsigned char>& buffer, std::size_t size) {
    hashing.Hand([&buffer, check, size] { check->Add(buffer.data(), size); });
  };
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
      // Read back a buffer at a time (a clone copies the whole file at once).
      for (std::uint64_t done = 0; check && done < n;) {
        std::vector<unsigned char>& buffer = buffers[turn++ % 2];
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, kSystemChunk));
        ReadBack(file, copied + done, size, buffer);
        hash(buffer, size);
        done += size;
      }
    } else {
      std::vector<unsigned char>& buffer = buffers[turn++ % 2];
      buffer.resize(kBufferSize);
      n = source.Read(buffer.data(), buffer.size());
      if (n > 0) {
        file.Write(buffer.data(), static_cast<std::size_t>(n));
        if (check) hash(buffer, static_cast<std::size_t>(n));
      }
    }
    if (n == 0) break;
    copied += n;
    progress(copied, total);
  }
  hashing.Wait();
}

bool SameVersion(const FileStatus& a, const FileStatus& b) {
  return a.id == b.id && a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

}  // namespace quennel
