#pragma once
/// The lock of one installed program: a file beside it that only those who
/// may replace the program can open for writing, locked with an open file
/// description lock, and the clean-up that only its holder does.

#include <memory>

#include "platform/Platform.h"
#include "platform/posix/Target.h"

namespace quennel {

/// Takes the lock of `target`'s program without waiting, then removes
/// stale staging files. Throws BusyError while another run holds it;
/// returns null where no lock can be had or trusted, and the run goes on
/// without (each replacement is one rename).
std::unique_ptr<DestinationLock> TakeLock(Target target);

}  // namespace quennel
