#pragma once
/// Why a new version does not go in, where that is no failed copy: the box
/// and the record tell these apart.

#include <string>

#include "platform/Failures.h"
#include "platform/FileStatus.h"

namespace quennel {

/// The new version changed while it was looked at or copied.
class SourceChanged : public PlatformError {
public:
  using PlatformError::PlatformError;
};

/// The new version is still being written where it is published: nothing
/// goes in, no box shows, the record says why.
class StillPublished : public PlatformError {
public:
  using PlatformError::PlatformError;
};

/// The new version, or its signature, is dated ahead of this machine's
/// clock: not due yet, and no box either.
class NotYetDue : public PlatformError {
public:
  using PlatformError::PlatformError;
};

/// "La nouvelle version est datée du …, plus de cinq minutes après
/// l'horloge de cette machine (…) : …", for `what` (the version or its
/// signature) dated `time`.
std::string NotYetDueText(const char* what, const FileStamp& time, const FileStamp& clock);

}  // namespace quennel
