#pragma once
/// The steps of a replacement that work on files beside the program: a new
/// file of ours under a fresh name, and the copy into it.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Platform.h"
#include "update/OwnNames.h"
#include "update/Signature.h"

namespace quennel {

/// Bytes the system copies between two progress calls (and two event pumps).
inline constexpr std::uint64_t kSystemChunk = 8u << 20;
/// Bytes that pass through Quennel at a time.
inline constexpr std::size_t kBufferSize = 1u << 20;

/// A new file of `kind` beside the program, under a name nobody else
/// holds: a taken name, by anything, is left alone and another is tried.
/// Discarded when dropped, unless kept.
class OwnNewFile {
public:
  OwnNewFile(Platform platform, Place& place, const OwnFileKind& kind);
  ~OwnNewFile();
  OwnNewFile(const OwnNewFile&) = delete;
  OwnNewFile& operator=(const OwnNewFile&) = delete;
  NewFile& operator*() { return *file_; }
  NewFile* operator->() { return file_.get(); }
  /// It is in place (or given up): dropping it no longer removes it.
  void Keep() { kept_ = true; }

private:
  std::unique_ptr<NewFile> file_;
  bool kept_ = false;
};

/// Told between chunks of a copy: bytes so far, and the total expected.
using CopyProgress = std::function<void(std::uint64_t copied, std::uint64_t total)>;

/// Copies the rest of `source` into `file`, the system's own copy first,
/// telling `progress` between chunks. A `check` sees every byte the file
/// holds, in order: as it passes through, or read back from the file after
/// the system copied it; on a second thread, while the next part copies.
void CopyContents(Source& source, NewFile& file, std::uint64_t total, const CopyProgress& progress,
                  ContentCheck* check);

/// Whether two looks at a file saw one version of it: the same file, size,
/// modification time and change time (which a rewrite in place moves even
/// when it puts the old modification time back).
bool SameVersion(const FileStatus& a, const FileStatus& b);

}  // namespace quennel
