#pragma once
/// One replacement at a time per program: the lock file beside the file
/// really replaced, and what its holder clears.

#include <memory>

#include "platform/Platform.h"

namespace quennel {

/// Takes the lock of the program `place` holds, without waiting, and
/// stamps it with this run's process id, which makes its change time the
/// folder's "now". Its holder then puts back a program stranded aside and
/// clears what killed runs left. Throws BusyError while another run holds
/// it; null where no lock can be had, and the run goes on without.
std::unique_ptr<HeldLock> TakeLock(Platform platform, Place& place);

}  // namespace quennel
