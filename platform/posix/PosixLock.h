#pragma once
/// The lock of one installed program: a file beside it that only those who
/// may replace the program can open, locked with an open file description
/// lock, which the system lets go when its holder dies.

#include <memory>
#include <string>

#include "platform/Files.h"
#include "platform/posix/Target.h"

namespace quennel {

/// Takes the lock file `name` beside `place`'s program without waiting.
/// Throws BusyError while another run holds it; null where no lock can be
/// had or trusted, and the run goes on without (each replacement is one
/// rename).
std::unique_ptr<HeldLock> LockBeside(const Target& place, const std::string& name);

}  // namespace quennel
